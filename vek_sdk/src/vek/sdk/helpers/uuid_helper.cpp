#include <vek/sdk/helpers/uuid_helper.h>

#include <mutex>
#include <random>

namespace vek::sdk {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isSkipped(char c) {
    return c == '-' || c == '{' || c == '}' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

Uuid UuidHelper::fromStdString(const std::string& text) {
    if (text.size() < 32)
        return {};
    Uuid uuid;
    size_t digits = 0;
    for (char c : text) {
        if (isSkipped(c))
            continue;
        const int value = hexValue(c);
        if (value < 0 || digits >= 32)
            return {};
        uint8_t& byte = uuid.bytes[digits / 2];
        byte = static_cast<uint8_t>(digits % 2 == 0 ? value << 4 : byte | value);
        ++digits;
    }
    return digits == 32 ? uuid : Uuid{};
}

std::string UuidHelper::toStdString(const Uuid& uuid, int options) {
    const char* digits = (options & uppercase) ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(38);
    if (options & braces)
        text += '{';
    for (size_t i = 0; i < uuid.bytes.size(); ++i) {
        if ((options & hyphens) && (i == 4 || i == 6 || i == 8 || i == 10))
            text += '-';
        text += digits[uuid.bytes[i] >> 4];
        text += digits[uuid.bytes[i] & 0x0F];
    }
    if (options & braces)
        text += '}';
    return text;
}

Uuid UuidHelper::randomUuid() {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::lock_guard lock(mutex);
    Uuid uuid;
    for (size_t half = 0; half < 2; ++half) {
        const uint64_t bits = generator();
        for (size_t i = 0; i < 8; ++i)
            uuid.bytes[half * 8 + i] = static_cast<uint8_t>(bits >> (i * 8));
    }
    return uuid;
}

}  // namespace vek::sdk
