// Conversions of UUIDs to and from their text forms, and random UUIDs.
#pragma once

#include <vek/sdk/uuid.h>
#include <string>

namespace vek::sdk {

class UuidHelper {
public:
    enum FormatOptions : int {
        none = 0,
        uppercase = 1,
        hyphens = 2,
        braces = 4,
    };

    // Reads 16 bytes from hex digit pairs, skipping hyphens, braces and white space; any other
    // content, or fewer than 32 digits, gives the null UUID.
    static Uuid fromStdString(const std::string& text);
    static std::string toStdString(const Uuid& uuid, int options = hyphens);
    static Uuid randomUuid();
};

}  // namespace vek::sdk
