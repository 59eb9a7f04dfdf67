// Host frames for the conversion tests: planar YUV 4:2:0 with chosen line sizes, each plane placed
// against an inaccessible page so that a read before or after it crashes the test.
#pragma once

#include <vek/sdk/analytics/i_data_packet.h>
#include <vek/sdk/helpers/ref_countable.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace preprocessing_test {

// Which end of each plane touches the inaccessible page.
enum class Guard {
    AfterPlanes,
    BeforePlanes,
};

class TestFrame : public vek::sdk::RefCountable<vek::sdk::analytics::IUncompressedVideoFrame1> {
public:
    // Line sizes are the plane widths plus lineSlack; each plane holds exactly its last row's
    // width after the last line start, as the tightest host would allocate it.
    TestFrame(int width, int height, int lineSlack = 0, Guard guard = Guard::AfterPlanes);

    int64_t timestampUs() const override { return 0; }
    int width() const override { return frameWidth; }
    int height() const override { return frameHeight; }
    PixelFormat pixelFormat() const override { return PixelFormat::yuv420; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int plane) const override { return planes[static_cast<size_t>(plane)].data; }
    int lineSize(int plane) const override { return planes[static_cast<size_t>(plane)].lineSize; }
    int dataSize(int plane) const override {
        return static_cast<int>(planes[static_cast<size_t>(plane)].bytes);
    }

    int planeWidth(int plane) const { return planes[static_cast<size_t>(plane)].width; }
    int planeHeight(int plane) const { return planes[static_cast<size_t>(plane)].height; }
    uint8_t& at(int plane, int row, int column);
    uint8_t sample(int plane, int row, int column) const;
    // Every sample, padding of the lines included, from a fixed pseudo-random sequence.
    void fillRandom(uint32_t seed);

private:
    // Pages of which all but the first and the last are accessible.
    struct GuardedMapping {
        GuardedMapping() = default;
        GuardedMapping(const GuardedMapping&) = delete;
        GuardedMapping& operator=(const GuardedMapping&) = delete;
        ~GuardedMapping();

        void* address = nullptr;
        size_t bytes = 0;
    };

    struct Plane {
        int width = 0;
        int height = 0;
        int lineSize = 0;
        size_t bytes = 0;
        uint8_t* data = nullptr;
        GuardedMapping mapping;
    };

    int frameWidth;
    int frameHeight;
    std::array<Plane, 3> planes;
};

}  // namespace preprocessing_test
