// One uncompressed planar YUV 4:2:0 frame as the host pushes it: rows padded to 32 bytes, planes
// 32-byte aligned, chroma planes of half the size rounded up.
#pragma once

#include <vek/sdk/analytics/i_data_packet.h>
#include <vek/sdk/helpers/ref_countable.h>
#include <array>
#include <cstdint>
#include <memory>

namespace vekhost {

inline constexpr int kLineAlignment = 32;

struct PlaneLayout {
    int width = 0;
    int height = 0;
    int lineSize = 0;
};

// Plane 0 is luma; planes 1 and 2 are chroma.
std::array<PlaneLayout, 3> yuv420Layout(int width, int height);

class VideoFrame : public vek::sdk::RefCountable<vek::sdk::analytics::IUncompressedVideoFrame1> {
public:
    // The planes are zero-filled, padding included. Width and height must be positive.
    VideoFrame(int width, int height);

    int64_t timestampUs() const override { return timestamp; }
    int width() const override { return frameWidth; }
    int height() const override { return frameHeight; }
    PixelFormat pixelFormat() const override { return PixelFormat::yuv420; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int plane) const override;
    int lineSize(int plane) const override;
    int dataSize(int plane) const override;

    uint8_t* mutableData(int plane);
    const PlaneLayout& plane(int plane) const { return layout[static_cast<size_t>(plane)]; }
    void setTimestampUs(int64_t value) { timestamp = value; }

private:
    struct AlignedDelete {
        void operator()(uint8_t* memory) const;
    };

    static bool validPlane(int plane) { return plane >= 0 && plane < 3; }

    int frameWidth;
    int frameHeight;
    std::array<PlaneLayout, 3> layout;
    std::array<size_t, 3> offsets{};
    std::unique_ptr<uint8_t, AlignedDelete> buffer;
    int64_t timestamp = 0;
};

// Microseconds since the Unix epoch, the clock of frame timestamps.
int64_t wallClockUs();

}  // namespace vekhost
