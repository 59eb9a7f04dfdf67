#include <gtest/gtest.h>

#include "corvane/vekai_box_geometry.h"
#include "postprocessing_test_support.h"

namespace {

using vek::sdk::analytics::Rect;
using vekai::ResizingMethod;

struct IouCase {
    const char* label;
    Rect a;
    Rect b;
    float iou;
};

class Iou : public testing::TestWithParam<IouCase> {};

TEST_P(Iou, OfTwoBoxes) {
    const IouCase& c = GetParam();
    EXPECT_FLOAT_EQ(vekai_calculate_iou(c.a, c.b), c.iou) << c.label;
    EXPECT_FLOAT_EQ(vekai_calculate_iou(c.b, c.a), c.iou) << c.label << " (swapped)";
}

INSTANTIATE_TEST_SUITE_P(Boxes, Iou,
                         testing::Values(IouCase{"identical", {1, 1, 2, 3}, {1, 1, 2, 3}, 1.0f},
                                         IouCase{"half overlap", {0, 0, 2, 2}, {1, 0, 2, 2}, 2.0f / 6.0f},
                                         IouCase{"contained", {0, 0, 4, 4}, {1, 1, 2, 2}, 0.25f},
                                         IouCase{"touching edges", {0, 0, 1, 1}, {1, 0, 1, 1}, 0.0f},
                                         IouCase{"disjoint", {0, 0, 1, 1}, {5, 5, 1, 1}, 0.0f},
                                         IouCase{"zero area", {0, 0, 0, 0}, {0, 0, 0, 0}, 0.0f}),
                         CaseName());

struct MappingCase {
    const char* label;
    ResizingMethod method;
    uint64_t modelWidth, modelHeight;
    uint64_t frameWidth, frameHeight;
    std::array<float, 4> roi;
    std::array<float, 4> modelBox;  // x1, y1, x2, y2
    Rect frameBox;
};

class ModelBoxToFrame : public testing::TestWithParam<MappingCase> {};

TEST_P(ModelBoxToFrame, InvertsThePlacementOfTheModelInput) {
    const MappingCase& c = GetParam();
    StageFixture fixture("device", c.frameWidth, c.frameHeight);
    fixture.model->inputWidth = c.modelWidth;
    fixture.model->inputHeight = c.modelHeight;
    fixture.stage.resizingMethod = c.method;
    const auto request = fixture.request(0, c.roi);
    const auto [x1, y1, x2, y2] = c.modelBox;
    const Rect box = vekai_convert_model_coordinates_to_rect(*request, x1, y1, x2, y2);
    constexpr float kTolerance = 1e-5f;
    EXPECT_NEAR(box.x, c.frameBox.x, kTolerance) << c.label;
    EXPECT_NEAR(box.y, c.frameBox.y, kTolerance) << c.label;
    EXPECT_NEAR(box.width, c.frameBox.width, kTolerance) << c.label;
    EXPECT_NEAR(box.height, c.frameBox.height, kTolerance) << c.label;
}

// Frame 1280 x 720 with region (0.25, 0.1, 0.5, 0.6): a crop of 640 x 432 pixels. A 640 x 640 model
// letterboxes it at scale 1 with 104 rows of padding above and below; cropping scales it by 640/432 to
// 948.15 x 640, cutting 154.07 columns on either side.
constexpr std::array<float, 4> kRoi{0.25f, 0.1f, 0.5f, 0.6f};
constexpr float kCropCut = (640.0f * 640.0f / 432.0f - 640.0f) / 2.0f;
constexpr float kCropInnerX = 0.25f + kCropCut / (640.0f * 640.0f / 432.0f) * 0.5f;
constexpr float kCropInnerWidth = 640.0f / (640.0f * 640.0f / 432.0f) * 0.5f;

INSTANTIATE_TEST_SUITE_P(
    Methods, ModelBoxToFrame,
    testing::Values(
        // The region of the frame the model saw maps back onto the request's region.
        MappingCase{"stretch, model input corners",
                    ResizingMethod::Stretch,
                    640,
                    640,
                    1280,
                    720,
                    kRoi,
                    {0, 0, 640, 640},
                    {0.25f, 0.1f, 0.5f, 0.6f}},
        MappingCase{"letterbox, image corners",
                    ResizingMethod::Letterbox,
                    640,
                    640,
                    1280,
                    720,
                    kRoi,
                    {0, 104, 640, 536},
                    {0.25f, 0.1f, 0.5f, 0.6f}},
        MappingCase{"crop, crop corners beyond the input",
                    ResizingMethod::Crop,
                    640,
                    640,
                    1280,
                    720,
                    kRoi,
                    {-kCropCut, 0, 640 + kCropCut, 640},
                    {0.25f, 0.1f, 0.5f, 0.6f}},
        // The model input itself: cropping saw only the middle of the region.
        MappingCase{"crop, model input corners",
                    ResizingMethod::Crop,
                    640,
                    640,
                    1280,
                    720,
                    kRoi,
                    {0, 0, 640, 640},
                    {kCropInnerX, 0.1f, kCropInnerWidth, 0.6f}},
        // Letterbox padding lies outside the region; above the frame it is cut off at the frame edge.
        MappingCase{"letterbox, model input corners",
                    ResizingMethod::Letterbox,
                    640,
                    640,
                    1280,
                    720,
                    kRoi,
                    {0, 0, 640, 640},
                    {0.25f, 0.0f, 0.5f, 0.1f + 0.6f + 104.0f / 432.0f * 0.6f}},
        MappingCase{"letterbox, padding only",
                    ResizingMethod::Letterbox,
                    640,
                    640,
                    1280,
                    720,
                    kRoi,
                    {0, 0, 640, 104},
                    {0.25f, 0.0f, 0.5f, 0.1f}},
        MappingCase{"letterbox, example of a wide frame",
                    ResizingMethod::Letterbox,
                    640,
                    640,
                    1280,
                    720,
                    {0, 0, 1, 1},
                    {0, 140, 640, 500},
                    {0, 0, 1, 1}},
        MappingCase{"letterbox, non-square model",
                    ResizingMethod::Letterbox,
                    320,
                    192,
                    1280,
                    720,
                    {0, 0, 1, 1},
                    {0, 6, 320, 186},
                    {0, 0, 1, 1}},
        MappingCase{"stretch, middle of the input",
                    ResizingMethod::Stretch,
                    640,
                    640,
                    1280,
                    720,
                    kRoi,
                    {160, 320, 480, 480},
                    {0.375f, 0.4f, 0.25f, 0.15f}},
        // Fractions of the model input give the same box as pixels...
        MappingCase{"letterbox, fractions",
                    ResizingMethod::Letterbox,
                    640,
                    640,
                    1280,
                    720,
                    {0, 0, 1, 1},
                    {0.1f, 0.21875f, 0.9f, 0.78125f},
                    {0.1f, 0, 0.8f, 1}},
        MappingCase{"letterbox, the same in pixels",
                    ResizingMethod::Letterbox,
                    640,
                    640,
                    1280,
                    720,
                    {0, 0, 1, 1},
                    {64, 140, 576, 500},
                    {0.1f, 0, 0.8f, 1}},
        // ...but a coordinate of exactly 1.0 means pixels.
        MappingCase{"stretch, x2 of 1.0 is a pixel",
                    ResizingMethod::Stretch,
                    640,
                    640,
                    640,
                    640,
                    {0, 0, 1, 1},
                    {0.5f, 0.5f, 1.0f, 0.75f},
                    {0.5f / 640, 0.5f / 640, 0.5f / 640, 0.25f / 640}},
        // A box reaching past the right or bottom edge ends at the edge...
        MappingCase{"stretch, beyond the right edge",
                    ResizingMethod::Stretch,
                    640,
                    640,
                    640,
                    640,
                    {0, 0, 1, 1},
                    {320, 320, 960, 700},
                    {0.5f, 0.5f, 0.5f, 0.5f}},
        // ...and one starting before the left or top edge keeps its right and bottom edges.
        MappingCase{"stretch, before the left edge",
                    ResizingMethod::Stretch,
                    640,
                    640,
                    640,
                    640,
                    {0, 0, 1, 1},
                    {-64, -32, 64, 320},
                    {0, 0, 0.1f, 0.5f}},
        MappingCase{"stretch, wholly outside",
                    ResizingMethod::Stretch,
                    640,
                    640,
                    640,
                    640,
                    {0, 0, 1, 1},
                    {-200, 700, -100, 800},
                    {0, 1, 0, 0}}),
    CaseName());

TEST(ModelBoxToFrame, RefusesSizesThatWouldDivideByZero) {
    struct Case {
        const char* label;
        uint64_t modelWidth, frameWidth;
        std::array<float, 4> roi;
    };
    for (const Case& c :
         {Case{"no model width", 0, 640, {0, 0, 1, 1}}, Case{"no frame", 640, 0, {0, 0, 1, 1}},
          Case{"empty region", 640, 640, {0.5f, 0.5f, 0, 0.5f}}}) {
        StageFixture fixture("device", c.frameWidth, 640);
        fixture.model->inputWidth = c.modelWidth;
        const auto request = fixture.request(0, c.roi);
        EXPECT_FALSE(vekai_can_map_model_boxes(*request)) << c.label;
        const Rect box = vekai_convert_model_coordinates_to_rect(*request, 10, 10, 100, 100);
        EXPECT_EQ(box.x, 0) << c.label;
        EXPECT_EQ(box.width, 0) << c.label;
    }
}

}  // namespace
