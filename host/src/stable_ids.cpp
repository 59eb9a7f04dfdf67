#include <vekhost/stable_ids.h>

#include <openssl/sha.h>

#include <vek/sdk/helpers/uuid_helper.h>
#include <array>
#include <vector>

namespace vekhost {
namespace {

// Arbitrary but fixed: changing it changes every default id the host hands out.
constexpr std::array<uint8_t, 16> kHostNamespace = {0x6b, 0x3e, 0x1f, 0x52, 0x9a, 0x47, 0x4c, 0x0d,
                                                    0xb1, 0x88, 0x2e, 0x75, 0xd4, 0x60, 0x93, 0xaf};

}  // namespace

vek::sdk::Uuid nameBasedUuid(std::string_view name) {
    std::vector<unsigned char> input(kHostNamespace.begin(), kHostNamespace.end());
    input.insert(input.end(), name.begin(), name.end());
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(input.data(), input.size(), digest);

    vek::sdk::Uuid uuid;
    for (size_t i = 0; i < uuid.bytes.size(); ++i)
        uuid.bytes[i] = digest[i];
    uuid.bytes[6] = static_cast<uint8_t>((uuid.bytes[6] & 0x0f) | 0x50);
    uuid.bytes[8] = static_cast<uint8_t>((uuid.bytes[8] & 0x3f) | 0x80);
    return uuid;
}

std::string stableId(std::string_view name) {
    return vek::sdk::UuidHelper::toStdString(nameBasedUuid(name), vek::sdk::UuidHelper::hyphens);
}

}  // namespace vekhost
