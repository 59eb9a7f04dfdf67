#include "vekcloud/runtime_store.h"

#include <openssl/evp.h>

#include <fstream>
#include <memory>
#include <vector>

namespace vekcloud {

std::optional<std::filesystem::path> RuntimeStore::package(std::string_view relativePath) const {
    std::filesystem::path path = root;
    size_t start = 0;
    for (;;) {
        const size_t end = relativePath.find('/', start);
        const std::string_view segment = relativePath.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == ".." ||
            segment.find('\0') != std::string_view::npos) {
            return std::nullopt;
        }
        path /= std::string(segment);
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> md5Hex(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!stream || !context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
        return std::nullopt;
    }
    std::vector<char> buffer(64 * 1024);
    while (stream) {
        stream.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (stream.gcount() > 0 &&
            EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(stream.gcount())) != 1) {
            return std::nullopt;
        }
    }
    if (!stream.eof()) {
        return std::nullopt;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        return std::nullopt;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0f];
    }
    return hex;
}

}  // namespace vekcloud
