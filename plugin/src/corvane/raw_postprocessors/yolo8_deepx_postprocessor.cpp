#include "corvane/raw_postprocessors/yolo8_deepx_postprocessor.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "corvane/raw_postprocessors/raw_argmax.h"
#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/raw_tensor_input.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kTag = "YOLOv8-DeepX";
constexpr int kExpectedTensors = 6;
constexpr int32_t kRegressionChannels = 64;
constexpr int kBins = 16;
constexpr int32_t kStrides[] = {8, 16, 32};

struct StrideLevel {
    const float* regression;
    const float* classification;
    int32_t classes;
    int32_t height;
    int32_t width;
    int32_t stride;
};

// Softmax-weighted bin index of one box side at one cell; the bins lie a whole plane apart.
float expectedDistance(const float* bins, size_t planeSize) {
    float maximum = bins[0];
    for (int b = 1; b < kBins; ++b) {
        maximum = std::max(maximum, bins[b * planeSize]);
    }
    float weighted = 0.0f;
    float total = 0.0f;
    for (int b = 0; b < kBins; ++b) {
        const float e = std::exp(bins[b * planeSize] - maximum);
        weighted += static_cast<float>(b) * e;
        total += e;
    }
    return weighted / total;
}

void decodeLevel(const StrideLevel& level, float confidenceThreshold,
                 std::vector<RawDetectionBox>& candidates) {
    const size_t cells = static_cast<size_t>(level.height) * static_cast<size_t>(level.width);
    const auto best = std::make_unique_for_overwrite<float[]>(cells);
    const auto bestClass = std::make_unique_for_overwrite<int32_t[]>(cells);
    rawArgmaxColumns(level.classification, level.classes, cells, 0, cells, confidenceThreshold,
                     rawArgmaxFastestKernel(), best.get(), bestClass.get());
    const float stride = static_cast<float>(level.stride);
    for (int32_t j = 0; j < level.height; ++j) {
        for (int32_t k = 0; k < level.width; ++k) {
            const size_t cell =
                static_cast<size_t>(j) * static_cast<size_t>(level.width) + static_cast<size_t>(k);
            if (bestClass[cell] < 0) {
                continue;
            }
            const float* bins = level.regression + cell;
            const float left = expectedDistance(bins, cells);
            const float top = expectedDistance(bins + kBins * cells, cells);
            const float right = expectedDistance(bins + 2 * kBins * cells, cells);
            const float bottom = expectedDistance(bins + 3 * kBins * cells, cells);
            const float x = static_cast<float>(k) + 0.5f;
            const float y = static_cast<float>(j) + 0.5f;
            candidates.push_back({(x - left) * stride, (y - top) * stride, (x + right) * stride,
                                  (y + bottom) * stride, best[cell], bestClass[cell]});
        }
    }
}

}  // namespace

TensorsPtr decodeYolo8DeepxOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold) {
    const std::span<const Tensor> entries = tensor_entries(raw);
    if (entries.size() != kExpectedTensors) {
        vekai_vlog("Warning! [YOLOv8-DeepX] Expected exactly 6 output tensors (3 reg/cls pairs), got %d.\n",
                   static_cast<int>(entries.size()));
        return rawPostprocessorEmptyOutput(raw);
    }
    std::vector<const Tensor*> regression;
    std::vector<const Tensor*> classification;
    for (const Tensor& entry : entries) {
        const std::span<const int32_t> dims = tensor_dims(entry);
        if (!rawIsFloat(entry) || dims.size() != 4) {
            continue;
        }
        (dims[1] == kRegressionChannels ? regression : classification).push_back(&entry);
    }
    if (regression.size() != 3 || classification.size() != 3) {
        vekai_vlog("Warning! [YOLOv8-DeepX] Could not identify 3 reg + 3 cls tensors (reg=%zu, cls=%zu).\n",
                   regression.size(), classification.size());
        return rawPostprocessorEmptyOutput(raw);
    }
    for (const Tensor* map : regression) {
        if (!rawTensorReadable(*map, kTag, "Regression")) {
            return rawPostprocessorEmptyOutput(raw);
        }
    }
    for (const Tensor* map : classification) {
        if (!rawTensorReadable(*map, kTag, "Classification") || !rawClassCountUsable(map->shape[1], kTag)) {
            return rawPostprocessorEmptyOutput(raw);
        }
    }

    std::vector<StrideLevel> levels;
    for (const Tensor* reg : regression) {
        const int32_t height = reg->shape[2];
        const int32_t width = reg->shape[3];
        const int64_t cells = static_cast<int64_t>(height) * width;
        const auto match =
            std::find_if(classification.begin(), classification.end(), [cells](const Tensor* cls) {
                return static_cast<int64_t>(cls->shape[2]) * cls->shape[3] == cells;
            });
        if (match == classification.end()) {
            vekai_vlog("Warning! [YOLOv8-DeepX] No cls tensor matches reg tensor's spatial size (%dx%d).\n",
                       height, width);
            return rawPostprocessorEmptyOutput(raw);
        }
        levels.push_back({static_cast<const float*>(reg->data), static_cast<const float*>((*match)->data),
                          (*match)->shape[1], height, width, 0});
    }
    std::stable_sort(levels.begin(), levels.end(),
                     [](const StrideLevel& a, const StrideLevel& b) { return a.height > b.height; });
    for (size_t i = 0; i < levels.size(); ++i) {
        levels[i].stride = kStrides[i];
    }

    size_t cells = 0;
    for (const StrideLevel& level : levels) {
        cells += static_cast<size_t>(level.height) * static_cast<size_t>(level.width);
    }
    std::vector<RawDetectionBox> candidates;
    candidates.reserve(cells);
    for (const StrideLevel& level : levels) {
        decodeLevel(level, confidenceThreshold, candidates);
    }
    const std::vector<RawDetectionBox> detections =
        rawPostprocessorNms(std::move(candidates), iouThreshold, true);
    vekai_vlog_verbose("[YOLOv8-DeepX] %d detections after NMS.\n", static_cast<int>(detections.size()));
    return rawPostprocessorBoxesOutput(detections, raw->id);
}
