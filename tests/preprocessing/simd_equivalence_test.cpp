// The AVX2 row routines against the scalar reference on the same random frames: bytes identical,
// floats within the last bit, for odd sizes, every resizing method, both layouts, one and three
// channels, and blocks of 8 columns that mix padding and image.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>

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

struct FrameCase {
    int width;
    int height;
    int lineSlack;
    Guard guard;
};

struct Target {
    int width;
    int height;
};

// Whether some block of 8 columns holds both padding and image columns.
bool mixesPaddingAndImage(const std::vector<int32_t>& columnMap) {
    for (size_t start = 0; start + 8 <= columnMap.size(); start += 8) {
        int padding = 0;
        for (size_t i = start; i < start + 8; ++i) {
            padding += columnMap[i] < 0 ? 1 : 0;
        }
        if (padding > 0 && padding < 8) {
            return true;
        }
    }
    return false;
}

// The loads per block the AVX2 routines plan for a case; 0 means they gather.
std::pair<int32_t, int32_t> plannedWindows(int frameWidth, int frameHeight, int width, int height,
                                           const CropBox& crop, ResizingMethod method) {
    vekai::FrameSampling sampling;
    sampling.frameWidth = frameWidth;
    sampling.frameHeight = frameHeight;
    sampling.outputWidth = width;
    sampling.outputHeight = height;
    sampling.geometry = vekai::samplingGeometry(frameWidth, frameHeight, width, height, crop, method);
    sampling.planBlockWindows();
    return {sampling.lumaWindows, sampling.chromaWindows};
}

class SimdEquivalence : public ::testing::Test {
protected:
    void SetUp() override {
        if (!vekai::cpuHasAVX2()) {
            GTEST_SKIP() << "this processor has no AVX2";
        }
    }

    // Compares scalar and AVX2 results for every method, layout, channel count and crop.
    void compareAll(const FrameCase& f, const std::vector<Target>& targets, const std::vector<CropBox>& crops,
                    uint32_t seed) {
        vek::sdk::Ptr<TestFrame> frame(new TestFrame(f.width, f.height, f.lineSlack, f.guard));
        frame->fillRandom(seed);
        const ChannelValues means{0.485f * 255, 0.456f * 255, 0.406f * 255};
        const ChannelValues vars{0.229f * 255, 0.224f * 255, 0.225f * 255};
        for (const Target& t : targets) {
            for (const CropBox& crop : crops) {
                for (int method = 0; method < 4; ++method) {
                    const std::string where = std::to_string(f.width) + "x" + std::to_string(f.height) +
                                              " to " + std::to_string(t.width) + "x" +
                                              std::to_string(t.height) + " method " + std::to_string(method) +
                                              " crop " + std::to_string(crop[0]) + "," +
                                              std::to_string(crop[2]);
                    if (t.width >= 8) {
                        planned.insert(plannedWindows(f.width, f.height, t.width, t.height, crop,
                                                      static_cast<ResizingMethod>(method)));
                    }
                    compareFloats(*frame, t, crop, static_cast<ResizingMethod>(method), means, vars, where);
                    compareBytes(*frame, t, crop, static_cast<ResizingMethod>(method), where);
                }
            }
        }
    }

    void compareFloats(const TestFrame& frame, const Target& t, const CropBox& crop, ResizingMethod method,
                       const ChannelValues& means, const ChannelValues& vars, const std::string& where) {
        for (ImageOrder order : {ImageOrder::Planar, ImageOrder::Interleaved}) {
            for (int channels : {1, 3}) {
                const size_t count = static_cast<size_t>(t.width * t.height * channels);
                std::vector<float> scalar(count, -7.0f);
                std::vector<float> avx2(count, 7.0f);
                VideoFrame::directPreprocessInto(frame, order, t.width, t.height, channels, crop, method,
                                                 means, vars, scalar.data(), SimdLevel::Scalar);
                VideoFrame::directPreprocessInto(frame, order, t.width, t.height, channels, crop, method,
                                                 means, vars, avx2.data(), SimdLevel::Avx2);
                for (size_t i = 0; i < count; ++i) {
                    ASSERT_LE(ulpDistance(scalar[i], avx2[i]), 1u)
                        << where << " order " << order << " channels " << channels << " index " << i << ": "
                        << scalar[i] << " vs " << avx2[i];
                }
            }
        }
    }

    void compareBytes(const TestFrame& frame, const Target& t, const CropBox& crop, ResizingMethod method,
                      const std::string& where) {
        const size_t count = static_cast<size_t>(t.width * t.height * 3);
        std::vector<uint8_t> scalar(count, 0x5A);
        std::vector<uint8_t> avx2(count, 0xA5);
        VideoFrame::directPreprocessUint8Into(frame, t.width, t.height, crop, method, scalar.data(),
                                              SimdLevel::Scalar);
        VideoFrame::directPreprocessUint8Into(frame, t.width, t.height, crop, method, avx2.data(),
                                              SimdLevel::Avx2);
        ASSERT_EQ(scalar, avx2) << where;
    }

    // Every plan the comparisons went through: (luma loads, chroma loads) per block.
    std::set<std::pair<int32_t, int32_t>> planned;
};

const std::vector<CropBox> kCrops{
    {0, 0, 1, 1}, {0.13f, 0.07f, 0.91f, 0.77f}, {0.6f, 0.3f, 0.1f, 0.2f}, {-0.4f, -0.1f, 1.7f, 1.2f}};

TEST_F(SimdEquivalence, OddFrameAndTargetSizes) {
    const std::vector<Target> targets{{1, 1},   {7, 5},   {8, 8},    {15, 9},
                                      {31, 17}, {64, 64}, {100, 37}, {9, 113}};
    const FrameCase frames[] = {
        {8, 4, 0, Guard::AfterPlanes},      {8, 4, 0, Guard::BeforePlanes},   {9, 5, 3, Guard::AfterPlanes},
        {17, 11, 0, Guard::BeforePlanes},   {33, 21, 1, Guard::AfterPlanes},  {64, 48, 0, Guard::AfterPlanes},
        {101, 77, 0, Guard::BeforePlanes},  {101, 77, 0, Guard::AfterPlanes}, {7, 3, 0, Guard::AfterPlanes},
        {640, 480, 64, Guard::AfterPlanes},
    };
    uint32_t seed = 1;
    for (const FrameCase& f : frames) {
        compareAll(f, targets, kCrops, seed++);
        if (HasFatalFailure()) {
            return;
        }
    }
    // The comparisons reached gathering and every number of loads per block.
    EXPECT_TRUE(planned.count({0, 0}));
    const auto reached = [&](bool luma, int32_t loads) {
        return std::any_of(planned.begin(), planned.end(),
                           [&](const auto& plan) { return (luma ? plan.first : plan.second) == loads; });
    };
    for (int32_t loads = 1; loads <= vekai::SampleWindows::kMaxLumaWindows; ++loads) {
        EXPECT_TRUE(reached(true, loads)) << loads << " luma loads";
    }
    for (int32_t loads = 1; loads <= vekai::SampleWindows::kMaxChromaWindows; ++loads) {
        EXPECT_TRUE(reached(false, loads)) << loads << " chroma loads";
    }
}

// Letterboxing into wider targets puts the edge of the image inside blocks of 8 columns, the bottom
// right corner of a plane right before an inaccessible page, and the top left right after one.
TEST_F(SimdEquivalence, BlocksMixingPaddingAndImage) {
    struct Case {
        FrameCase frame;
        Target target;
    };
    const Case cases[] = {
        {{100, 100, 0, Guard::AfterPlanes}, {300, 200}}, {{100, 100, 0, Guard::BeforePlanes}, {300, 200}},
        {{33, 47, 0, Guard::AfterPlanes}, {61, 29}},     {{1920, 1080, 0, Guard::AfterPlanes}, {203, 61}},
        {{31, 9, 5, Guard::BeforePlanes}, {61, 9}},
    };
    uint32_t seed = 50;
    for (const Case& c : cases) {
        const vekai::SamplingGeometry geometry =
            vekai::samplingGeometry(c.frame.width, c.frame.height, c.target.width, c.target.height,
                                    {0, 0, 1, 1}, ResizingMethod::Letterbox);
        ASSERT_TRUE(mixesPaddingAndImage(geometry.columnMap)) << c.frame.width << "x" << c.frame.height;
        compareAll(c.frame, {c.target}, {{0, 0, 1, 1}}, seed++);
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST_F(SimdEquivalence, FullHdToModelInput) {
    compareAll({1920, 1080, 64, Guard::AfterPlanes}, {{640, 640}}, {{0, 0, 1, 1}, {0.25f, 0.1f, 0.75f, 0.9f}},
               99);
}

TEST_F(SimdEquivalence, PublicOperationsUseTheFastestLevel) {
    vek::sdk::Ptr<TestFrame> frame(new TestFrame(64, 36, 0));
    frame->fillRandom(7);
    std::vector<float> scalar(32 * 32 * 3);
    VideoFrame::directPreprocessInto(*frame, ImageOrder::Interleaved, 32, 32, 3, {0, 0, 1, 1},
                                     ResizingMethod::Letterbox, {1, 2, 3}, {3, 2, 1}, scalar.data(),
                                     SimdLevel::Scalar);
    const std::vector<uint8_t> vector =
        VideoFrame::directPreprocess(*frame, ImageOrder::Interleaved, 32, 32, 3, {0, 0, 1, 1},
                                     ResizingMethod::Letterbox, {1, 2, 3}, {3, 2, 1});
    ASSERT_EQ(vector.size(), scalar.size() * sizeof(float));
    for (size_t i = 0; i < scalar.size(); ++i) {
        ASSERT_LE(ulpDistance(floatAt(vector, i), scalar[i]), 1u) << i;
    }
    EXPECT_EQ(vekai::bestSimdLevel(), SimdLevel::Avx2);
}

}  // namespace
