#include <gtest/gtest.h>

#include <random>

#include "corvane/vekai_box_geometry.h"
#include "corvane/vekai_iou_columns.h"

namespace {

using vek::sdk::analytics::Rect;

// Boxes on a coarse grid, so that identical, touching, nested and empty boxes all occur, besides
// boxes of arbitrary float coordinates.
std::vector<Rect> randomBoxes(size_t count, std::mt19937& rng) {
    std::uniform_int_distribution<int> grid(0, 8);
    std::uniform_real_distribution<float> fraction(0.0f, 1.0f);
    std::vector<Rect> boxes;
    for (size_t i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            boxes.push_back({grid(rng) / 8.0f, grid(rng) / 8.0f, grid(rng) / 8.0f, grid(rng) / 8.0f});
        } else {
            boxes.push_back({fraction(rng), fraction(rng), fraction(rng) * 0.5f, fraction(rng) * 0.5f});
        }
    }
    return boxes;
}

// Every column count up to a few vector widths, so that both the four-wide steps and the remainder run.
TEST(IouColumns, EqualTheIouOfEachPair) {
    std::mt19937 rng(7);
    for (size_t n = 0; n <= 37; ++n) {
        const std::vector<Rect> tracks = randomBoxes(n, rng);
        BoxColumns columns;
        for (const Rect& box : tracks)
            columns.push(box);
        for (const Rect& box : randomBoxes(16, rng)) {
            std::vector<float> iou(n, -1.0f);
            vekai_iou_against_columns(box, columns, iou.data());
            for (size_t k = 0; k < n; ++k)
                ASSERT_EQ(iou[k], vekai_calculate_iou(box, tracks[k])) << "n = " << n << ", column " << k;
        }
    }
}

TEST(IouColumns, ClearEmptiesEveryColumn) {
    BoxColumns columns;
    columns.push({0, 0, 1, 1});
    columns.clear();
    EXPECT_EQ(columns.size(), 0u);
    columns.push({0.5f, 0.5f, 0.25f, 0.25f});
    float iou = -1;
    vekai_iou_against_columns({0.5f, 0.5f, 0.25f, 0.25f}, columns, &iou);
    EXPECT_EQ(iou, 1.0f);
}

}  // namespace
