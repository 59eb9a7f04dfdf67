#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "corvane/raw_postprocessors/efficientdet_postprocessor.h"
#include "corvane/raw_postprocessors/nanodet_postprocessor.h"
#include "corvane/raw_postprocessors/rfdetr_postprocessor.h"
#include "corvane/raw_postprocessors/rtdetr_postprocessor.h"
#include "corvane/raw_postprocessors/ssd_postprocessor.h"
#include "corvane/raw_postprocessors/yolo26_postprocessor.h"
#include "corvane/raw_postprocessors/yolo8_deepx_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_anchor_based_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_anchor_free_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_nas_postprocessor.h"
#include "decoder_test_support.h"

namespace {

std::vector<float> zeros(size_t count) {
    return std::vector<float>(count, 0.0f);
}

std::vector<TensorSpec> deepxMaps(int classes) {
    std::vector<TensorSpec> specs;
    for (int side : {4, 2, 1}) {
        const size_t plane = static_cast<size_t>(side) * side;
        std::vector<float> scores = zeros(classes * plane);
        scores[0] = 0.9f;
        specs.push_back(floatTensor("reg", {1, 64, side, side}, zeros(64 * plane)));
        specs.push_back(floatTensor("cls", {1, classes, side, side}, scores));
    }
    return specs;
}

std::vector<TensorSpec> nanoDetMaps(int classes) {
    std::vector<float> scores = zeros(4 * static_cast<size_t>(classes));
    scores[0] = 0.9f;
    return {floatTensor("cls", {1, 4, classes}, scores), floatTensor("dis", {1, 4, 32}, zeros(128)),
            floatTensor("cls", {1, 1, classes}, zeros(classes)), floatTensor("dis", {1, 1, 32}, zeros(32))};
}

struct Family {
    const char* tag;
    std::vector<TensorSpec> valid;
    std::function<TensorsPtr(const Tensors*)> decode;
};

std::vector<Family> families() {
    std::vector<float> nanoSingle = zeros(2100 * 33);
    nanoSingle[0] = 0.9f;
    return {
        {"AnchorFreeYolo",
         {floatTensor("output0", {1, 6, 2}, {10, 20, 10, 20, 4, 4, 4, 4, 0.9f, 0.1f, 0.1f, 0.8f})},
         [](const Tensors* raw) { return decodeAnchorFreeYoloOutput(raw, 0.25f, 0.45f); }},
        {"AnchorBasedYolo",
         {floatTensor("output0", {1, 2, 7}, {10, 10, 4, 4, 1, 0.9f, 0, 20, 20, 4, 4, 1, 0, 0.9f})},
         [](const Tensors* raw) { return decodeAnchorBasedYoloOutput(raw, 0.25f, 0.45f); }},
        {"YOLO26",
         {floatTensor("output0", {1, 2, 6}, {1, 1, 5, 5, 0.9f, 3, 2, 2, 6, 6, 0.1f, 1})},
         [](const Tensors* raw) { return decodeYolo26Output(raw, 0.25f); }},
        {"YOLO-NAS",
         {floatTensor("pred_boxes", {1, 2, 4}, {1, 1, 5, 5, 10, 10, 15, 15}),
          floatTensor("pred_scores", {1, 2, 3}, {0.9f, 0, 0, 0, 0.8f, 0})},
         [](const Tensors* raw) { return decodeYoloNasOutput(raw, 0.25f, 0.45f); }},
        {"YOLOv8-DeepX", deepxMaps(2),
         [](const Tensors* raw) { return decodeYolo8DeepxOutput(raw, 0.25f, 0.45f); }},
        {"SSD",
         {floatTensor("boxes", {1, 2, 4}, {0, 0, 0.5f, 0.5f, 0.5f, 0.5f, 1, 1}),
          floatTensor("scores", {1, 2, 3}, {0, 0.9f, 0, 0, 0, 0.8f})},
         [](const Tensors* raw) { return decodeSsdOutput(raw, 0.25f, 0.45f, 300, 300); }},
        {"NanoDet",
         {floatTensor("output", {1, 2100, 33}, nanoSingle)},
         [](const Tensors* raw) { return decodeNanoDetOutput(raw, 0.25f, 0.45f); }},
        {"NanoDet", nanoDetMaps(33),
         [](const Tensors* raw) { return decodeNanoDetOutput(raw, 0.25f, 0.45f); }},
        {"EfficientDet",
         {floatTensor("detection_boxes", {1, 2, 4}, {0, 0, 0.5f, 0.5f, 0.5f, 0.5f, 1, 1}),
          floatTensor("detection_scores", {1, 2}, {0.9f, 0.8f}),
          floatTensor("detection_classes", {1, 2}, {1, 3}), floatTensor("num_detections", {1}, {2})},
         [](const Tensors* raw) { return decodeEfficientDetOutput(raw, 0.25f, 300, 300); }},
        {"RT-DETR",
         {floatTensor("pred_logits", {1, 2, 3}, {5, 0, 0, 0, 0, 5}),
          floatTensor("pred_boxes", {1, 2, 4}, {0.5f, 0.5f, 0.1f, 0.1f, 0.2f, 0.2f, 0.1f, 0.1f})},
         [](const Tensors* raw) { return decodeRtDetrOutput(raw, 0.25f, 300, 300); }},
        {"RF-DETR",
         {floatTensor("scores", {1, 2}, {0.9f, 0.8f}),
          floatTensor("boxes", {1, 2, 4}, {0, 0, 0.5f, 0.5f, 0.5f, 0.5f, 1, 1}),
          int64Tensor("labels", {1, 2}, {1, 7})},
         [](const Tensors* raw) { return decodeRfDetrOutput(raw, 0.25f, 300, 300); }},
    };
}

void replaceData(Tensor& entry, uint64_t size) {
    void* data = std::malloc(size == 0 ? 1 : size);
    std::memcpy(data, entry.data, std::min(size, entry.size));
    if (size > entry.size) {
        std::memset(static_cast<char*>(data) + entry.size, 0, size - entry.size);
    }
    std::free(entry.data);
    entry.data = data;
    entry.size = size;
}

enum class Fault { ShortData, LongData, NullData, ZeroDimension, NegativeDimension, NullShape, NegativeRank };

struct FaultCase {
    const char* what;
    Fault fault;
};

// Data buffers are reallocated to their declared size, so a read past it is a real overrun that the
// sanitizer builds report.
void inject(Tensor& entry, Fault fault) {
    switch (fault) {
        case Fault::ShortData:
            replaceData(entry, entry.size - get_type_size(entry.type));
            break;
        case Fault::LongData:
            replaceData(entry, entry.size + get_type_size(entry.type));
            break;
        case Fault::NullData:
            std::free(entry.data);
            entry.data = nullptr;
            break;
        case Fault::ZeroDimension:
            entry.shape[entry.rank - 1] = 0;
            break;
        case Fault::NegativeDimension:
            entry.shape[0] = -entry.shape[0];
            break;
        case Fault::NullShape:
            std::free(entry.shape);
            entry.shape = nullptr;
            break;
        case Fault::NegativeRank:
            entry.rank = -entry.rank;
            break;
    }
}

TEST(MalformedInput, ValidSetsDecode) {
    for (const Family& family : families()) {
        TensorsPtr set = makeSet(family.valid);
        EXPECT_FALSE(decodedRows(family.decode(set.get()).get()).empty()) << family.tag;
    }
}

TEST(MalformedInput, EveryFaultInEveryTensorIsRefusedWithAWarning) {
    const FaultCase faults[] = {
        {"data one element short", Fault::ShortData},
        {"data one element long", Fault::LongData},
        {"null data", Fault::NullData},
        {"zero dimension", Fault::ZeroDimension},
        {"negative dimension", Fault::NegativeDimension},
        {"null shape", Fault::NullShape},
        {"negative rank", Fault::NegativeRank},
    };
    for (const Family& family : families()) {
        for (size_t target = 0; target < family.valid.size(); ++target) {
            for (const FaultCase& fault : faults) {
                SCOPED_TRACE(testing::Message() << family.tag << ", tensor " << target << ", " << fault.what);
                TensorsPtr set = makeSet(family.valid);
                inject(set->tensors[target], fault.fault);
                LogCapture log;
                TensorsPtr decoded = family.decode(set.get());
                EXPECT_EQ(decoded->count, 0);
                EXPECT_EQ(decoded->id, kRequestId);
                EXPECT_NE(log.text().find(std::string("[") + family.tag + "] "), std::string::npos)
                    << log.text();
            }
        }
    }
}

TEST(MalformedInput, BrokenSetHeadersGiveEmptyOutputs) {
    Tensor entry{};
    const Tensors withoutArray{9, 2, nullptr};
    const Tensors negativeCount{9, -1, &entry};
    for (const Family& family : families()) {
        for (const Tensors* raw : {static_cast<const Tensors*>(nullptr), &withoutArray, &negativeCount}) {
            TensorsPtr decoded = family.decode(raw);
            ASSERT_NE(decoded, nullptr) << family.tag;
            EXPECT_EQ(decoded->count, 0) << family.tag;
        }
    }
}

TEST(MalformedInput, AbsurdClassCountsAreRefused) {
    const int classes = 5000;
    struct Case {
        const char* tag;
        std::vector<TensorSpec> specs;
        std::function<TensorsPtr(const Tensors*)> decode;
    };
    const Case cases[] = {
        {"AnchorFreeYolo",
         {floatTensor("output0", {1, classes + 4, 1}, zeros(classes + 4))},
         [](const Tensors* raw) { return decodeAnchorFreeYoloOutput(raw, 0.25f, 0.45f); }},
        {"AnchorBasedYolo",
         {floatTensor("output0", {1, 1, classes + 5}, zeros(classes + 5))},
         [](const Tensors* raw) { return decodeAnchorBasedYoloOutput(raw, 0.25f, 0.45f); }},
        {"YOLO-NAS",
         {floatTensor("boxes", {1, 1, 4}, zeros(4)), floatTensor("scores", {1, 1, classes}, zeros(classes))},
         [](const Tensors* raw) { return decodeYoloNasOutput(raw, 0.25f, 0.45f); }},
        {"YOLOv8-DeepX", deepxMaps(classes),
         [](const Tensors* raw) { return decodeYolo8DeepxOutput(raw, 0.25f, 0.45f); }},
        {"SSD",
         {floatTensor("boxes", {1, 1, 4}, zeros(4)),
          floatTensor("scores", {1, 1, classes + 1}, zeros(classes + 1))},
         [](const Tensors* raw) { return decodeSsdOutput(raw, 0.25f, 0.45f, 300, 300); }},
        {"NanoDet", nanoDetMaps(classes),
         [](const Tensors* raw) { return decodeNanoDetOutput(raw, 0.25f, 0.45f); }},
        {"RT-DETR",
         {floatTensor("logits", {1, 1, classes}, zeros(classes)), floatTensor("boxes", {1, 1, 4}, zeros(4))},
         [](const Tensors* raw) { return decodeRtDetrOutput(raw, 0.25f, 300, 300); }},
    };
    for (const Case& c : cases) {
        TensorsPtr set = makeSet(c.specs);
        LogCapture log;
        EXPECT_EQ(c.decode(set.get())->count, 0) << c.tag;
        EXPECT_NE(log.text().find(std::string("Warning! [") + c.tag +
                                  "] Class count 5000 is out of range (1 to 4096).\n"),
                  std::string::npos)
            << c.tag << ": " << log.text();
    }
}

// Random shapes, ranks, element types and data sizes on top of every family's valid set: whatever comes
// out must be a well-formed set, and (in sanitizer builds) nothing may be read outside the tensors.
TEST(MalformedInput, RandomCorruptionNeverBreaksADecoder) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> dimension(-2, 9);
    std::uniform_int_distribution<int> rank(0, 4);
    std::uniform_int_distribution<int> type(0, 14);
    std::uniform_int_distribution<int> coin(0, 3);
    for (int round = 0; round < 200; ++round) {
        for (const Family& family : families()) {
            TensorsPtr set = makeSet(family.valid);
            for (int t = 0; t < set->count; ++t) {
                Tensor& entry = set->tensors[t];
                if (coin(rng) == 0) {
                    entry.type = static_cast<TensorElementType>(type(rng));
                }
                if (coin(rng) != 0) {
                    const int newRank = rank(rng);
                    std::free(entry.shape);
                    entry.shape = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * (newRank + 1)));
                    entry.rank = newRank;
                    uint64_t elements = 1;
                    for (int d = 0; d < newRank; ++d) {
                        entry.shape[d] = coin(rng) == 0 ? dimension(rng) : std::abs(dimension(rng)) + 1;
                        elements *= static_cast<uint64_t>(std::max(entry.shape[d], 0));
                    }
                    const uint64_t exact = elements * get_type_size(entry.type);
                    replaceData(entry, coin(rng) == 0 ? exact / 2 : exact);
                }
            }
            TensorsPtr decoded = family.decode(set.get());
            ASSERT_NE(decoded, nullptr);
            ASSERT_TRUE(decoded->count == 0 || decoded->count == 1) << family.tag;
            decodedRows(decoded.get());
        }
    }
}

}  // namespace
