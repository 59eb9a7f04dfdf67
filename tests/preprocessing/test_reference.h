// Expected values for the conversion tests, written from the colour rule and the layouts directly,
// and readers for result buffers.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "corvane/vekai_image_order.h"
#include "test_frame.h"

namespace preprocessing_test {

struct RgbValue {
    float r;
    float g;
    float b;
};

inline RgbValue referenceRgb(uint8_t y, uint8_t u, uint8_t v) {
    const float fy = y;
    const float fu = static_cast<float>(u) - 128.0f;
    const float fv = static_cast<float>(v) - 128.0f;
    const auto clamp = [](float value) { return std::max(std::min(value, 255.0f), 0.0f); };
    const float inner = fu * -0.344136f + fy;
    return {clamp(fv * 1.402f + fy), clamp(fv * -0.714136f + inner), clamp(fu * 1.772f + fy)};
}

inline RgbValue frameRgb(const TestFrame& frame, int row, int column) {
    return referenceRgb(frame.sample(0, row, column), frame.sample(1, row / 2, column / 2),
                        frame.sample(2, row / 2, column / 2));
}

inline RgbValue normalised(const RgbValue& value, const std::array<float, 3>& means,
                           const std::array<float, 3>& vars) {
    const auto channel = [&](float v, size_t c) { return v * (1.0f / vars[c]) + (-means[c] / vars[c]); };
    return {channel(value.r, 0), channel(value.g, 1), channel(value.b, 2)};
}

inline float floatAt(const std::vector<uint8_t>& bytes, size_t index) {
    float value = 0;
    std::memcpy(&value, bytes.data() + index * sizeof(float), sizeof(float));
    return value;
}

// Pixel (row, column) of a three-channel float result.
inline RgbValue floatPixel(const std::vector<uint8_t>& bytes, int width, int height, ImageOrder order,
                           int row, int column) {
    const size_t pixel = static_cast<size_t>(row) * static_cast<size_t>(width) + static_cast<size_t>(column);
    const size_t plane = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (order == ImageOrder::Planar) {
        return {floatAt(bytes, pixel), floatAt(bytes, plane + pixel), floatAt(bytes, 2 * plane + pixel)};
    }
    return {floatAt(bytes, 3 * pixel), floatAt(bytes, 3 * pixel + 1), floatAt(bytes, 3 * pixel + 2)};
}

struct BytePixel {
    uint8_t r;
    uint8_t g;
    uint8_t b;
};

inline BytePixel bytePixel(const std::vector<uint8_t>& bytes, int width, int height, ImageOrder order,
                           int row, int column) {
    const size_t pixel = static_cast<size_t>(row) * static_cast<size_t>(width) + static_cast<size_t>(column);
    const size_t plane = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (order == ImageOrder::Planar) {
        return {bytes[pixel], bytes[plane + pixel], bytes[2 * plane + pixel]};
    }
    return {bytes[3 * pixel], bytes[3 * pixel + 1], bytes[3 * pixel + 2]};
}

// Distance in units in the last place; equal values (also +0 and -0) are 0 apart.
inline uint32_t ulpDistance(float a, float b) {
    if (a == b) {
        return 0;
    }
    const auto ordered = [](float value) {
        int32_t bits = 0;
        std::memcpy(&bits, &value, sizeof(bits));
        return bits < 0 ? static_cast<int64_t>(INT32_MIN) - bits : static_cast<int64_t>(bits);
    };
    const int64_t distance = ordered(a) - ordered(b);
    return static_cast<uint32_t>(std::min<int64_t>(distance < 0 ? -distance : distance, UINT32_MAX));
}

}  // namespace preprocessing_test
