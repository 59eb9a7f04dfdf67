#include <gtest/gtest.h>

#include "corvane/vekai_masks.h"
#include "corvane/vekai_postprocessor.h"
#include "postprocessing_test_support.h"

namespace {

using vekai::VekAIObjectPtr;

const std::vector<float> kSquare{0.2f, 0.2f, 0.6f, 0.2f, 0.6f, 0.6f, 0.2f, 0.6f};
// An L shape: the square (0,0)-(1,1) without its top-right quarter.
const std::vector<float> kConcave{0, 0, 0.5f, 0, 0.5f, 0.5f, 1, 0.5f, 1, 1, 0, 1};

struct PolygonCase {
    const char* label;
    std::vector<float> polygon;
    float x, y;
    bool inside;
};

class PointInPolygon : public testing::TestWithParam<PolygonCase> {};

TEST_P(PointInPolygon, Decides) {
    const PolygonCase& c = GetParam();
    EXPECT_EQ(is_point_in_polygon(c.polygon, c.x, c.y), c.inside) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Points, PointInPolygon,
    testing::Values(
        PolygonCase{"centre", kSquare, 0.4f, 0.4f, true}, PolygonCase{"outside", kSquare, 0.7f, 0.4f, false},
        PolygonCase{"on the bottom edge", kSquare, 0.4f, 0.6f, true},
        PolygonCase{"on the left edge", kSquare, 0.2f, 0.3f, true},
        PolygonCase{"on a vertex", kSquare, 0.6f, 0.6f, true},
        PolygonCase{"within the edge tolerance", kSquare, 0.60005f, 0.4f, true},
        PolygonCase{"beyond the edge tolerance", kSquare, 0.6002f, 0.4f, false},
        PolygonCase{"on the line of an edge, past its end", kSquare, 0.7f, 0.6f, false},
        PolygonCase{"concave, in the notch", kConcave, 0.75f, 0.25f, false},
        PolygonCase{"concave, in the body", kConcave, 0.75f, 0.75f, true},
        PolygonCase{"concave, on the inner corner", kConcave, 0.5f, 0.5f, true},
        PolygonCase{"odd trailing value ignored", {0, 0, 1, 0, 1, 1, 0, 1, 0.5f}, 0.5f, 0.5f, true},
        PolygonCase{"no complete vertex", {0.5f}, 0.5f, 0.5f, false}, PolygonCase{"empty", {}, 0, 0, false}),
    CaseName());

// An object whose bottom centre is (x, y): a box of width 0.2 and height 0.1 above that point.
VekAIObjectPtr objectAt(float x, float y) {
    auto object = std::make_shared<VekAIObject_t>();
    object->boundingBox = {x - 0.1f, y - 0.1f, 0.2f, 0.1f};
    return object;
}

MaskSettings_t inclusive(std::vector<float> polygon) {
    return {0, std::move(polygon)};
}

MaskSettings_t exclusive(std::vector<float> polygon) {
    return {1, std::move(polygon)};
}

const std::vector<float> kRight{0.6f, 0.2f, 0.9f, 0.2f, 0.9f, 0.6f, 0.6f, 0.6f};

struct MaskCase {
    const char* label;
    std::vector<MaskSettings_t> masks;
    float x, y;
    bool passes;
};

class Masks : public testing::TestWithParam<MaskCase> {};

TEST_P(Masks, JudgeTheBottomCentreOfAnObject) {
    const MaskCase& c = GetParam();
    const std::vector<VekAIObjectPtr> objects{objectAt(c.x, c.y)};
    const auto passed = vekai::PostProcessor::filter_objects_by_masks(objects, c.masks);
    EXPECT_EQ(passed.size() == 1, c.passes) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Masks,
    testing::Values(
        MaskCase{"no masks", {}, 0.95f, 0.95f, true},
        MaskCase{"inside an inclusive mask", {inclusive(kSquare)}, 0.4f, 0.5f, true},
        MaskCase{"outside the only inclusive mask", {inclusive(kSquare)}, 0.4f, 0.7f, false},
        MaskCase{"on an inclusive edge", {inclusive(kSquare)}, 0.4f, 0.6f, true},
        MaskCase{"inside the second of two inclusive masks",
                 {inclusive(kSquare), inclusive(kRight)},
                 0.8f,
                 0.5f,
                 true},
        MaskCase{"inside an exclusive mask", {exclusive(kSquare)}, 0.4f, 0.5f, false},
        MaskCase{"on an exclusive edge", {exclusive(kSquare)}, 0.4f, 0.6f, false},
        MaskCase{"outside the only exclusive mask", {exclusive(kSquare)}, 0.4f, 0.7f, true},
        // Exclusion wins over inclusion.
        MaskCase{"inside both kinds", {inclusive(kSquare), exclusive(kSquare)}, 0.4f, 0.5f, false},
        // The shared edge of the two squares belongs to both.
        MaskCase{"on the edge shared with an exclusive mask",
                 {inclusive(kSquare), exclusive(kRight)},
                 0.6f,
                 0.4f,
                 false},
        MaskCase{"inclusive mask without a vertex contains nothing", {inclusive({0.5f})}, 0.5f, 0.5f, false},
        MaskCase{"exclusive mask without a vertex excludes nothing", {exclusive({})}, 0.5f, 0.5f, true}),
    CaseName());

TEST(Masks, KeepTheOrderOfTheSurvivors) {
    const std::vector<VekAIObjectPtr> objects{objectAt(0.3f, 0.5f), objectAt(0.8f, 0.8f),
                                              objectAt(0.5f, 0.3f), objectAt(0.25f, 0.25f)};
    const auto passed = vekai::PostProcessor::filter_objects_by_masks(objects, {inclusive(kSquare)});
    ASSERT_EQ(passed.size(), 3u);
    EXPECT_EQ(passed[0], objects[0]);
    EXPECT_EQ(passed[1], objects[2]);
    EXPECT_EQ(passed[2], objects[3]);
}

}  // namespace
