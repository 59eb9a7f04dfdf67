// Colour conversion, layouts, normalisation, gray and byte output of both roads, frames the class must
// refuse to read, and the equality of the direct road with the two-step road.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "corvane/vekai_video_frame.h"
#include "corvane/vekai_video_frame_rows.h"
#include "test_frame.h"
#include "test_reference.h"

namespace {

using namespace preprocessing_test;
using vekai::ChannelValues;
using vekai::CropBox;
using vekai::ResizingMethod;
using vekai::SimdLevel;
using vekai::VideoFrame;

constexpr CropBox kWholeFrame{0, 0, 1, 1};
constexpr ChannelValues kZero{0, 0, 0};
constexpr ChannelValues kOne{1, 1, 1};

vek::sdk::Ptr<TestFrame> uniformFrame(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
    vek::sdk::Ptr<TestFrame> frame(new TestFrame(width, height));
    for (int plane = 0; plane < 3; ++plane) {
        const uint8_t value = plane == 0 ? y : plane == 1 ? u : v;
        for (int row = 0; row < frame->planeHeight(plane); ++row) {
            for (int column = 0; column < frame->planeWidth(plane); ++column) {
                frame->at(plane, row, column) = value;
            }
        }
    }
    return frame;
}

vek::sdk::Ptr<TestFrame> randomFrame(int width, int height, uint32_t seed, int lineSlack = 0) {
    vek::sdk::Ptr<TestFrame> frame(new TestFrame(width, height, lineSlack));
    frame->fillRandom(seed);
    return frame;
}

std::vector<uint8_t> floatBytes(const std::vector<float>& values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(float));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

TEST(ColourConversion, FullRangeBt601WithClamping) {
    struct Case {
        uint8_t y, u, v;
        RgbValue expected;
    };
    const Case cases[] = {
        {100, 128, 128, {100.0f, 100.0f, 100.0f}},
        {0, 128, 128, {0.0f, 0.0f, 0.0f}},
        {255, 128, 128, {255.0f, 255.0f, 255.0f}},
        // V' = -128, U' = 127: R below 0, B above 255.
        {50, 255, 0, {0.0f, 97.704136f, 255.0f}},
        // V' = 72, U' = -28: 100 + 100.944, 100 - 51.417792 + 9.635808, 100 - 49.616.
        {100, 100, 200, {200.944f, 58.218016f, 50.384f}},
    };
    for (const Case& c : cases) {
        const auto frame = uniformFrame(2, 2, c.y, c.u, c.v);
        const VideoFrame image(*frame, ImageOrder::Interleaved);
        ASSERT_EQ(image.data().size(), 4 * 3 * sizeof(float));
        const std::vector<uint8_t> bytes(image.data().begin(), image.data().end());
        const RgbValue pixel = floatPixel(bytes, 2, 2, ImageOrder::Interleaved, 1, 1);
        EXPECT_FLOAT_EQ(pixel.r, c.expected.r) << int(c.y) << " " << int(c.u) << " " << int(c.v);
        EXPECT_FLOAT_EQ(pixel.g, c.expected.g) << int(c.y) << " " << int(c.u) << " " << int(c.v);
        EXPECT_FLOAT_EQ(pixel.b, c.expected.b) << int(c.y) << " " << int(c.u) << " " << int(c.v);
    }
}

TEST(ColourConversion, WholeFrameInBothLayoutsFollowsTheLineSizes) {
    const auto frame = randomFrame(37, 23, 11, 29);
    for (ImageOrder layout : {ImageOrder::Planar, ImageOrder::Interleaved}) {
        const VideoFrame image(*frame, layout);
        EXPECT_EQ(image.width(), 37u);
        EXPECT_EQ(image.height(), 23u);
        EXPECT_EQ(image.layout(), layout);
        ASSERT_EQ(image.data().size(), 37u * 23u * 3u * sizeof(float));
        const std::vector<uint8_t> bytes(image.data().begin(), image.data().end());
        for (int row = 0; row < 23; ++row) {
            for (int column = 0; column < 37; ++column) {
                const RgbValue expected = frameRgb(*frame, row, column);
                const RgbValue actual = floatPixel(bytes, 37, 23, layout, row, column);
                ASSERT_EQ(actual.r, expected.r) << row << "," << column;
                ASSERT_EQ(actual.g, expected.g) << row << "," << column;
                ASSERT_EQ(actual.b, expected.b) << row << "," << column;
            }
        }
    }
}

// The last column of an odd width and the last row of an odd height use the chroma sample rounded
// down; sizes below and above the width the vector path needs.
TEST(ColourConversion, OddSizesUseTheChromaSampleRoundedDown) {
    for (const auto& [width, height] : {std::pair{7, 5}, std::pair{33, 9}, std::pair{65, 31}}) {
        const auto frame = uniformFrame(width, height, 90, 128, 128);
        const int lastChromaColumn = (width - 1) / 2;
        const int lastChromaRow = (height - 1) / 2;
        frame->at(1, lastChromaRow, lastChromaColumn) = 20;
        frame->at(2, lastChromaRow, lastChromaColumn) = 230;
        const RgbValue expected = referenceRgb(90, 20, 230);
        for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Avx2}) {
            std::vector<float> out(static_cast<size_t>(width * height * 3));
            VideoFrame::directPreprocessInto(*frame, ImageOrder::Interleaved, width, height, 3, kWholeFrame,
                                             ResizingMethod::Stretch, kZero, kOne, out.data(), level);
            const std::vector<uint8_t> bytes = floatBytes(out);
            const RgbValue corner =
                floatPixel(bytes, width, height, ImageOrder::Interleaved, height - 1, width - 1);
            EXPECT_EQ(corner.r, expected.r) << width << "x" << height;
            EXPECT_EQ(corner.g, expected.g) << width << "x" << height;
            EXPECT_EQ(corner.b, expected.b) << width << "x" << height;
            const RgbValue before =
                floatPixel(bytes, width, height, ImageOrder::Interleaved, height - 1, width - 3);
            EXPECT_EQ(before.r, 90.0f) << width << "x" << height;
        }
    }
}

TEST(Normalisation, UnitRangeAndSymmetricRange) {
    const auto frame = randomFrame(64, 48, 12);
    struct Case {
        ChannelValues means, vars;
        float low, high, padding;
    };
    const Case cases[] = {
        {{0, 0, 0}, {255, 255, 255}, 0.0f, 1.0f, 0.0f},
        {{127.5f, 127.5f, 127.5f}, {127.5f, 127.5f, 127.5f}, -1.0f, 1.0f, -1.0f},
    };
    for (const Case& c : cases) {
        // 64x48 letterboxed into 64x64 pads 8 rows above and below.
        const std::vector<uint8_t> out = VideoFrame::directPreprocess(
            *frame, ImageOrder::Planar, 64, 64, 3, kWholeFrame, ResizingMethod::Letterbox, c.means, c.vars);
        for (size_t i = 0; i < out.size() / sizeof(float); ++i) {
            const float value = floatAt(out, i);
            ASSERT_GE(value, c.low) << i;
            ASSERT_LE(value, c.high) << i;
        }
        for (int channel = 0; channel < 3; ++channel) {
            const size_t planeStart = static_cast<size_t>(channel) * 64 * 64;
            EXPECT_EQ(floatAt(out, planeStart), c.padding);
            EXPECT_EQ(floatAt(out, planeStart + 64 * 64 - 1), c.padding);
        }
    }
}

TEST(Gray, OnePlaneFromTheNormalisedChannels) {
    const auto frame = randomFrame(40, 30, 13);
    const ChannelValues means{10, 20, 30};
    const ChannelValues vars{2, 3, 5};
    std::vector<uint8_t> reference;
    for (ImageOrder order : {ImageOrder::Planar, ImageOrder::Interleaved}) {
        const std::vector<uint8_t> gray = VideoFrame::directPreprocess(
            *frame, order, 20, 20, 1, kWholeFrame, ResizingMethod::Letterbox, means, vars);
        ASSERT_EQ(gray.size(), 20u * 20u * sizeof(float));
        // 40x30 into 20x20: scale 0.5, 20x15 image, 2 padded rows above.
        const RgbValue rgb = normalised(frameRgb(*frame, 2 * 5, 2 * 7), means, vars);
        EXPECT_EQ(floatAt(gray, 7 * 20 + 7), (rgb.r * 0.299f + rgb.g * 0.587f) + rgb.b * 0.114f);
        const RgbValue padding = normalised({0, 0, 0}, means, vars);
        EXPECT_EQ(floatAt(gray, 0), (padding.r * 0.299f + padding.g * 0.587f) + padding.b * 0.114f);
        if (reference.empty()) {
            reference = gray;
        } else {
            EXPECT_EQ(gray, reference) << "the gray plane does not depend on the layout";
        }
        const std::vector<uint8_t> twoStep =
            VideoFrame(*frame, ImageOrder::Interleaved)
                .processImage(20, 20, 1, order, kWholeFrame, ResizingMethod::Letterbox, means, vars);
        EXPECT_EQ(twoStep, gray);
    }
}

TEST(ByteRoad, TruncatesClampsAndPadsWithZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // A 4x1 interleaved float image as an external preprocessor might return it.
    const std::vector<float> pixels{254.9f, 255.0f, 300.0f, -5.0f, 0.5f, 1e9f, nan, 128.0f, 17.99f, 3, 2, 1};
    const VideoFrame image(floatBytes(pixels), 4, 1, ImageOrder::Interleaved);
    // 4x1 letterboxed into 4x3 pads the first and last rows.
    for (ImageOrder order : {ImageOrder::Interleaved, ImageOrder::Planar}) {
        const std::vector<uint8_t> out =
            image.processImageUint8(4, 3, order, kWholeFrame, ResizingMethod::Letterbox);
        ASSERT_EQ(out.size(), 4u * 3u * 3u);
        const BytePixel expected[] = {{254, 255, 255}, {0, 0, 255}, {0, 128, 17}, {3, 2, 1}};
        for (int column = 0; column < 4; ++column) {
            const BytePixel top = bytePixel(out, 4, 3, order, 0, column);
            const BytePixel middle = bytePixel(out, 4, 3, order, 1, column);
            const BytePixel bottom = bytePixel(out, 4, 3, order, 2, column);
            EXPECT_EQ(top.r + top.g + top.b + bottom.r + bottom.g + bottom.b, 0) << column;
            EXPECT_EQ(middle.r, expected[column].r) << column;
            EXPECT_EQ(middle.g, expected[column].g) << column;
            EXPECT_EQ(middle.b, expected[column].b) << column;
        }
    }
}

TEST(ByteRoad, DirectBytesAreTruncatedConvertedValues) {
    const auto frame = uniformFrame(16, 8, 100, 100, 200);
    const std::vector<uint8_t> out =
        VideoFrame::directPreprocessUint8(*frame, 16, 16, kWholeFrame, ResizingMethod::Letterbox);
    ASSERT_EQ(out.size(), 16u * 16u * 3u);
    // 200.944, 58.218016, 50.384 truncated; rows 0..3 and 12..15 are padding.
    EXPECT_EQ(bytePixel(out, 16, 16, ImageOrder::Interleaved, 4, 0).r, 200);
    EXPECT_EQ(bytePixel(out, 16, 16, ImageOrder::Interleaved, 4, 0).g, 58);
    EXPECT_EQ(bytePixel(out, 16, 16, ImageOrder::Interleaved, 11, 15).b, 50);
    EXPECT_EQ(bytePixel(out, 16, 16, ImageOrder::Interleaved, 3, 5).r, 0);
    EXPECT_EQ(bytePixel(out, 16, 16, ImageOrder::Interleaved, 12, 5).g, 0);
}

// An image whose bytes do not cover its declared size is never read: its results are padding.
TEST(UnreadableImages, ShortFloatImageGivesPaddingOnly) {
    const std::vector<float> pixels(5 * 3, 100.0f);
    const VideoFrame image(floatBytes(pixels), 4, 2, ImageOrder::Interleaved);
    const std::vector<uint8_t> floats = image.processImage(3, 2, 3, ImageOrder::Planar, kWholeFrame,
                                                           ResizingMethod::Stretch, {1, 2, 3}, kOne);
    ASSERT_EQ(floats.size(), 3u * 2u * 3u * sizeof(float));
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(floatAt(floats, i), -1.0f);
        EXPECT_EQ(floatAt(floats, 6 + i), -2.0f);
        EXPECT_EQ(floatAt(floats, 12 + i), -3.0f);
    }
    const std::vector<uint8_t> bytes =
        image.processImageUint8(3, 2, ImageOrder::Interleaved, kWholeFrame, ResizingMethod::Stretch);
    EXPECT_EQ(bytes, std::vector<uint8_t>(18, 0));
}

// Host frames that cannot be read safely convert to an empty image and to padding on the direct road.
class BrokenFrame : public vek::sdk::RefCountable<vek::sdk::analytics::IUncompressedVideoFrame1> {
public:
    BrokenFrame(int width, int height, std::array<int, 3> lineSizes, bool nullChroma)
        : frameWidth(width), frameHeight(height), lineSizes(lineSizes), nullChroma(nullChroma) {}

    int64_t timestampUs() const override { return 0; }
    int width() const override { return frameWidth; }
    int height() const override { return frameHeight; }
    PixelFormat pixelFormat() const override { return PixelFormat::yuv420; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int plane) const override {
        return plane > 0 && nullChroma ? nullptr : storage.data();
    }
    int lineSize(int plane) const override { return lineSizes[static_cast<size_t>(plane)]; }
    int dataSize(int) const override { return static_cast<int>(storage.size()); }

private:
    int frameWidth;
    int frameHeight;
    std::array<int, 3> lineSizes;
    bool nullChroma;
    std::vector<uint8_t> storage = std::vector<uint8_t>(64, 77);
};

TEST(UnreadableImages, BrokenHostFramesGiveEmptyImagesAndPadding) {
    struct Case {
        const char* what;
        int width, height;
        std::array<int, 3> lineSizes;
        bool nullChroma;
    };
    const Case cases[] = {
        {"luma lines shorter than the width", 8, 4, {4, 4, 4}, false},
        {"chroma lines shorter than half the width", 8, 4, {8, 3, 4}, false},
        {"V lines shorter than half the width", 8, 4, {8, 4, 2}, false},
        {"no chroma planes", 8, 4, {8, 4, 4}, true},
        {"zero width", 0, 4, {8, 4, 4}, false},
        {"negative height", 8, -4, {8, 4, 4}, false},
    };
    for (const Case& c : cases) {
        vek::sdk::Ptr<BrokenFrame> frame(new BrokenFrame(c.width, c.height, c.lineSizes, c.nullChroma));
        const VideoFrame image(*frame, ImageOrder::Planar);
        EXPECT_TRUE(image.data().empty()) << c.what;
        const std::vector<uint8_t> twoStep = image.processImage(4, 4, 3, ImageOrder::Planar, kWholeFrame,
                                                                ResizingMethod::Letterbox, {5, 5, 5}, kOne);
        const std::vector<uint8_t> direct = VideoFrame::directPreprocess(
            *frame, ImageOrder::Planar, 4, 4, 3, kWholeFrame, ResizingMethod::Letterbox, {5, 5, 5}, kOne);
        EXPECT_EQ(direct, twoStep) << c.what;
        for (size_t i = 0; i < direct.size() / sizeof(float); ++i) {
            ASSERT_EQ(floatAt(direct, i), -5.0f) << c.what;
        }
        EXPECT_EQ(VideoFrame::directPreprocessUint8(*frame, 4, 4, kWholeFrame, ResizingMethod::Stretch),
                  std::vector<uint8_t>(48, 0))
            << c.what;
    }
}

TEST(ResultSizes, NegativeSizesThrowAndEmptyTargetsGiveEmptyResults) {
    const auto frame = randomFrame(16, 16, 14);
    const VideoFrame image(*frame, ImageOrder::Planar);
    EXPECT_THROW(
        image.processImage(-1, 4, 3, ImageOrder::Planar, kWholeFrame, ResizingMethod::Stretch, kZero, kOne),
        std::length_error);
    EXPECT_THROW(VideoFrame::directPreprocessUint8(*frame, 4, -4, kWholeFrame, ResizingMethod::Stretch),
                 std::length_error);
    EXPECT_THROW(
        VideoFrame::floatResultBytes(std::numeric_limits<int>::max(), std::numeric_limits<int>::max(), 3),
        std::length_error);
    EXPECT_TRUE(
        image.processImage(0, 4, 3, ImageOrder::Planar, kWholeFrame, ResizingMethod::Crop, kZero, kOne)
            .empty());
    EXPECT_TRUE(VideoFrame::directPreprocess(*frame, ImageOrder::Interleaved, 4, 0, 1, kWholeFrame,
                                             ResizingMethod::Letterbox, kZero, kOne)
                    .empty());
}

// The direct road reproduces the two-step road: same floats, same bytes, whatever the layout of
// the intermediate RGB image.
TEST(DirectRoad, EqualsTheTwoStepRoad) {
    struct FrameCase {
        int width, height, lineSlack;
    };
    const FrameCase frames[] = {{64, 48, 0}, {101, 77, 13}, {9, 5, 0}, {2, 2, 1}, {1, 1, 0}};
    const std::pair<int, int> targets[] = {{32, 32}, {45, 17}, {17, 45}, {1, 1}, {130, 90}};
    const CropBox crops[] = {
        kWholeFrame, {0.1f, 0.25f, 0.8f, 0.6f}, {0.7f, 0.7f, 0.2f, 0.2f}, {-1, -1, 2, 2}};
    const ResizingMethod methods[] = {ResizingMethod::Crop, ResizingMethod::Stretch,
                                      ResizingMethod::Letterbox, static_cast<ResizingMethod>(-3)};
    const ChannelValues means{12.5f, 100, 255};
    const ChannelValues vars{58.4f, 0.5f, 3};
    uint32_t seed = 100;
    for (const FrameCase& f : frames) {
        const auto frame = randomFrame(f.width, f.height, seed++, f.lineSlack);
        const VideoFrame planarImage(*frame, ImageOrder::Planar);
        const VideoFrame interleavedImage(*frame, ImageOrder::Interleaved);
        for (const auto& [width, height] : targets) {
            for (const CropBox& crop : crops) {
                for (ResizingMethod method : methods) {
                    for (ImageOrder order : {ImageOrder::Planar, ImageOrder::Interleaved}) {
                        for (int channels : {1, 3}) {
                            std::vector<float> direct(
                                static_cast<size_t>(width * height * (channels == 1 ? 1 : 3)));
                            VideoFrame::directPreprocessInto(*frame, order, width, height, channels, crop,
                                                             method, means, vars, direct.data(),
                                                             SimdLevel::Scalar);
                            const std::vector<uint8_t> expected = floatBytes(direct);
                            ASSERT_EQ(planarImage.processImage(width, height, channels, order, crop, method,
                                                               means, vars),
                                      expected)
                                << f.width << "x" << f.height << " to " << width << "x" << height
                                << " method " << static_cast<int>(method) << " crop " << crop[0]
                                << " channels " << channels;
                            ASSERT_EQ(interleavedImage.processImage(width, height, channels, order, crop,
                                                                    method, means, vars),
                                      expected);
                        }
                        std::vector<uint8_t> bytes(static_cast<size_t>(width * height * 3));
                        VideoFrame::directPreprocessUint8Into(*frame, width, height, crop, method,
                                                              bytes.data(), SimdLevel::Scalar);
                        ASSERT_EQ(planarImage.processImageUint8(width, height, ImageOrder::Interleaved, crop,
                                                                method),
                                  bytes)
                            << f.width << "x" << f.height << " to " << width << "x" << height;
                    }
                }
            }
        }
    }
}

TEST(DirectRoad, ResizeOfAnImageEqualsProcessImageOfItsFrame) {
    const auto frame = randomFrame(50, 40, 15);
    const VideoFrame image(*frame, ImageOrder::Interleaved);
    const std::vector<uint8_t> source(image.data().begin(), image.data().end());
    std::vector<uint8_t> resized{1, 2, 3};
    VideoFrame::resizeFloatImage(source, 50, 40, ImageOrder::Interleaved, 30, 20, ImageOrder::Planar,
                                 {0.2f, 0.1f, 0.9f, 0.8f}, ResizingMethod::Crop, {1, 2, 3}, {4, 5, 6},
                                 resized);
    EXPECT_EQ(resized, image.processImage(30, 20, 3, ImageOrder::Planar, {0.2f, 0.1f, 0.9f, 0.8f},
                                          ResizingMethod::Crop, {1, 2, 3}, {4, 5, 6}));
    std::vector<uint8_t> bytes;
    VideoFrame::resizeFloatToUint8Image(source, 50, 40, ImageOrder::Interleaved, 30, 20, ImageOrder::Planar,
                                        kWholeFrame, ResizingMethod::Letterbox, bytes);
    EXPECT_EQ(bytes,
              image.processImageUint8(30, 20, ImageOrder::Planar, kWholeFrame, ResizingMethod::Letterbox));
}

}  // namespace
