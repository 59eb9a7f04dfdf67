#include <gtest/gtest.h>

#include <vekhost/video_file_source.h>
#include <cstdlib>
#include <fstream>

#include "temp_dir.h"
#include "test_video_writer.h"

namespace vekhost {
namespace {

using testing::TempDir;
using testing::TestVideo;

struct PlaneStats {
    int minimum = 255;
    int maximum = 0;
};

PlaneStats planeStats(const VideoFrame& frame, int plane) {
    PlaneStats stats;
    const PlaneLayout& layout = frame.plane(plane);
    for (int y = 0; y < layout.height; ++y) {
        for (int x = 0; x < layout.width; ++x) {
            const int value = frame.data(plane)[y * layout.lineSize + x];
            stats.minimum = std::min(stats.minimum, value);
            stats.maximum = std::max(stats.maximum, value);
        }
    }
    return stats;
}

void expectFlat(const VideoFrame& frame, int plane, int expected, int tolerance) {
    const PlaneStats stats = planeStats(frame, plane);
    EXPECT_GE(stats.minimum, expected - tolerance) << "plane " << plane;
    EXPECT_LE(stats.maximum, expected + tolerance) << "plane " << plane;
}

struct DecodeCase {
    const char* name;
    TestVideo video;
    // Lossy coding may move flat values a little.
    int tolerance;
};

// Keeps the registered test names free of the case's bytes.
void PrintTo(const DecodeCase& c, std::ostream* out) {
    *out << c.name;
}

class HostVideoFileSourceDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(HostVideoFileSourceDecoding, GivesEveryFrameAsPaddedYuv420) {
    const DecodeCase& c = GetParam();
    TempDir dir;
    const auto path = dir / "clip.mkv";
    ASSERT_EQ(testing::writeTestVideo(path, c.video), "");

    auto source = VideoFileSource::open(path, false);
    ASSERT_TRUE(source) << source.error();
    EXPECT_DOUBLE_EQ((*source)->declaredFrameRate(), c.video.framesPerSecond);
    double previousSeconds = -1;
    for (int index = 0; index < c.video.frames; ++index) {
        SCOPED_TRACE("frame " + std::to_string(index));
        NextFrame next = (*source)->next();
        ASSERT_EQ(next.state, NextFrame::State::frame) << next.error;
        const VideoFrame& frame = *next.frame.frame;
        EXPECT_EQ(frame.width(), c.video.width);
        EXPECT_EQ(frame.height(), c.video.height);
        EXPECT_EQ(frame.plane(1).width, (c.video.width + 1) / 2);
        EXPECT_EQ(frame.plane(1).height, (c.video.height + 1) / 2);
        for (int plane = 0; plane < 3; ++plane)
            EXPECT_EQ(frame.lineSize(plane) % kLineAlignment, 0);
        expectFlat(frame, 0, testing::testVideoLuma(index), c.tolerance);
        expectFlat(frame, 1, testing::kTestVideoU, c.tolerance);
        expectFlat(frame, 2, testing::kTestVideoV, c.tolerance);
        ASSERT_TRUE(next.frame.presentationSeconds.has_value());
        EXPECT_NEAR(*next.frame.presentationSeconds, index / static_cast<double>(c.video.framesPerSecond),
                    0.002);
        EXPECT_GT(*next.frame.presentationSeconds, previousSeconds);
        previousSeconds = *next.frame.presentationSeconds;
    }
    EXPECT_EQ((*source)->next().state, NextFrame::State::ended);
    EXPECT_EQ((*source)->next().state, NextFrame::State::ended);
}

INSTANTIATE_TEST_SUITE_P(
    HostFormats, HostVideoFileSourceDecoding,
    ::testing::Values(DecodeCase{"mpeg4_yuv420p", {AV_CODEC_ID_MPEG4, AV_PIX_FMT_YUV420P, 64, 48, 10, 10}, 4},
                      // Lossless and in another pixel format, with odd sizes: goes through conversion.
                      DecodeCase{
                          "ffv1_yuv444p_odd", {AV_CODEC_ID_FFV1, AV_PIX_FMT_YUV444P, 67, 45, 10, 25}, 1},
                      DecodeCase{"ffv1_yuv420p", {AV_CODEC_ID_FFV1, AV_PIX_FMT_YUV420P, 32, 32, 10, 10}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HostVideoFileSource, LoopingStartsOverWithGrowingTimes) {
    TempDir dir;
    const auto path = dir / "loop.mkv";
    const TestVideo video{AV_CODEC_ID_FFV1, AV_PIX_FMT_YUV420P, 32, 32, 4, 10};
    ASSERT_EQ(testing::writeTestVideo(path, video), "");

    auto source = VideoFileSource::open(path, true);
    ASSERT_TRUE(source) << source.error();
    for (int index = 0; index < 3 * video.frames; ++index) {
        SCOPED_TRACE("frame " + std::to_string(index));
        NextFrame next = (*source)->next();
        ASSERT_EQ(next.state, NextFrame::State::frame) << next.error;
        expectFlat(*next.frame.frame, 0, testing::testVideoLuma(index % video.frames), 0);
        ASSERT_TRUE(next.frame.presentationSeconds.has_value());
        EXPECT_NEAR(*next.frame.presentationSeconds, index / 10.0, 0.002);
    }
}

TEST(HostVideoFileSource, UnusableFilesAreReportedWithTheirPath) {
    TempDir dir;
    const auto text = dir / "notes.txt";
    std::ofstream(text) << "not a video at all\n";
    for (const auto& path : {dir / "missing.mkv", text}) {
        auto source = VideoFileSource::open(path, false);
        ASSERT_FALSE(source) << path;
        EXPECT_NE(source.error().find(path.string()), std::string::npos) << source.error();
    }
}

TEST(HostVideoFileSource, TruncatedFileEndsOrFailsWithoutCrashing) {
    TempDir dir;
    const auto path = dir / "clip.mkv";
    ASSERT_EQ(testing::writeTestVideo(path, {AV_CODEC_ID_MPEG4, AV_PIX_FMT_YUV420P, 64, 48, 10, 10}), "");
    std::filesystem::resize_file(path, std::filesystem::file_size(path) * 2 / 3);

    auto source = VideoFileSource::open(path, false);
    ASSERT_TRUE(source) << source.error();
    int frames = 0;
    NextFrame next;
    for (next = (*source)->next(); next.state == NextFrame::State::frame; next = (*source)->next())
        ++frames;
    EXPECT_GT(frames, 0);
    EXPECT_LT(frames, 10);
}

}  // namespace
}  // namespace vekhost
