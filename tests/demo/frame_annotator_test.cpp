// Annotated snapshots: boxes land on the frame where the packet says, labels come from the packet,
// only the frame a packet answers is drawn, and the image is a readable PPM.
#include <gtest/gtest.h>

#include <vekhost/frame_annotator.h>
#include <vekhost/video_file_source.h>
#include <fstream>
#include <sstream>

#include "fake_machine.h"

namespace {

using acceltest::readText;
using acceltest::ScratchDir;
using vekhost::VideoFrame;

std::unique_ptr<VideoFrame> greyFrame(int64_t timestampUs) {
    auto frame = std::make_unique<VideoFrame>(64, 48);
    for (int plane = 0; plane < 3; ++plane)
        std::fill_n(frame->mutableData(plane), frame->dataSize(plane), plane == 0 ? 100 : 128);
    frame->setTimestampUs(timestampUs);
    return frame;
}

uint8_t luma(const VideoFrame& frame, int x, int y) {
    return frame.data(0)[y * frame.lineSize(0) + x];
}

const std::string kPacket =
    R"({"camera":"c1","type":"objects","timestampUs":5,"objects":[{"typeId":"vek.base.Person","trackId":)"
    R"("e573aaaa-0000","box":{"x":0.25,"y":0.5,"w":0.5,"h":0.25}}]})";

TEST(FrameAnnotator, PacketBoxesAreLabelledWithClassAndShortTrack) {
    const auto boxes = vekhost::boxesOfPacket(kPacket);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].label, "Person e573");
    EXPECT_FLOAT_EQ(boxes[0].x, 0.25f);
    EXPECT_FLOAT_EQ(boxes[0].h, 0.25f);
    EXPECT_TRUE(vekhost::boxesOfPacket("not json").empty());
    EXPECT_TRUE(vekhost::boxesOfPacket(R"({"objects":[{"typeId":"x"}]})").empty());
}

TEST(FrameAnnotator, BoxEdgesAreDrawnAndItsInsideIsLeftAlone) {
    auto frame = greyFrame(0);
    vekhost::drawBoxes(*frame, {{0.25f, 0.5f, 0.5f, 0.25f, ""}});
    // Box from (16, 24) to (48, 36).
    EXPECT_NE(luma(*frame, 16, 30), 100);
    EXPECT_NE(luma(*frame, 47, 30), 100);
    EXPECT_NE(luma(*frame, 30, 35), 100);
    EXPECT_EQ(luma(*frame, 30, 30), 100);
    EXPECT_EQ(luma(*frame, 5, 5), 100);
    // Far outside boxes are clipped, not written past the planes.
    vekhost::drawBoxes(*frame, {{-1.0f, -1.0f, 3.0f, 3.0f, "out of frame"}});
}

TEST(FrameAnnotator, PpmHasTheFrameSizeAndGreyStaysGrey) {
    ScratchDir dir("vek-annotator");
    auto frame = greyFrame(0);
    ASSERT_TRUE(vekhost::writePpm(*frame, dir.path / "grey.ppm"));
    const std::string image = readText(dir.path / "grey.ppm");
    const std::string header = "P6\n64 48\n255\n";
    ASSERT_EQ(image.size(), header.size() + 64 * 48 * 3);
    EXPECT_EQ(image.substr(0, header.size()), header);
    // Luma 100 with neutral chroma: 1.164 * 84 = 97 in every channel.
    for (size_t i = header.size(); i < header.size() + 3; ++i)
        EXPECT_EQ(static_cast<uint8_t>(image[i]), 97);
    EXPECT_FALSE(vekhost::writePpm(*frame, dir.path / "missing" / "folder" / "x.ppm"));
}

TEST(FrameAnnotator, OnlyTheAnsweredFrameIsWrittenOncePerInterval) {
    ScratchDir dir("vek-annotator");
    vekhost::FrameAnnotator annotator(dir.path, std::chrono::hours(1));
    annotator.offerFrame("c1", *greyFrame(5));
    annotator.offerFrame("c1", *greyFrame(6));  // within the interval: not kept
    annotator.offerObjectPacket("c1", 6, kPacket);
    annotator.offerObjectPacket("c2", 5, kPacket);
    EXPECT_EQ(annotator.imagesWritten(), 0);
    annotator.offerObjectPacket("c1", 5, kPacket);
    EXPECT_EQ(annotator.imagesWritten(), 1);
    EXPECT_TRUE(std::filesystem::exists(dir.path / "c1-000001.ppm"));
    annotator.offerObjectPacket("c1", 5, kPacket);
    EXPECT_EQ(annotator.imagesWritten(), 1);
}

TEST(FrameAnnotator, CrossingLineComesFromTheStoredSettingsAndIsDrawnWithItsCount) {
    const vekhost::SettingValues values = {
        {"deviceActiveSwitch", "true"},
        {"lineCrossingLine_model", R"({"figure":{"points":[[0.5,0.0],[0.5,1.0]]}})"}};
    const auto line = vekhost::crossingLineOf(values);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, (vekhost::CrossingLine{0.5f, 0.0f, 0.5f, 1.0f}));
    for (const std::string broken :
         {"", "{}", R"({"figure":{"points":[[0.5,0.0]]}})", R"({"figure":{"points":[[0.5,"a"],[0.5,1]]}})"})
        EXPECT_FALSE(vekhost::crossingLineOf({{"lineCrossingLine_model", broken}})) << broken;

    auto frame = greyFrame(0);
    vekhost::drawLine(*frame, *line);
    EXPECT_NE(luma(*frame, 32, 40), 100);
    EXPECT_EQ(luma(*frame, 10, 40), 100);

    ScratchDir dir("vek-annotator");
    vekhost::FrameAnnotator annotator(dir.path, std::chrono::milliseconds(0));
    annotator.setCrossingLine("c1", *line);
    annotator.offerEventPacket(
        "c1",
        R"({"events":[{"typeId":"vek.vekai.linecrossing","description":"Left: 2\nRight: 3"},{"typeId":"vek.vekai.counted"}]})");
    annotator.offerFrame("c1", *greyFrame(5));
    annotator.offerObjectPacket("c1", 5, R"({"objects":[]})");
    const std::string image = readText(dir.path / "c1-000001.ppm");
    const size_t pixels = std::string("P6\n64 48\n255\n").size();
    ASSERT_GT(image.size(), pixels);
    // The totals' label sits in the top left corner on a dark background.
    EXPECT_LT(static_cast<uint8_t>(image[pixels]), 20);
}

// The clip holds the answered frames of its first second, in order, decodable again; frames the
// plugin skipped and frames after the clip's length are not in it.
TEST(FrameAnnotator, ClipHoldsTheAnsweredFramesOfItsLength) {
    const auto format = vekhost::availableClipFormat();
    if (!format)
        GTEST_SKIP() << "this FFmpeg has no H.264, VP8 or MPEG-4 encoder";
    ScratchDir dir("vek-annotator-clip");
    vekhost::FrameAnnotator annotator(dir.path, std::chrono::seconds(100));
    annotator.recordClips(*format, std::chrono::seconds(1), 10);
    int answered = 0;
    for (int index = 0; index < 15; ++index) {
        const int64_t timestampUs = 1'000'000 + index * 100'000;
        annotator.offerFrame("c1", *greyFrame(timestampUs));
        // The plugin skips the fourth frame.
        if (index == 3)
            continue;
        annotator.offerObjectPacket("c1", timestampUs, kPacket);
        if (timestampUs - 1'000'000 <= 1'000'000)
            ++answered;
    }
    // A packet for a frame never offered changes nothing.
    annotator.offerObjectPacket("c2", 5, kPacket);
    const auto clips = annotator.finishClips();
    ASSERT_EQ(clips.size(), 1u);
    EXPECT_EQ(clips[0], dir.path / ("c1-clip" + format->extension));

    auto source = vekhost::VideoFileSource::open(clips[0], false);
    ASSERT_TRUE(source) << source.error();
    int decoded = 0;
    for (;;) {
        const auto next = source.value()->next();
        if (next.state != vekhost::NextFrame::State::frame) {
            EXPECT_EQ(next.state, vekhost::NextFrame::State::ended) << next.error;
            break;
        }
        EXPECT_EQ(next.frame.frame->width(), 64);
        // The box's top edge is drawn on every frame.
        EXPECT_GT(luma(*next.frame.frame, 32, 24), 130);
        ++decoded;
    }
    EXPECT_EQ(decoded, answered);
}

}  // namespace
