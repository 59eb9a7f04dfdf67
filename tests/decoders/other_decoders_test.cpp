#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>

#include "corvane/raw_postprocessors/efficientdet_postprocessor.h"
#include "corvane/raw_postprocessors/nanodet_postprocessor.h"
#include "corvane/raw_postprocessors/rfdetr_postprocessor.h"
#include "corvane/raw_postprocessors/rtdetr_postprocessor.h"
#include "corvane/raw_postprocessors/ssd_postprocessor.h"
#include "decoder_test_support.h"
#include "synthetic_outputs.h"

namespace {

bool logged(LogCapture& log, const std::string& line) {
    return log.text().find(line) != std::string::npos;
}

struct RefusalCase {
    const char* what;
    std::vector<TensorSpec> specs;
    const char* line;
};

void expectRefusals(const std::vector<RefusalCase>& cases,
                    const std::function<TensorsPtr(const Tensors*)>& decode) {
    for (const RefusalCase& c : cases) {
        TensorsPtr set = makeSet(c.specs);
        LogCapture log;
        TensorsPtr decoded = decode(set.get());
        EXPECT_EQ(decoded->count, 0) << c.what;
        EXPECT_EQ(decoded->id, kRequestId) << c.what;
        EXPECT_TRUE(logged(log, c.line)) << c.what << ": " << log.text();
    }
}

// Normalised ymin, xmin, ymax, xmax boxes.
std::vector<float> cornerFractions(int count, uint32_t seed, bool yFirst) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> start(0.0f, 0.8f);
    std::uniform_real_distribution<float> size(0.01f, 0.2f);
    std::vector<float> boxes;
    for (int i = 0; i < count; ++i) {
        const float x = start(rng);
        const float y = start(rng);
        const float w = size(rng);
        const float h = size(rng);
        if (yFirst) {
            boxes.insert(boxes.end(), {y, x, y + h, x + w});
        } else {
            boxes.insert(boxes.end(), {x, y, x + w, y + h});
        }
    }
    return boxes;
}

// Scores in [0, 0.3) with about one row in ten given a confident class.
std::vector<float> sparseScores(int rows, int columns, uint32_t seed) {
    std::vector<float> scores = uniformValues(static_cast<size_t>(rows) * columns, 0.0f, 0.3f, seed);
    std::mt19937 rng(seed + 7);
    std::uniform_int_distribution<int> column(0, columns - 1);
    std::uniform_real_distribution<float> confident(0.4f, 1.0f);
    for (int row = 0; row < rows; row += 10) {
        scores[static_cast<size_t>(row) * columns + column(rng)] = confident(rng);
    }
    return scores;
}

// ---- SSD

TEST(Ssd, MatchesTheReferenceUnderEveryTensorName) {
    const int count = 1917;
    const int columns = 91;
    const std::vector<float> boxes = cornerFractions(count, 3, true);
    const std::vector<float> scores = sparseScores(count, columns, 4);
    const reference::Rows expected =
        reference::ssd(boxes.data(), scores.data(), count, columns, 0.4f, 0.45f, 300, 200);
    ASSERT_FALSE(expected.empty());
    const std::vector<std::vector<TensorSpec>> layouts = {
        {floatTensor("detection_boxes", {1, count, 4}, boxes),
         floatTensor("detection_scores", {1, count, columns}, scores)},
        {floatTensor("class_predictions", {count, columns}, scores),
         floatTensor("raw_box_encodings", {count, 4}, boxes)},
    };
    for (const auto& layout : layouts) {
        TensorsPtr set = makeSet(layout);
        expectRowsEqual(decodedRows(decodeSsdOutput(set.get(), 0.4f, 0.45f, 300, 200).get()), expected);
    }
}

TEST(Ssd, BackgroundColumnIsNeverAClass) {
    std::vector<float> scores(3 * 91, 0.0f);
    scores[0 * 91 + 90] = 0.9f;  // last column: class 89
    scores[1 * 91 + 1] = 0.8f;   // first class column: class 0
    scores[2 * 91 + 0] = 0.95f;  // background only
    const std::vector<float> boxes = {0.0f, 0.0f, 0.1f, 0.1f, 0.5f, 0.5f, 0.6f, 0.6f, 0.2f, 0.2f, 0.3f, 0.3f};
    TensorsPtr set = makeSet({floatTensor("boxes", {3, 4}, boxes), floatTensor("scores", {3, 91}, scores)});
    const reference::Rows rows = decodedRows(decodeSsdOutput(set.get(), 0.5f, 0.45f, 100, 100).get());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][5], 89.0f);
    EXPECT_EQ(rows[1][5], 0.0f);
    // With a threshold of 0 the background-only row becomes class 0 with score 0.
    const reference::Rows all = decodedRows(decodeSsdOutput(set.get(), 0.0f, 0.45f, 100, 100).get());
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2][4], 0.0f);
    EXPECT_EQ(all[2][5], 0.0f);
}

TEST(Ssd, RefusalsAreLogged) {
    const TensorSpec boxes = floatTensor("boxes", {1, 4}, {0, 0, 1, 1});
    const TensorSpec scores = floatTensor("scores", {1, 2}, {0, 1});
    expectRefusals(
        {
            {"empty", {}, "Warning! [SSD] Could not locate required tensors (boxes=-1, scores=-1).\n"},
            {"no scores",
             {boxes},
             "Warning! [SSD] Could not locate required tensors (boxes=0, scores=-1).\n"},
            {"int boxes",
             {int32Tensor("boxes", {1, 4}, {0, 0, 1, 1}), scores},
             "Warning! [SSD] boxes or scores tensor is not FLOAT.\n"},
            {"boxes rank 1",
             {floatTensor("boxes", {4}, {0, 0, 1, 1}), scores},
             "Warning! [SSD] Unexpected boxes rank 1.\n"},
            {"scores batch 2",
             {boxes, floatTensor("scores", {2, 1, 2}, {0, 1, 0, 1})},
             "Warning! [SSD] Unexpected scores rank 3.\n"},
            {"one column",
             {boxes, floatTensor("scores", {1, 1}, {1})},
             "Warning! [SSD] Need at least 2 score columns (background + 1 class), got 1.\n"},
            {"narrow boxes",
             {floatTensor("boxes", {2, 2}, {0, 0, 1, 1}), floatTensor("scores", {2, 2}, {0, 1, 0, 1})},
             "Warning! [SSD] Boxes tensor 'boxes' holds 4 values, 8 needed.\n"},
        },
        [](const Tensors* raw) { return decodeSsdOutput(raw, 0.25f, 0.45f, 300, 300); });
}

TEST(Ssd, WithoutImageSizeRefusesEvenValidTensors) {
    TensorsPtr set =
        makeSet({floatTensor("boxes", {1, 4}, {0, 0, 1, 1}), floatTensor("scores", {1, 2}, {0, 1})});
    for (const auto& [width, height] : {std::pair{0, 300}, std::pair{300, 0}, std::pair{-1, -1}}) {
        LogCapture log;
        EXPECT_EQ(decodeSsdOutput(set.get(), 0.25f, 0.45f, width, height)->count, 0);
        EXPECT_TRUE(
            logged(log,
                   "Warning! [SSD] image_width and image_height must be set to scale normalized coordinates "
                   "to model input pixel space.\n"));
    }
}

// ---- NanoDet

// Cell scores in [0, 1) except a few confident ones; bins anywhere.
std::vector<float> nanoRows(int cells, int classes, int rowSize, uint32_t seed) {
    std::vector<float> rows = uniformValues(static_cast<size_t>(cells) * rowSize, -2.0f, 2.0f, seed);
    std::vector<float> scores = sparseScores(cells, classes, seed + 1);
    for (int cell = 0; cell < cells; ++cell) {
        for (int c = 0; c < classes; ++c) {
            rows[static_cast<size_t>(cell) * rowSize + c] = scores[static_cast<size_t>(cell) * classes + c];
        }
    }
    return rows;
}

TEST(NanoDet, SingleTensorDecodesLevelAfterLevel) {
    const std::vector<float> data = nanoRows(2100, 80, 112, 9);
    TensorsPtr set = makeSet({floatTensor("output", {1, 2100, 112}, data)});
    const reference::Rows expected =
        reference::nanoDet({{data.data(), 80, 112, data.data() + 80, 112, 40, 8},
                            {data.data() + 1600 * 112, 80, 112, data.data() + 1600 * 112 + 80, 112, 20, 16},
                            {data.data() + 2000 * 112, 80, 112, data.data() + 2000 * 112 + 80, 112, 10, 32}},
                           0.4f, 0.45f);
    ASSERT_FALSE(expected.empty());
    expectRowsEqual(decodedRows(decodeNanoDetOutput(set.get(), 0.4f, 0.45f).get()), expected, 1e-3f);
}

TEST(NanoDet, SeparateMapsGetStridesByAnchorCountInAnyOrder) {
    const int sides[] = {40, 20, 10};
    std::vector<std::vector<float>> classMaps;
    std::vector<std::vector<float>> distanceMaps;
    std::vector<reference::NanoDetLevel> levels;
    for (int i = 0; i < 3; ++i) {
        classMaps.push_back(sparseScores(sides[i] * sides[i], 80, 20 + i));
        distanceMaps.push_back(
            uniformValues(static_cast<size_t>(sides[i]) * sides[i] * 32, -2.0f, 2.0f, 30 + i));
    }
    for (int i = 0; i < 3; ++i) {
        levels.push_back({classMaps[i].data(), 80, 80, distanceMaps[i].data(), 32, sides[i], 8 << i});
    }
    const reference::Rows expected = reference::nanoDet(levels, 0.4f, 0.45f);
    ASSERT_FALSE(expected.empty());
    auto cls = [&](int i) { return floatTensor("cls", {1, sides[i] * sides[i], 80}, classMaps[i]); };
    auto dist = [&](int i) { return floatTensor("dis", {1, sides[i] * sides[i], 32}, distanceMaps[i]); };
    const std::vector<std::vector<TensorSpec>> orders = {
        {cls(0), dist(0), cls(1), dist(1), cls(2), dist(2)},
        {dist(2), cls(1), dist(0), cls(2), dist(1), cls(0)},
    };
    for (const auto& order : orders) {
        TensorsPtr set = makeSet(order);
        expectRowsEqual(decodedRows(decodeNanoDetOutput(set.get(), 0.4f, 0.45f).get()), expected, 1e-3f);
    }
}

TEST(NanoDet, OneSampledScoreOutsideZeroToOneMakesTheLevelLogits) {
    std::vector<float> large(4 * 33, 0.0f);
    large[0] = 0.6f;  // cell 0, class 0
    const std::vector<float> small(33, 0.0f);
    auto decode = [&](const std::vector<float>& levelScores) {
        TensorsPtr set = makeSet(
            {floatTensor("c", {1, 4, 33}, levelScores), floatTensor("d", {1, 4, 32}, std::vector<float>(128)),
             floatTensor("c", {1, 1, 33}, small), floatTensor("d", {1, 1, 32}, std::vector<float>(32))});
        return decodedRows(decodeNanoDetOutput(set.get(), 0.6f, 0.45f).get());
    };
    const reference::Rows probabilities = decode(large);
    ASSERT_EQ(probabilities.size(), 1u);
    EXPECT_EQ(probabilities[0][4], 0.6f);

    large[1 * 33 + 5] = 1.5f;  // cell 1, class 5
    const reference::Rows logits = decode(large);
    ASSERT_EQ(logits.size(), 2u);
    EXPECT_FLOAT_EQ(logits[0][4], 1.0f / (1.0f + std::exp(-1.5f)));
    EXPECT_EQ(logits[0][5], 5.0f);
    EXPECT_FLOAT_EQ(logits[1][4], 1.0f / (1.0f + std::exp(-0.6f)));
    EXPECT_EQ(logits[1][5], 0.0f);
}

TEST(NanoDet, RefusalsAreLogged) {
    auto cls = [](int anchors) {
        return floatTensor("c", {1, anchors, 33}, std::vector<float>(anchors * 33));
    };
    auto dist = [](int anchors) {
        return floatTensor("d", {1, anchors, 32}, std::vector<float>(anchors * 32));
    };
    expectRefusals(
        {
            {"empty", {}, "Warning! [NanoDet] No input tensors.\n"},
            {"format A int",
             {int32Tensor("o", {1}, {1})},
             "Warning! [NanoDet] Format A tensor is not FLOAT.\n"},
            {"format A rank 4",
             {floatTensor("o", {1, 1, 1, 33}, std::vector<float>(33))},
             "Warning! [NanoDet] Format A: unexpected rank 4.\n"},
            {"format A 32 columns",
             {floatTensor("o", {1, 2100, 32}, std::vector<float>(2100 * 32))},
             "Warning! [NanoDet] Format A: last_dim 32 too small.\n"},
            {"format A 2101 anchors",
             {floatTensor("o", {1, 2101, 112}, std::vector<float>(2101 * 112))},
             "Warning! [NanoDet] Format A: cannot match N=2101 to a known input-size/stride "
             "configuration.\n"},
            {"format B without distances",
             {cls(4), cls(1)},
             "Warning! [NanoDet] Format B: no matching cls/dist tensor pairs found.\n"},
            {"format B narrow maps only",
             {floatTensor("x", {1, 4, 31}, std::vector<float>(124)), dist(4)},
             "Warning! [NanoDet] Format B: no matching cls/dist tensor pairs found.\n"},
            {"format B unpaired",
             {cls(4), dist(4), cls(1), dist(9)},
             "Warning! [NanoDet] Format B: no dist tensor for num_anchors=1.\n"},
            {"format B one level",
             {cls(4), dist(4)},
             "Warning! [NanoDet] Format B: need at least 2 stride levels.\n"},
            {"format B not square",
             {cls(4), dist(4), cls(3), dist(3)},
             "Warning! [NanoDet] Format B: num_anchors=3 is not a perfect square.\n"},
        },
        [](const Tensors* raw) { return decodeNanoDetOutput(raw, 0.25f, 0.45f); });
}

// ---- EfficientDet

TEST(EfficientDet, CountValueLimitsTheRowsAndClassesStartAtOne) {
    std::vector<float> classes(100, 18.0f);
    classes[0] = 1.0f;
    classes[1] = 0.0f;
    classes[2] = 2.9f;
    const std::vector<float> boxes = cornerFractions(100, 5, true);
    TensorsPtr set = makeSet({floatTensor("detection_boxes", {1, 100, 4}, boxes),
                              floatTensor("detection_scores", {1, 100}, std::vector<float>(100, 0.9f)),
                              floatTensor("detection_classes", {1, 100}, classes),
                              floatTensor("num_detections", {1}, {7.9f})});
    const reference::Rows rows = decodedRows(decodeEfficientDetOutput(set.get(), 0.5f, 512, 256).get());
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[0][5], 0.0f);
    EXPECT_EQ(rows[1][5], 0.0f);
    EXPECT_EQ(rows[2][5], 1.0f);
    EXPECT_EQ(rows[3][5], 17.0f);
    EXPECT_EQ(rows[0][0], boxes[1] * 512);
    EXPECT_EQ(rows[0][1], boxes[0] * 256);
}

TEST(EfficientDet, MatchesTheReference) {
    const int count = 100;
    const std::vector<float> boxes = cornerFractions(count, 8, true);
    const std::vector<float> scores = uniformValues(count, 0.0f, 1.0f, 9);
    const std::vector<float> classes = uniformValues(count, 0.0f, 90.0f, 10);
    const reference::Rows expected =
        reference::efficientDet(boxes.data(), scores.data(), classes.data(), count, 0.5f, 640, 480);
    ASSERT_FALSE(expected.empty());
    for (const char* countName : {"num_det", "something"}) {
        TensorsPtr set =
            makeSet({floatTensor("scores", {count}, scores), floatTensor("boxes", {count, 4}, boxes),
                     floatTensor("classes", {count}, classes), floatTensor(countName, {1}, {250.0f})});
        expectRowsEqual(decodedRows(decodeEfficientDetOutput(set.get(), 0.5f, 640, 480).get()), expected);
    }
}

TEST(EfficientDet, RefusalsAreLogged) {
    const TensorSpec boxes = floatTensor("boxes", {2, 4}, std::vector<float>(8));
    const TensorSpec scores = floatTensor("scores", {2}, {0.9f, 0.9f});
    const TensorSpec classes = floatTensor("classes", {2}, {1, 2});
    expectRefusals(
        {
            {"missing classes",
             {boxes, scores},
             "Warning! [EfficientDet] Could not locate required tensors (boxes=0, scores=1, classes=-1).\n"},
            {"int classes",
             {boxes, scores, int32Tensor("classes", {2}, {1, 2})},
             "Warning! [EfficientDet] One or more tensors are not FLOAT.\n"},
            {"scores rank 3",
             {boxes, floatTensor("scores", {1, 1, 2}, {0.9f, 0.9f}), classes},
             "Warning! [EfficientDet] Unexpected scores rank 3.\n"},
            {"negative count",
             {boxes, scores, classes, floatTensor("num_detections", {1}, {-1.0f})},
             "Warning! [EfficientDet] Invalid detection count -1.\n"},
            {"nan count",
             {boxes, scores, classes, floatTensor("num_detections", {1}, {NAN})},
             "Warning! [EfficientDet] Invalid detection count nan.\n"},
            {"short boxes",
             {floatTensor("boxes", {1, 4}, std::vector<float>(4)), scores, classes},
             "Warning! [EfficientDet] Boxes tensor 'boxes' holds 4 values, 8 needed.\n"},
            {"short classes",
             {boxes, scores, floatTensor("classes", {1}, {1})},
             "Warning! [EfficientDet] Classes tensor 'classes' holds 1 values, 2 needed.\n"},
        },
        [](const Tensors* raw) { return decodeEfficientDetOutput(raw, 0.25f, 640, 640); });
}

TEST(EfficientDet, IntegerCountTensorIsIgnored) {
    TensorsPtr set = makeSet({floatTensor("boxes", {2, 4}, std::vector<float>(8)),
                              floatTensor("scores", {2}, {0.9f, 0.9f}), floatTensor("classes", {2}, {1, 2}),
                              int32Tensor("num_detections", {1}, {1})});
    EXPECT_EQ(decodedRows(decodeEfficientDetOutput(set.get(), 0.5f, 10, 10).get()).size(), 2u);
}

// ---- RT-DETR

TEST(RtDetr, KeepsEveryConfidentQueryInQueryOrder) {
    const synthetic::DetrOutput output = synthetic::rtDetrOutput(300, 80, 40, 12);
    const reference::Rows expected =
        reference::rtDetr(output.logits.data(), output.boxes.data(), 300, 80, 0.5f, 640, 640);
    ASSERT_GE(expected.size(), 20u);
    const std::vector<std::vector<TensorSpec>> layouts = {
        {floatTensor("pred_boxes", {1, 300, 4}, output.boxes),
         floatTensor("pred_logits", {1, 300, 80}, output.logits)},
        {floatTensor("logits", {300, 80}, output.logits), floatTensor("boxes", {300, 4}, output.boxes)},
        {floatTensor("a", {1, 300, 80}, output.logits), floatTensor("b", {1, 300, 4}, output.boxes)},
    };
    for (const auto& layout : layouts) {
        TensorsPtr set = makeSet(layout);
        expectRowsEqual(decodedRows(decodeRtDetrOutput(set.get(), 0.5f, 640, 640).get()), expected, 1e-4f);
    }
}

TEST(RtDetr, LastClassColumnCompetes) {
    TensorsPtr set = makeSet({floatTensor("logits", {1, 3}, {0.0f, 1.0f, 4.0f}),
                              floatTensor("boxes", {1, 4}, {0.5f, 0.5f, 0.2f, 0.2f})});
    const reference::Rows rows = decodedRows(decodeRtDetrOutput(set.get(), 0.5f, 100, 100).get());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][5], 2.0f);
}

TEST(RtDetr, ShapeScanReplacesANameMatch) {
    // "boxes" is found by name; the logits are missing, so the scan runs and its later [1, Q, 4] wins.
    TensorsPtr set = makeSet({floatTensor("boxes", {1, 1, 4}, {0.1f, 0.1f, 0.1f, 0.1f}),
                              floatTensor("x", {1, 1, 6}, {9, 0, 0, 0, 0, 0}),
                              floatTensor("y", {1, 1, 4}, {0.5f, 0.5f, 0.2f, 0.2f})});
    const reference::Rows rows = decodedRows(decodeRtDetrOutput(set.get(), 0.5f, 100, 100).get());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_FLOAT_EQ(rows[0][0], 40.0f);
}

TEST(RtDetr, RefusalsAreLogged) {
    expectRefusals(
        {
            {"empty",
             {},
             "[RT-DETR] Could not identify a Format A logits/boxes pair; Format B is not supported.\n"},
            {"logits rank 4",
             {floatTensor("logits", {1, 1, 1, 5}, std::vector<float>(5)),
              floatTensor("boxes", {1, 4}, std::vector<float>(4))},
             "Warning! [RT-DETR] Unexpected logits rank 4.\n"},
            {"int boxes",
             {floatTensor("logits", {1, 5}, std::vector<float>(5)),
              int32Tensor("boxes", {1, 4}, {0, 0, 1, 1})},
             "Warning! [RT-DETR] logits or boxes tensor is not FLOAT.\n"},
            {"short boxes",
             {floatTensor("logits", {2, 5}, std::vector<float>(10)),
              floatTensor("boxes", {1, 4}, std::vector<float>(4))},
             "Warning! [RT-DETR] Boxes tensor 'boxes' holds 4 values, 8 needed.\n"},
        },
        [](const Tensors* raw) { return decodeRtDetrOutput(raw, 0.25f, 640, 640); });
}

// ---- RF-DETR

TEST(RfDetr, LabelsAreReadInTheirOwnType) {
    const int count = 300;
    const std::vector<float> scores = uniformValues(count, 0.0f, 1.0f, 13);
    const std::vector<float> boxes = cornerFractions(count, 14, false);
    std::vector<int64_t> labels64;
    std::vector<int32_t> labels32;
    std::vector<float> labelsF;
    for (int i = 0; i < count; ++i) {
        labels64.push_back(i % 91);
        labels32.push_back(i % 91);
        labelsF.push_back(static_cast<float>(i % 91));
    }
    const reference::Rows expected =
        reference::rfDetr(scores.data(), boxes.data(), labelsF.data(), count, 0.5f, 576, 432);
    ASSERT_FALSE(expected.empty());
    const std::vector<std::vector<TensorSpec>> layouts = {
        {floatTensor("scores", {1, count}, scores), floatTensor("boxes", {1, count, 4}, boxes),
         int64Tensor("labels", {1, count}, labels64)},
        {int32Tensor("pred_labels", {count}, labels32), floatTensor("score", {count}, scores),
         floatTensor("box", {count, 4}, boxes)},
        {floatTensor("label", {count}, labelsF), floatTensor("scores", {count}, scores),
         floatTensor("pred_boxes", {count, 4}, boxes)},
    };
    for (const auto& layout : layouts) {
        TensorsPtr set = makeSet(layout);
        expectRowsEqual(decodedRows(decodeRfDetrOutput(set.get(), 0.5f, 576, 432).get()), expected);
    }
}

TEST(RfDetr, RefusalsAreLogged) {
    const TensorSpec scores = floatTensor("scores", {2}, {0.9f, 0.9f});
    const TensorSpec boxes = floatTensor("boxes", {2, 4}, std::vector<float>(8));
    const TensorSpec labels = int64Tensor("labels", {2}, {1, 2});
    expectRefusals(
        {
            {"empty",
             {},
             "Warning! [RF-DETR] Could not locate all required tensors (scores=-1, boxes=-1, labels=-1).\n"},
            {"no labels",
             {scores, boxes},
             "Warning! [RF-DETR] Could not locate all required tensors (scores=0, boxes=1, labels=-1).\n"},
            {"int scores",
             {int32Tensor("scores", {2}, {1, 1}), boxes, labels},
             "Warning! [RF-DETR] scores or boxes tensor is not FLOAT.\n"},
            {"uint8 labels",
             {scores, boxes, uint8Tensor("labels", {2}, {1, 2})},
             "Warning! [RF-DETR] Unsupported labels dtype 2.\n"},
            {"scores rank 2 batch 2",
             {floatTensor("scores", {2, 1}, {0.9f, 0.9f}), boxes, labels},
             "Warning! [RF-DETR] Unexpected scores rank 2.\n"},
            {"short labels",
             {scores, boxes, int64Tensor("labels", {1}, {1})},
             "Warning! [RF-DETR] Labels tensor 'labels' holds 1 values, 2 needed.\n"},
        },
        [](const Tensors* raw) { return decodeRfDetrOutput(raw, 0.25f, 640, 640); });
}

// ---- shared rules

TEST(NormalisedDecoders, ImageSizeIsRequired) {
    struct Case {
        const char* tag;
        std::function<TensorsPtr(int, int)> decode;
    };
    TensorsPtr empty = makeSet({});
    const Case cases[] = {
        {"EfficientDet", [&](int w, int h) { return decodeEfficientDetOutput(empty.get(), 0.25f, w, h); }},
        {"RT-DETR", [&](int w, int h) { return decodeRtDetrOutput(empty.get(), 0.25f, w, h); }},
        {"RF-DETR", [&](int w, int h) { return decodeRfDetrOutput(empty.get(), 0.25f, w, h); }},
        {"SSD", [&](int w, int h) { return decodeSsdOutput(empty.get(), 0.25f, 0.45f, w, h); }},
    };
    for (const Case& c : cases) {
        LogCapture log;
        EXPECT_EQ(c.decode(640, 0)->count, 0);
        EXPECT_TRUE(
            logged(log, std::string("Warning! [") + c.tag +
                            "] image_width and image_height must be set to scale normalized coordinates to "
                            "model input pixel space.\n"))
            << c.tag;
    }
}

TEST(NormalisedDecoders, ScoreEqualToTheThresholdIsKeptByAllFive) {
    const float threshold = 0.75f;
    struct Case {
        const char* family;
        std::vector<TensorSpec> specs;
        std::function<TensorsPtr(const Tensors*)> decode;
    };
    std::vector<float> nanoData(2100 * 112, 0.0f);
    nanoData[0] = threshold;
    const Case cases[] = {
        {"SSD",
         {floatTensor("boxes", {1, 4}, {0, 0, 1, 1}), floatTensor("scores", {1, 2}, {0.1f, threshold})},
         [](const Tensors* raw) { return decodeSsdOutput(raw, 0.75f, 0.45f, 10, 10); }},
        {"NanoDet",
         {floatTensor("out", {1, 2100, 112}, nanoData)},
         [](const Tensors* raw) { return decodeNanoDetOutput(raw, 0.75f, 0.45f); }},
        {"EfficientDet",
         {floatTensor("boxes", {1, 4}, {0, 0, 1, 1}), floatTensor("scores", {1}, {threshold}),
          floatTensor("classes", {1}, {1})},
         [](const Tensors* raw) { return decodeEfficientDetOutput(raw, 0.75f, 10, 10); }},
        // Two equal logits give probabilities of exactly 0.5.
        {"RT-DETR",
         {floatTensor("logits", {1, 2}, {1.0f, 1.0f}),
          floatTensor("boxes", {1, 4}, {0.5f, 0.5f, 0.1f, 0.1f})},
         [](const Tensors* raw) { return decodeRtDetrOutput(raw, 0.5f, 10, 10); }},
        {"RF-DETR",
         {floatTensor("scores", {1}, {threshold}), floatTensor("boxes", {1, 4}, {0, 0, 1, 1}),
          int64Tensor("labels", {1}, {4})},
         [](const Tensors* raw) { return decodeRfDetrOutput(raw, 0.75f, 10, 10); }},
    };
    for (const Case& c : cases) {
        TensorsPtr set = makeSet(c.specs);
        EXPECT_EQ(decodedRows(c.decode(set.get()).get()).size(), 1u) << c.family;
    }
}

}  // namespace
