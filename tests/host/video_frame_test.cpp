#include <gtest/gtest.h>

#include <vekhost/pattern_source.h>
#include <vekhost/video_frame.h>
#include <cstdint>

namespace vekhost {
namespace {

struct LayoutCase {
    int width;
    int height;
    int lumaLine;
    int chromaWidth;
    int chromaHeight;
    int chromaLine;
};

TEST(HostVideoFrame, PlaneSizesAndPaddedLines) {
    const LayoutCase cases[] = {
        {640, 480, 640, 320, 240, 320}, {1920, 1080, 1920, 960, 540, 960}, {33, 17, 64, 17, 9, 32},
        {2, 2, 32, 1, 1, 32},           {100, 75, 128, 50, 38, 64},        {65, 1, 96, 33, 1, 64},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        vek::sdk::Ptr<VideoFrame> frame(new VideoFrame(c.width, c.height));
        EXPECT_EQ(frame->width(), c.width);
        EXPECT_EQ(frame->height(), c.height);
        EXPECT_EQ(frame->planeCount(), 3);
        EXPECT_EQ(frame->pixelFormat(), vek::sdk::analytics::IUncompressedVideoFrame1::PixelFormat::yuv420);
        EXPECT_EQ(frame->lineSize(0), c.lumaLine);
        EXPECT_EQ(frame->lineSize(1), c.chromaLine);
        EXPECT_EQ(frame->lineSize(2), c.chromaLine);
        EXPECT_EQ(frame->dataSize(0), c.lumaLine * c.height);
        EXPECT_EQ(frame->dataSize(1), c.chromaLine * c.chromaHeight);
        EXPECT_EQ(frame->dataSize(2), c.chromaLine * c.chromaHeight);
        EXPECT_EQ(frame->plane(1).width, c.chromaWidth);
        for (int plane = 0; plane < 3; ++plane) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(frame->data(plane)) % kLineAlignment, 0u) << plane;
            EXPECT_EQ(frame->lineSize(plane) % kLineAlignment, 0) << plane;
        }
        // Planes must not overlap: each begins where the previous one's rows end, or later.
        EXPECT_GE(frame->data(1), frame->data(0) + frame->dataSize(0));
        EXPECT_GE(frame->data(2), frame->data(1) + frame->dataSize(1));
    }
}

TEST(HostVideoFrame, OutOfRangePlanesAreRefused) {
    vek::sdk::Ptr<VideoFrame> frame(new VideoFrame(16, 16));
    for (int plane : {-1, 3}) {
        EXPECT_EQ(frame->data(plane), nullptr);
        EXPECT_EQ(frame->lineSize(plane), 0);
        EXPECT_EQ(frame->dataSize(plane), 0);
    }
}

TEST(HostVideoFrame, AnswersItsInterfaceIds) {
    vek::sdk::Ptr<VideoFrame> frame(new VideoFrame(16, 16));
    for (const char* id : {"vek::sdk::analytics::IUncompressedVideoFrame1",
                           "vek::sdk::analytics::IDataPacket", "vek::sdk::IRefCountable"}) {
        vek::sdk::Ptr<vek::sdk::IRefCountable> answered(frame->queryInterface(vek::sdk::InterfaceId{id}));
        EXPECT_EQ(answered.get(), static_cast<vek::sdk::IRefCountable*>(frame.get())) << id;
    }
    EXPECT_EQ(frame->queryInterface(vek::sdk::InterfaceId{"vek::sdk::analytics::IMetadataPacket"}), nullptr);
}

uint8_t sample(const VideoFrame& frame, int plane, int x, int y) {
    return frame.data(plane)[y * frame.lineSize(plane) + x];
}

// Checks every sample of every plane against the rectangle's expected position.
void expectPattern(const VideoFrame& frame, const PatternRectangle& rectangle) {
    const uint8_t inside[3] = {kPatternRectangle.y, kPatternRectangle.u, kPatternRectangle.v};
    const uint8_t outside[3] = {kPatternBackground.y, kPatternBackground.u, kPatternBackground.v};
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        const PlaneLayout& layout = frame.plane(plane);
        int mismatches = 0;
        for (int y = 0; y < layout.height; ++y) {
            for (int x = 0; x < layout.width; ++x) {
                const bool in = (x << shift) >= rectangle.x && (x << shift) < rectangle.x + rectangle.width &&
                                (y << shift) >= rectangle.y && (y << shift) < rectangle.y + rectangle.height;
                mismatches += sample(frame, plane, x, y) != (in ? inside[plane] : outside[plane]);
            }
        }
        EXPECT_EQ(mismatches, 0) << "plane " << plane;
    }
}

TEST(HostPatternSource, DrawsTheRectangleExactlyInEveryPlane) {
    for (const auto& [width, height] : {std::pair{640, 480}, std::pair{33, 17}, std::pair{160, 90}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        PatternSource source(width, height);
        for (int64_t index = 0; index < 12; ++index) {
            NextFrame next = source.next();
            ASSERT_EQ(next.state, NextFrame::State::frame);
            const PatternRectangle rectangle = source.rectangleAt(index);
            EXPECT_EQ(rectangle.x % 2, 0);
            EXPECT_EQ(rectangle.y % 2, 0);
            EXPECT_LE(rectangle.x + rectangle.width, width);
            EXPECT_LE(rectangle.y + rectangle.height, height);
            expectPattern(*next.frame.frame, rectangle);
            EXPECT_FALSE(next.frame.presentationSeconds.has_value());
        }
    }
}

TEST(HostPatternSource, TheRectangleMovesAndBouncesBack) {
    PatternSource source(320, 240);
    const PatternRectangle first = source.rectangleAt(0);
    const PatternRectangle second = source.rectangleAt(1);
    EXPECT_NE(first.x, second.x);
    EXPECT_NE(first.y, second.y);
    int maxX = 0;
    for (int64_t index = 0; index < 1000; ++index)
        maxX = std::max(maxX, source.rectangleAt(index).x);
    EXPECT_EQ(maxX, 320 - first.width);
    EXPECT_EQ(source.rectangleAt(1000).x % 2, 0);
}

}  // namespace
}  // namespace vekhost
