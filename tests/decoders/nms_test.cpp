#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "decoder_test_support.h"

namespace {

reference::Rows asRows(const std::vector<RawDetectionBox>& boxes) {
    reference::Rows rows;
    for (const RawDetectionBox& b : boxes) {
        rows.push_back({b.x1, b.y1, b.x2, b.y2, b.score, static_cast<float>(b.classId)});
    }
    return rows;
}

std::vector<RawDetectionBox> randomBoxes(size_t count, int classes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> position(0.0f, 200.0f);
    std::uniform_real_distribution<float> size(5.0f, 60.0f);
    std::uniform_real_distribution<float> score(0.0f, 1.0f);
    std::uniform_int_distribution<int> cls(0, classes - 1);
    std::vector<RawDetectionBox> boxes;
    for (size_t i = 0; i < count; ++i) {
        const float x = position(rng);
        const float y = position(rng);
        boxes.push_back({x, y, x + size(rng), y + size(rng), score(rng), cls(rng)});
    }
    return boxes;
}

TEST(Nms, OverlappingBoxesOfDifferentClassesSurviveUnlessAgnostic) {
    const std::vector<RawDetectionBox> boxes = {{0, 0, 10, 10, 0.6f, 1}, {0, 0, 10, 10, 0.9f, 2}};
    expectRowsEqual(asRows(rawPostprocessorNms(boxes, 0.45f, false)),
                    {{0, 0, 10, 10, 0.9f, 2}, {0, 0, 10, 10, 0.6f, 1}});
    expectRowsEqual(asRows(rawPostprocessorNms(boxes, 0.45f, true)), {{0, 0, 10, 10, 0.9f, 2}});
}

TEST(Nms, IouEqualToTheThresholdKeepsBoth) {
    // Intersection 3, union 4: an IoU of exactly 0.75.
    const std::vector<RawDetectionBox> boxes = {{0, 0, 4, 1, 0.9f, 0}, {1, 0, 4, 1, 0.8f, 0}};
    EXPECT_EQ(rawPostprocessorNms(boxes, 0.75f, false).size(), 2u);
    EXPECT_EQ(rawPostprocessorNms(boxes, 0.74f, false).size(), 1u);
}

TEST(Nms, DegenerateBoxesHaveNoOverlap) {
    const std::vector<RawDetectionBox> boxes = {{5, 5, 5, 5, 0.9f, 0}, {5, 5, 5, 5, 0.8f, 0}};
    EXPECT_EQ(rawPostprocessorNms(boxes, 0.0f, false).size(), 2u);
}

TEST(Nms, EqualScoresKeepInputOrder) {
    const std::vector<RawDetectionBox> boxes = {
        {0, 0, 1, 1, 0.5f, 3}, {10, 10, 11, 11, 0.5f, 1}, {20, 20, 21, 21, 0.5f, 2}};
    expectRowsEqual(asRows(rawPostprocessorNms(boxes, 0.5f, false)), asRows(boxes));
}

TEST(Nms, NanScoresAreDropped) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<RawDetectionBox> boxes = {
        {0, 0, 1, 1, nan, 0}, {0, 0, 1, 1, 0.5f, 0}, {3, 3, 4, 4, nan, 0}};
    expectRowsEqual(asRows(rawPostprocessorNms(boxes, 0.5f, false)), {{0, 0, 1, 1, 0.5f, 0}});
}

TEST(Nms, EmptyInputGivesEmptyResult) {
    EXPECT_TRUE(rawPostprocessorNms({}, 0.5f, false).empty());
}

TEST(Nms, MatchesTheReferenceOnRandomBoxes) {
    const float thresholds[] = {0.0f, 0.3f, 0.45f, 0.7f, 1.0f};
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        const std::vector<RawDetectionBox> boxes =
            randomBoxes(seed * 150, 1 + static_cast<int>(seed % 4), seed);
        for (float threshold : thresholds) {
            for (bool agnostic : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << "seed " << seed << " threshold " << threshold << " agnostic " << agnostic);
                expectRowsEqual(asRows(rawPostprocessorNms(boxes, threshold, agnostic)),
                                reference::nms(asRows(boxes), threshold, agnostic));
            }
        }
    }
}

TEST(XyxyscOutput, CopiesRowsAndStampsTheRequestId) {
    const float rows[] = {1, 2, 3, 4, 0.5f, 7, 5, 6, 7, 8, 0.25f, 0};
    TensorsPtr set = rawPostprocessorMakeXyxyscOutput(rows, 2, 99);
    EXPECT_EQ(set->id, 99);
    expectRowsEqual(decodedRows(set.get()), {{1, 2, 3, 4, 0.5f, 7}, {5, 6, 7, 8, 0.25f, 0}});
}

TEST(XyxyscOutput, NoRowsGivesNoTensor) {
    const float rows[] = {1, 2, 3, 4, 0.5f, 7};
    TensorsPtr set = rawPostprocessorMakeXyxyscOutput(rows, 0, 5);
    EXPECT_EQ(set->count, 0);
    EXPECT_EQ(set->id, 5);
}

}  // namespace
