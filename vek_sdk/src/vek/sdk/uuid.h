// A 16-byte identifier of devices and object tracks.
#pragma once

#include <array>
#include <cstdint>

namespace vek::sdk {

struct Uuid {
    std::array<uint8_t, 16> bytes{};

    bool isNull() const {
        for (uint8_t b : bytes)
            if (b != 0)
                return false;
        return true;
    }
    bool operator==(const Uuid&) const = default;
    auto operator<=>(const Uuid&) const = default;
};

}  // namespace vek::sdk
