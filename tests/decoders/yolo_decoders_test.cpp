#include <gtest/gtest.h>

#include <random>
#include <string>

#include "corvane/raw_postprocessors/yolo26_postprocessor.h"
#include "corvane/raw_postprocessors/yolo8_deepx_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_anchor_based_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_anchor_free_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_nas_postprocessor.h"
#include "decoder_test_support.h"
#include "synthetic_outputs.h"

namespace {

bool logged(LogCapture& log, const std::string& line) {
    return log.text().find(line) != std::string::npos;
}

// ---- anchor-free (YOLOv8 to YOLO12)

TEST(AnchorFreeYolo, MatchesTheReferenceOnSynthesisedOutputs) {
    struct Case {
        int classes;
        int proposals;
        int hot;
        bool batchDimension;
    };
    const Case cases[] = {{80, 8400, 300, true},
                          {80, 8400, 300, false},
                          {3, 2047, 200, true},
                          {1, 333, 60, true},
                          {80, 8400, 4000, true}};
    uint32_t seed = 11;
    for (const Case& c : cases) {
        const std::vector<float> data = synthetic::anchorFreeOutput(c.classes, c.proposals, c.hot, ++seed);
        std::vector<int32_t> shape = {4 + c.classes, c.proposals};
        if (c.batchDimension) {
            shape.insert(shape.begin(), 1);
        }
        TensorsPtr set = makeSet({floatTensor("output0", shape, data)});
        for (const auto& [confidence, iou] :
             {std::pair{0.25f, 0.45f}, std::pair{0.5f, 0.7f}, std::pair{0.1f, 0.3f}}) {
            SCOPED_TRACE(testing::Message() << c.classes << "x" << c.proposals << " conf " << confidence);
            TensorsPtr decoded = decodeAnchorFreeYoloOutput(set.get(), confidence, iou);
            EXPECT_EQ(decoded->id, kRequestId);
            const reference::Rows expected =
                reference::anchorFreeYolo(data.data(), 4 + c.classes, c.proposals, confidence, iou);
            ASSERT_FALSE(expected.empty());
            expectRowsEqual(decodedRows(decoded.get()), expected);
        }
    }
}

TEST(AnchorFreeYolo, ScoreEqualToTheThresholdIsDropped) {
    // Two proposals, one class: only the one strictly above 0.5 remains.
    const std::vector<float> data = {10, 50, 10, 50, 4, 4, 4, 4, 0.5f, 0.6f};
    TensorsPtr set = makeSet({floatTensor("output0", {1, 5, 2}, data)});
    expectRowsEqual(decodedRows(decodeAnchorFreeYoloOutput(set.get(), 0.5f, 0.45f).get()),
                    {{48, 48, 52, 52, 0.6f, 0}});
}

TEST(AnchorFreeYolo, EqualScoresReportTheLowerClass) {
    const std::vector<float> data = {10, 10, 4, 4, 0.2f, 0.7f, 0.7f};
    TensorsPtr set = makeSet({floatTensor("output0", {1, 7, 1}, data)});
    expectRowsEqual(decodedRows(decodeAnchorFreeYoloOutput(set.get(), 0.25f, 0.45f).get()),
                    {{8, 8, 12, 12, 0.7f, 1}});
}

TEST(AnchorFreeYolo, RowsComeOutInProposalOrder) {
    // Proposal 0 scores lower than proposal 1 and they do not overlap.
    const std::vector<float> data = {10, 100, 10, 100, 4, 4, 4, 4, 0.4f, 0.9f};
    TensorsPtr set = makeSet({floatTensor("output0", {5, 2}, data)});
    expectRowsEqual(decodedRows(decodeAnchorFreeYoloOutput(set.get(), 0.25f, 0.45f).get()),
                    {{8, 8, 12, 12, 0.4f, 0}, {98, 98, 102, 102, 0.9f, 0}});
}

TEST(AnchorFreeYolo, SkipsLeadingTensorsWithoutFloatData) {
    const std::vector<float> data = {10, 10, 4, 4, 0.9f};
    TensorsPtr set = makeSet({int32Tensor("output0", {1}, {3}), floatTensor("output1", {1, 5, 1}, data)});
    expectRowsEqual(decodedRows(decodeAnchorFreeYoloOutput(set.get(), 0.25f, 0.45f).get()),
                    {{8, 8, 12, 12, 0.9f, 0}});
}

TEST(AnchorFreeYolo, RefusalsAreLogged) {
    struct Case {
        const char* what;
        std::vector<TensorSpec> specs;
        const char* line;
    };
    const Case cases[] = {
        {"no float",
         {int32Tensor("output0", {1}, {1})},
         "Warning! [AnchorFreeYolo] No FLOAT tensor found in input.\n"},
        {"rank 1",
         {floatTensor("output0", {5}, std::vector<float>(5))},
         "Warning! [AnchorFreeYolo] Tensor rank 1 is too low.\n"},
        {"four channels",
         {floatTensor("output0", {1, 4, 3}, std::vector<float>(12))},
         "Warning! [AnchorFreeYolo] Too few channels (4), need at least 5 (4 box + 1 class).\n"},
    };
    for (const Case& c : cases) {
        TensorsPtr set = makeSet(c.specs);
        LogCapture log;
        EXPECT_EQ(decodeAnchorFreeYoloOutput(set.get(), 0.25f, 0.45f)->count, 0) << c.what;
        EXPECT_TRUE(logged(log, c.line)) << c.what << ": " << log.text();
    }
}

TEST(AnchorFreeYolo, VerboseLinesCountProposalsCandidatesAndDetections) {
    const std::vector<float> data = {10, 10, 4, 4, 0.9f, 0.1f};
    TensorsPtr set = makeSet({floatTensor("output0", {1, 6, 1}, data)});
    LogCapture log;
    decodeAnchorFreeYoloOutput(set.get(), 0.25f, 0.45f);
    EXPECT_TRUE(logged(log, "[AnchorFreeYolo] Decoding 1 proposals, 2 classes.\n"));
    EXPECT_TRUE(logged(log, "[AnchorFreeYolo] 1 candidates above threshold.\n"));
    EXPECT_TRUE(logged(log, "[AnchorFreeYolo] 1 detections after NMS.\n"));
}

// ---- anchor-based (YOLOv5 to YOLOv7)

TEST(AnchorBasedYolo, MatchesTheReferenceOnSynthesisedOutputs) {
    for (const auto& [classes, anchors] : {std::pair{80, 25200}, std::pair{1, 6300}, std::pair{20, 999}}) {
        const std::vector<float> data =
            synthetic::anchorBasedOutput(classes, anchors, 400, classes + anchors);
        for (bool batch : {true, false}) {
            std::vector<int32_t> shape = {anchors, 5 + classes};
            if (batch) {
                shape.insert(shape.begin(), 1);
            }
            TensorsPtr set = makeSet({floatTensor("output0", shape, data)});
            const reference::Rows expected =
                reference::anchorBasedYolo(data.data(), anchors, 5 + classes, 0.25f, 0.45f);
            ASSERT_FALSE(expected.empty());
            expectRowsEqual(decodedRows(decodeAnchorBasedYoloOutput(set.get(), 0.25f, 0.45f).get()),
                            expected);
        }
    }
}

TEST(AnchorBasedYolo, ScoreEqualToTheThresholdIsKeptAndRowsAreInScoreOrder) {
    // Class score x objectness: 0.5 x 1 = 0.5 (equal to the threshold) and 0.9 x 1.
    const std::vector<float> data = {10, 10, 4, 4, 1.0f, 0.5f, 0.0f, 100, 100, 4, 4, 1.0f, 0.0f, 0.9f};
    TensorsPtr set = makeSet({floatTensor("output0", {1, 2, 7}, data)});
    expectRowsEqual(decodedRows(decodeAnchorBasedYoloOutput(set.get(), 0.5f, 0.45f).get()),
                    {{98, 98, 102, 102, 0.9f, 1}, {8, 8, 12, 12, 0.5f, 0}});
}

TEST(AnchorBasedYolo, PrefersTheTensorNamedOutput) {
    const std::vector<float> decoy = {10, 10, 4, 4, 1, 1};
    const std::vector<float> real = {20, 20, 4, 4, 1, 1};
    TensorsPtr set = makeSet({floatTensor("aux", {1, 1, 6}, decoy), floatTensor("output", {1, 1, 6}, real)});
    expectRowsEqual(decodedRows(decodeAnchorBasedYoloOutput(set.get(), 0.25f, 0.45f).get()),
                    {{18, 18, 22, 22, 1, 0}});
}

TEST(AnchorBasedYolo, RefusalsAreLogged) {
    struct Case {
        const char* what;
        std::vector<TensorSpec> specs;
        const char* line;
    };
    const Case cases[] = {
        {"named output not float",
         {int32Tensor("output0", {1}, {1}), floatTensor("x", {1, 1, 6}, std::vector<float>(6))},
         "Warning! [AnchorBasedYolo] No FLOAT tensor found in input.\n"},
        {"rank 4",
         {floatTensor("output0", {1, 1, 1, 6}, std::vector<float>(6))},
         "Warning! [AnchorBasedYolo] Unexpected tensor rank 4.\n"},
        {"batch of two",
         {floatTensor("output0", {2, 1, 6}, std::vector<float>(12))},
         "Warning! [AnchorBasedYolo] Unexpected tensor rank 3.\n"},
        {"row of five",
         {floatTensor("output0", {1, 2, 5}, std::vector<float>(10))},
         "Warning! [AnchorBasedYolo] Row size 5 too small (need at least 6).\n"},
    };
    for (const Case& c : cases) {
        TensorsPtr set = makeSet(c.specs);
        LogCapture log;
        EXPECT_EQ(decodeAnchorBasedYoloOutput(set.get(), 0.25f, 0.45f)->count, 0) << c.what;
        EXPECT_TRUE(logged(log, c.line)) << c.what << ": " << log.text();
    }
}

// ---- YOLO26 (end-to-end rows)

TEST(Yolo26, KeepsRowsAtOrAboveTheThresholdUnchanged) {
    std::vector<float> data = uniformValues(300 * 6, 0.0f, 0.2f, 26);
    const int strong[] = {3, 17, 18, 100, 150, 222, 299};
    for (int row : strong) {
        data[row * 6 + 4] = 0.5f + row / 1000.0f;
    }
    data[17 * 6 + 4] = 0.5f;  // exactly at the threshold
    TensorsPtr set = makeSet({floatTensor("output0", {1, 300, 6}, data)});
    TensorsPtr decoded = decodeYolo26Output(set.get(), 0.5f);
    ASSERT_EQ(decoded->count, 1);
    EXPECT_EQ(decoded->tensors[0].shape[0], 7);
    const reference::Rows expected = reference::yolo26(data.data(), 300, 0.5f);
    ASSERT_EQ(expected.size(), 7u);
    expectRowsEqual(decodedRows(decoded.get()), expected);
}

TEST(Yolo26, RefusalsAreLogged) {
    struct Case {
        const char* what;
        std::vector<TensorSpec> specs;
        const char* line;
    };
    const Case cases[] = {
        {"no float", {}, "Warning! [YOLO26] No FLOAT tensor found in input.\n"},
        {"rank 1",
         {floatTensor("output0", {6}, std::vector<float>(6))},
         "Warning! [YOLO26] Unexpected tensor rank 1.\n"},
        {"row of 7",
         {floatTensor("output0", {1, 2, 7}, std::vector<float>(14))},
         "Warning! [YOLO26] Expected row size 6, got 7.\n"},
    };
    for (const Case& c : cases) {
        TensorsPtr set = makeSet(c.specs);
        LogCapture log;
        EXPECT_EQ(decodeYolo26Output(set.get(), 0.25f)->count, 0) << c.what;
        EXPECT_TRUE(logged(log, c.line)) << c.what << ": " << log.text();
    }
}

// ---- YOLO-NAS

struct NasOutput {
    std::vector<float> boxes;
    std::vector<float> scores;
};

NasOutput nasOutput(int count, int classes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> position(0.0f, 600.0f);
    std::uniform_real_distribution<float> size(5.0f, 80.0f);
    NasOutput output{{}, uniformValues(static_cast<size_t>(count) * classes, 0.0f, 0.6f, seed + 1)};
    for (int i = 0; i < count; ++i) {
        const float x = position(rng);
        const float y = position(rng);
        output.boxes.insert(output.boxes.end(), {x, y, x + size(rng), y + size(rng)});
    }
    return output;
}

TEST(YoloNas, MatchesTheReferenceFoundByNameOrShape) {
    const NasOutput output = nasOutput(8400, 80, 5);
    const reference::Rows expected =
        reference::yoloNas(output.boxes.data(), output.scores.data(), 8400, 80, 0.598f, 0.45f);
    ASSERT_FALSE(expected.empty());
    const std::vector<std::vector<TensorSpec>> layouts = {
        {floatTensor("pred_scores", {1, 8400, 80}, output.scores),
         floatTensor("pred_boxes", {1, 8400, 4}, output.boxes)},
        {floatTensor("boxes", {8400, 4}, output.boxes), floatTensor("scores", {8400, 80}, output.scores)},
        {floatTensor("a", {1, 8400, 80}, output.scores), floatTensor("b", {1, 8400, 4}, output.boxes)},
        {floatTensor("boxes", {1, 8400, 4}, output.boxes), floatTensor("b", {1, 8400, 80}, output.scores)},
    };
    for (const auto& layout : layouts) {
        TensorsPtr set = makeSet(layout);
        expectRowsEqual(decodedRows(decodeYoloNasOutput(set.get(), 0.598f, 0.45f).get()), expected);
    }
}

TEST(YoloNas, ScoreEqualToTheThresholdIsKept) {
    TensorsPtr set =
        makeSet({floatTensor("boxes", {1, 4}, {1, 2, 3, 4}), floatTensor("scores", {1, 2}, {0.1f, 0.5f})});
    expectRowsEqual(decodedRows(decodeYoloNasOutput(set.get(), 0.5f, 0.45f).get()), {{1, 2, 3, 4, 0.5f, 1}});
}

TEST(YoloNas, RefusalsAreLogged) {
    struct Case {
        const char* what;
        std::vector<TensorSpec> specs;
        const char* line;
    };
    const Case cases[] = {
        {"empty", {}, "Warning! [YOLO-NAS] Could not locate required tensors (boxes=-1, scores=-1).\n"},
        {"boxes only",
         {floatTensor("x", {2}, {0, 0}), floatTensor("pred_boxes", {1, 1, 4}, {1, 2, 3, 4})},
         "Warning! [YOLO-NAS] Could not locate required tensors (boxes=1, scores=-1).\n"},
        {"int scores",
         {floatTensor("boxes", {1, 4}, {1, 2, 3, 4}), int32Tensor("scores", {1, 1}, {1})},
         "Warning! [YOLO-NAS] boxes or scores tensor is not FLOAT.\n"},
        {"boxes rank 1",
         {floatTensor("boxes", {4}, {1, 2, 3, 4}), floatTensor("scores", {1, 1}, {1})},
         "Warning! [YOLO-NAS] Unexpected boxes rank 1.\n"},
        {"boxes of 5",
         {floatTensor("boxes", {1, 5}, {1, 2, 3, 4, 5}), floatTensor("scores", {1, 1}, {1})},
         "Warning! [YOLO-NAS] Unexpected boxes rank 2.\n"},
        {"scores rank 4",
         {floatTensor("boxes", {1, 4}, {1, 2, 3, 4}), floatTensor("scores", {1, 1, 1, 1}, {1})},
         "Warning! [YOLO-NAS] Unexpected scores rank 4.\n"},
        {"fewer score rows",
         {floatTensor("boxes", {2, 4}, std::vector<float>(8)), floatTensor("scores", {1, 3}, {1, 1, 1})},
         "Warning! [YOLO-NAS] Scores tensor 'scores' holds 3 values, 6 needed.\n"},
    };
    for (const Case& c : cases) {
        TensorsPtr set = makeSet(c.specs);
        LogCapture log;
        EXPECT_EQ(decodeYoloNasOutput(set.get(), 0.25f, 0.45f)->count, 0) << c.what;
        EXPECT_TRUE(logged(log, c.line)) << c.what << ": " << log.text();
    }
}

// ---- YOLOv8 split into stride levels

struct DeepxMaps {
    int side;
    std::vector<float> regression;
    std::vector<float> classification;
};

DeepxMaps deepxMaps(int side, int classes, uint32_t seed) {
    const size_t plane = static_cast<size_t>(side) * side;
    DeepxMaps maps{side, uniformValues(64 * plane, -3.0f, 3.0f, seed),
                   uniformValues(static_cast<size_t>(classes) * plane, 0.0f, 0.3f, seed + 1)};
    std::mt19937 rng(seed + 2);
    std::uniform_int_distribution<size_t> cell(0, maps.classification.size() - 1);
    for (size_t i = 0; i < plane / 10 + 1; ++i) {
        maps.classification[cell(rng)] = 0.8f;
    }
    return maps;
}

TEST(Yolo8Deepx, MatchesTheReferenceWhateverTheTensorOrder) {
    const int classes = 80;
    const DeepxMaps large = deepxMaps(80, classes, 1);
    const DeepxMaps medium = deepxMaps(40, classes, 2);
    const DeepxMaps small = deepxMaps(20, classes, 3);
    const reference::Rows expected =
        reference::yolo8Deepx({{large.regression.data(), large.classification.data(), classes, 80, 80, 8},
                               {medium.regression.data(), medium.classification.data(), classes, 40, 40, 16},
                               {small.regression.data(), small.classification.data(), classes, 20, 20, 32}},
                              0.5f, 0.45f);
    ASSERT_FALSE(expected.empty());

    auto reg = [](const DeepxMaps& m) { return floatTensor("reg", {1, 64, m.side, m.side}, m.regression); };
    auto cls = [&](const DeepxMaps& m) {
        return floatTensor("cls", {1, classes, m.side, m.side}, m.classification);
    };
    const std::vector<std::vector<TensorSpec>> orders = {
        {reg(large), cls(large), reg(medium), cls(medium), reg(small), cls(small)},
        {reg(small), cls(small), reg(medium), cls(medium), reg(large), cls(large)},
        {cls(medium), cls(small), cls(large), reg(small), reg(large), reg(medium)},
    };
    for (const auto& order : orders) {
        TensorsPtr set = makeSet(order);
        expectRowsEqual(decodedRows(decodeYolo8DeepxOutput(set.get(), 0.5f, 0.45f).get()), expected, 1e-3f);
    }
}

TEST(Yolo8Deepx, SuppressesAcrossClasses) {
    // The first cells of the two larger levels decode to nested boxes of different classes.
    auto level = [](int side, int cls, float score) {
        const size_t plane = static_cast<size_t>(side) * side;
        std::vector<float> classification(2 * plane, 0.0f);
        classification[cls * plane] = score;
        return std::pair{std::vector<float>(64 * plane, 0.0f), classification};
    };
    const auto [reg1, cls1] = level(4, 0, 0.9f);
    const auto [reg2, cls2] = level(2, 1, 0.8f);
    const auto [reg3, cls3] = level(1, 0, 0.0f);
    TensorsPtr set = makeSet({floatTensor("r", {1, 64, 4, 4}, reg1), floatTensor("c", {1, 2, 4, 4}, cls1),
                              floatTensor("r", {1, 64, 2, 2}, reg2), floatTensor("c", {1, 2, 2, 2}, cls2),
                              floatTensor("r", {1, 64, 1, 1}, reg3), floatTensor("c", {1, 2, 1, 1}, cls3)});
    // Uniform bins put every side 7.5 bins away: stride 8 gives (-56, -56, 64, 64), stride 16 gives
    // (-112, -112, 128, 128); their IoU is 0.25, so at 0.2 the lower-scoring other-class box goes.
    const reference::Rows rows = decodedRows(decodeYolo8DeepxOutput(set.get(), 0.5f, 0.2f).get());
    expectRowsEqual(rows, {{-56, -56, 64, 64, 0.9f, 0}});
    expectRowsEqual(decodedRows(decodeYolo8DeepxOutput(set.get(), 0.5f, 0.3f).get()),
                    {{-56, -56, 64, 64, 0.9f, 0}, {-112, -112, 128, 128, 0.8f, 1}});
}

TEST(Yolo8Deepx, RefusalsAreLogged) {
    auto reg = [](int side) {
        return floatTensor("r", {1, 64, side, side},
                           std::vector<float>(64 * static_cast<size_t>(side) * side));
    };
    auto cls = [](int side) {
        return floatTensor("c", {1, 3, side, side}, std::vector<float>(3 * static_cast<size_t>(side) * side));
    };
    struct Case {
        const char* what;
        std::vector<TensorSpec> specs;
        const char* line;
    };
    const Case cases[] = {
        {"five tensors",
         {reg(4), cls(4), reg(2), cls(2), reg(1)},
         "Warning! [YOLOv8-DeepX] Expected exactly 6 output tensors (3 reg/cls pairs), got 5.\n"},
        {"four regression maps",
         {reg(4), reg(4), reg(2), cls(2), reg(1), cls(1)},
         "Warning! [YOLOv8-DeepX] Could not identify 3 reg + 3 cls tensors (reg=4, cls=2).\n"},
        {"a rank 3 map",
         {reg(4), cls(4), reg(2), cls(2), reg(1), floatTensor("c", {1, 3, 1}, {0, 0, 0})},
         "Warning! [YOLOv8-DeepX] Could not identify 3 reg + 3 cls tensors (reg=3, cls=2).\n"},
        {"no matching size",
         {reg(4), cls(4), reg(2), cls(3), reg(1), cls(1)},
         "Warning! [YOLOv8-DeepX] No cls tensor matches reg tensor's spatial size (2x2).\n"},
    };
    for (const Case& c : cases) {
        TensorsPtr set = makeSet(c.specs);
        LogCapture log;
        EXPECT_EQ(decodeYolo8DeepxOutput(set.get(), 0.25f, 0.45f)->count, 0) << c.what;
        EXPECT_TRUE(logged(log, c.line)) << c.what << ": " << log.text();
    }
}

}  // namespace
