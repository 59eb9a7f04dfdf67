// The worked examples of frame conversion: crop, scale and placement with their exact sampled
// indices, checked on the geometry and on the converted pixels of both roads.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "corvane/vekai_video_frame.h"
#include "corvane/vekai_video_frame_rows.h"
#include "test_frame.h"
#include "test_reference.h"

namespace {

using namespace preprocessing_test;
using vekai::CropBox;
using vekai::ResizingMethod;
using vekai::VideoFrame;

constexpr CropBox kWholeFrame{0, 0, 1, 1};
// Distinct normalisation per channel, so that padding and image values cannot be confused.
constexpr std::array<float, 3> kMeans{10, 20, 30};
constexpr std::array<float, 3> kVars{2, 4, 8};
constexpr RgbValue kPadding{-5.0f, -5.0f, -3.75f};

vek::sdk::Ptr<TestFrame> randomFrame(int width, int height, uint32_t seed) {
    vek::sdk::Ptr<TestFrame> frame(new TestFrame(width, height));
    frame->fillRandom(seed);
    return frame;
}

void expectPixel(const RgbValue& actual, const RgbValue& expected, const char* where, int row, int column) {
    EXPECT_EQ(actual.r, expected.r) << where << " row " << row << " column " << column;
    EXPECT_EQ(actual.g, expected.g) << where << " row " << row << " column " << column;
    EXPECT_EQ(actual.b, expected.b) << where << " row " << row << " column " << column;
}

// Both roads give, at (row, column), either padding or the frame pixel the geometry names.
void expectSampling(const TestFrame& frame, int width, int height, const CropBox& crop, ResizingMethod method,
                    const std::vector<std::pair<int, int>>& rows,
                    const std::vector<std::pair<int, int>>& columns) {
    for (ImageOrder order : {ImageOrder::Planar, ImageOrder::Interleaved}) {
        const std::vector<uint8_t> direct =
            VideoFrame::directPreprocess(frame, order, width, height, 3, crop, method, kMeans, kVars);
        const std::vector<uint8_t> twoStep =
            VideoFrame(frame, ImageOrder::Planar)
                .processImage(width, height, 3, order, crop, method, kMeans, kVars);
        for (const auto& [row, sourceRow] : rows) {
            for (const auto& [column, sourceColumn] : columns) {
                const RgbValue expected =
                    sourceRow < 0 || sourceColumn < 0
                        ? kPadding
                        : normalised(frameRgb(frame, sourceRow, sourceColumn), kMeans, kVars);
                expectPixel(floatPixel(direct, width, height, order, row, column), expected, "direct", row,
                            column);
                expectPixel(floatPixel(twoStep, width, height, order, row, column), expected, "two-step", row,
                            column);
            }
        }
    }
}

TEST(WorkedExamples, LetterboxIntoTallerTargetPadsTopAndBottom) {
    const vekai::SamplingGeometry geometry =
        vekai::samplingGeometry(640, 480, 640, 640, kWholeFrame, ResizingMethod::Letterbox);
    EXPECT_EQ(geometry.placement.scaledWidth, 640);
    EXPECT_EQ(geometry.placement.scaledHeight, 480);
    EXPECT_EQ(geometry.placement.left, 0);
    EXPECT_EQ(geometry.placement.top, 80);
    for (int row = 0; row < 640; ++row) {
        const int expected = row < 80 || row >= 560 ? -1 : row - 80;
        ASSERT_EQ(geometry.sourceRow(row), expected) << "row " << row;
    }

    const auto frame = randomFrame(640, 480, 1);
    expectSampling(*frame, 640, 640, kWholeFrame, ResizingMethod::Letterbox,
                   {{0, -1}, {79, -1}, {80, 0}, {81, 1}, {559, 479}, {560, -1}, {639, -1}},
                   {{0, 0}, {1, 1}, {317, 317}, {639, 639}});
}

TEST(WorkedExamples, CropCutsBothSidesAndNeverPads) {
    const vekai::SamplingGeometry geometry =
        vekai::samplingGeometry(640, 480, 320, 320, kWholeFrame, ResizingMethod::Crop);
    EXPECT_EQ(geometry.placement.scaledWidth, 426);
    EXPECT_EQ(geometry.placement.scaledHeight, 320);
    EXPECT_EQ(geometry.placement.left, -53);
    EXPECT_EQ(geometry.placement.top, 0);
    EXPECT_EQ(geometry.columnMap.front(), 79);
    EXPECT_EQ(geometry.columnMap.back(), 558);
    for (int column = 0; column < 320; ++column) {
        ASSERT_GE(geometry.columnMap[static_cast<size_t>(column)], 0) << "column " << column;
    }
    for (int row = 0; row < 320; ++row) {
        ASSERT_GE(geometry.sourceRow(row), 0) << "row " << row;
    }

    const auto frame = randomFrame(640, 480, 2);
    expectSampling(*frame, 320, 320, kWholeFrame, ResizingMethod::Crop, {{0, 0}, {1, 1}, {2, 3}, {319, 478}},
                   {{0, 79}, {319, 558}});
}

TEST(WorkedExamples, LetterboxIntoWiderTargetSamplesTheFirstColumnJustBeforeTheImage) {
    const vekai::SamplingGeometry geometry =
        vekai::samplingGeometry(100, 100, 300, 200, kWholeFrame, ResizingMethod::Letterbox);
    EXPECT_EQ(geometry.placement.scaledWidth, 200);
    EXPECT_EQ(geometry.placement.scaledHeight, 200);
    EXPECT_EQ(geometry.placement.left, 50);
    EXPECT_EQ(geometry.placement.top, 0);
    for (int column = 0; column < 300; ++column) {
        int expected = -1;
        if (column == 49) {
            expected = 0;  // trunc(-0.5) is 0
        } else if (column >= 50 && column < 250) {
            expected = (column - 50) / 2;
        }
        ASSERT_EQ(geometry.columnMap[static_cast<size_t>(column)], expected) << "column " << column;
    }

    const auto frame = randomFrame(100, 100, 3);
    expectSampling(*frame, 300, 200, kWholeFrame, ResizingMethod::Letterbox, {{0, 0}, {1, 0}, {199, 99}},
                   {{0, -1}, {48, -1}, {49, 0}, {50, 0}, {51, 0}, {52, 1}, {249, 99}, {250, -1}, {299, -1}});
}

TEST(WorkedExamples, StretchNeverPads) {
    struct Case {
        int sourceWidth, sourceHeight, width, height;
        CropBox crop;
    };
    const Case cases[] = {
        {640, 480, 640, 640, kWholeFrame},
        {640, 480, 100, 37, kWholeFrame},
        {17, 9, 300, 200, kWholeFrame},
        {100, 100, 7, 300, kWholeFrame},
        {640, 480, 64, 64, {0.1f, 0.2f, 0.3f, 0.9f}},
    };
    for (const Case& c : cases) {
        for (ResizingMethod method : {ResizingMethod::Stretch, static_cast<ResizingMethod>(5)}) {
            const vekai::SamplingGeometry geometry =
                vekai::samplingGeometry(c.sourceWidth, c.sourceHeight, c.width, c.height, c.crop, method);
            EXPECT_EQ(geometry.placement.scaledWidth, c.width);
            EXPECT_EQ(geometry.placement.scaledHeight, c.height);
            for (int column = 0; column < c.width; ++column) {
                ASSERT_GE(geometry.columnMap[static_cast<size_t>(column)], 0)
                    << c.width << " column " << column;
            }
            for (int row = 0; row < c.height; ++row) {
                ASSERT_GE(geometry.sourceRow(row), 0) << c.height << " row " << row;
            }
        }
    }
}

TEST(WorkedExamples, CropWithRightEdgeLeftOfLeftEdgeIsOneColumnWide) {
    const vekai::CropRegion region = vekai::cropRegion(100, 50, {0.6f, 0.1f, 0.4f, 0.9f});
    EXPECT_EQ(region.x, 60);
    EXPECT_EQ(region.width, 1);
    EXPECT_EQ(region.y, 5);
    EXPECT_EQ(region.height, 40);

    const auto frame = randomFrame(100, 50, 4);
    expectSampling(*frame, 9, 5, {0.6f, 0.1f, 0.4f, 0.9f}, ResizingMethod::Stretch, {{0, 5}, {4, 37}},
                   {{0, 60}, {4, 60}, {8, 60}});
}

TEST(WorkedExamples, PointCropSamplesOnePixelForTheWholeOutput) {
    const CropBox point{0.5f, 0.5f, 0.5f, 0.5f};
    const vekai::CropRegion region = vekai::cropRegion(100, 50, point);
    EXPECT_EQ(region.x, 50);
    EXPECT_EQ(region.y, 25);
    EXPECT_EQ(region.width, 1);
    EXPECT_EQ(region.height, 1);

    const auto frame = randomFrame(100, 50, 5);
    std::vector<std::pair<int, int>> rows;
    std::vector<std::pair<int, int>> columns;
    for (int i = 0; i < 11; ++i) {
        rows.emplace_back(i, 25);
        columns.emplace_back(i, 50);
    }
    expectSampling(*frame, 11, 11, point, ResizingMethod::Stretch, rows, columns);
    expectSampling(*frame, 11, 11, point, ResizingMethod::Letterbox, rows, columns);
    expectSampling(*frame, 11, 11, point, ResizingMethod::Crop, rows, columns);
}

TEST(WorkedExamples, CropsOutsideTheFrameAreClamped) {
    struct Case {
        CropBox crop;
        vekai::CropRegion expected;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float huge = 1e30f;
    const Case cases[] = {
        {{-0.5f, -0.2f, 1.5f, 1.3f}, {0, 0, 100, 50}}, {{1.5f, 1.5f, 2.0f, 2.0f}, {99, 49, 1, 1}},
        {{-2.0f, -2.0f, -1.0f, -1.0f}, {0, 0, 1, 1}},  {{huge, -huge, huge, huge}, {99, 0, 1, 50}},
        {{nan, nan, nan, nan}, {0, 0, 1, 1}},
    };
    for (const Case& c : cases) {
        const vekai::CropRegion region = vekai::cropRegion(100, 50, c.crop);
        EXPECT_EQ(region.x, c.expected.x) << c.crop[0];
        EXPECT_EQ(region.y, c.expected.y) << c.crop[1];
        EXPECT_EQ(region.width, c.expected.width) << c.crop[2];
        EXPECT_EQ(region.height, c.expected.height) << c.crop[3];
    }
}

// A crop so flat that its letterboxed height truncates to 0 rows leaves only padding.
TEST(WorkedExamples, ScaledSizeOfZeroGivesPaddingOnly) {
    const vekai::SamplingGeometry geometry =
        vekai::samplingGeometry(1000, 2, 1, 1, kWholeFrame, ResizingMethod::Letterbox);
    EXPECT_EQ(geometry.placement.scaledHeight, 0);
    EXPECT_EQ(geometry.sourceRow(0), -1);

    const auto frame = randomFrame(1000, 2, 6);
    expectSampling(*frame, 1, 1, kWholeFrame, ResizingMethod::Letterbox, {{0, -1}}, {{0, -1}});
}

}  // namespace
