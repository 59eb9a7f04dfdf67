#include "corvane/raw_postprocessors/nanodet_postprocessor.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/raw_tensor_input.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kTag = "NanoDet";
constexpr int32_t kDistanceColumns = 32;
constexpr int kBinsPerSide = 8;
constexpr size_t kReservedCandidates = 256;
constexpr int kScoreSamples = 100;

struct Config {
    int32_t anchors;
    int32_t inputSize;
    int32_t strides[4];
    int levels;
};

constexpr Config kConfigs[] = {
    {2100, 320, {8, 16, 32, 0}, 3},  {3549, 416, {8, 16, 32, 0}, 3},  {5376, 512, {8, 16, 32, 0}, 3},
    {8400, 640, {8, 16, 32, 0}, 3},  {2125, 320, {8, 16, 32, 64}, 4}, {3598, 416, {8, 16, 32, 64}, 4},
    {5440, 512, {8, 16, 32, 64}, 4}, {8500, 640, {8, 16, 32, 64}, 4},
};

struct Level {
    int32_t anchors;
    const float* classes;
    int32_t classCount;
    const float* distances;
    int32_t side;
    int32_t stride;
};

int32_t gridSide(int32_t inputSize, int32_t stride) {
    return (inputSize + stride - 1) / stride;
}

int32_t roundedSquareRoot(int32_t value) {
    return static_cast<int32_t>(std::lround(std::sqrt(static_cast<double>(value))));
}

// Scores outside [0, 1] (with a little slack) in a sample of cells mean the head emits logits.
bool looksLikeLogits(const float* classes, int32_t classCount, size_t classStep, size_t cells) {
    const size_t sampleStep = cells / kScoreSamples >= 2 ? cells / kScoreSamples : 1;
    for (size_t cell = 0; cell < cells; cell += sampleStep) {
        const float* row = classes + cell * classStep;
        for (int32_t c = 0; c < classCount; ++c) {
            if (row[c] < -0.01f || row[c] > 1.01f) {
                return true;
            }
        }
    }
    return false;
}

float sideDistance(const float* bins, float stride) {
    float maximum = bins[0];
    for (int b = 1; b < kBinsPerSide; ++b) {
        maximum = std::max(maximum, bins[b]);
    }
    float e[kBinsPerSide];
    float total = 0.0f;
    for (int b = 0; b < kBinsPerSide; ++b) {
        e[b] = std::exp(bins[b] - maximum);
        total += e[b];
    }
    float expectation = 0.0f;
    for (int b = 0; b < kBinsPerSide; ++b) {
        expectation += static_cast<float>(b) * (e[b] / total);
    }
    return stride * expectation;
}

// One square level of `side` x `side` cells, row-major, each cell `classStep` floats after the previous
// one in the class data and `distanceStep` floats in the distance data.
void decodeLevel(const float* classes, int32_t classCount, size_t classStep, const float* distances,
                 size_t distanceStep, int32_t side, int32_t stride, float confidenceThreshold,
                 std::vector<RawDetectionBox>& candidates) {
    const size_t cells = static_cast<size_t>(side) * static_cast<size_t>(side);
    const bool logits = looksLikeLogits(classes, classCount, classStep, cells);
    const float strideF = static_cast<float>(stride);
    for (int32_t j = 0; j < side; ++j) {
        for (int32_t k = 0; k < side; ++k) {
            const size_t cell = static_cast<size_t>(j) * static_cast<size_t>(side) + static_cast<size_t>(k);
            const float* row = classes + cell * classStep;
            float best = 0.0f;
            int32_t bestClass = 0;
            for (int32_t c = 0; c < classCount; ++c) {
                const float score = logits ? 1.0f / (1.0f + std::exp(-row[c])) : row[c];
                if (score > best) {
                    best = score;
                    bestClass = c;
                }
            }
            if (best < confidenceThreshold) {
                continue;
            }
            const float* bins = distances + cell * distanceStep;
            const float left = sideDistance(bins, strideF);
            const float top = sideDistance(bins + kBinsPerSide, strideF);
            const float right = sideDistance(bins + 2 * kBinsPerSide, strideF);
            const float bottom = sideDistance(bins + 3 * kBinsPerSide, strideF);
            const float cx = (static_cast<float>(k) + 0.5f) * strideF;
            const float cy = (static_cast<float>(j) + 0.5f) * strideF;
            candidates.push_back({cx - left, cy - top, cx + right, cy + bottom, best, bestClass});
        }
    }
}

bool decodeFormatA(const Tensor& tensor, float confidenceThreshold,
                   std::vector<RawDetectionBox>& candidates) {
    if (!rawIsFloat(tensor) || tensor.data == nullptr) {
        vekai_vlog("Warning! [NanoDet] Format A tensor is not FLOAT.\n");
        return false;
    }
    if (!rawTensorReadable(tensor, kTag, "Format A")) {
        return false;
    }
    const auto shape = rawMatrixShape(tensor);
    if (!shape) {
        vekai_vlog("Warning! [NanoDet] Format A: unexpected rank %d.\n", tensor.rank);
        return false;
    }
    const int32_t rowSize = shape->cols;
    if (rowSize <= kDistanceColumns) {
        vekai_vlog("Warning! [NanoDet] Format A: last_dim %d too small.\n", rowSize);
        return false;
    }
    const Config* config = std::find_if(std::begin(kConfigs), std::end(kConfigs),
                                        [&shape](const Config& c) { return c.anchors == shape->rows; });
    if (config == std::end(kConfigs)) {
        vekai_vlog(
            "Warning! [NanoDet] Format A: cannot match N=%d to a known input-size/stride configuration.\n",
            shape->rows);
        return false;
    }
    const int32_t classCount = rowSize - kDistanceColumns;
    if (!rawClassCountUsable(classCount, kTag)) {
        return false;
    }
    const auto* data = static_cast<const float*>(tensor.data);
    size_t firstRow = 0;
    for (int i = 0; i < config->levels; ++i) {
        const int32_t side = gridSide(config->inputSize, config->strides[i]);
        const float* level = data + firstRow * static_cast<size_t>(rowSize);
        decodeLevel(level, classCount, static_cast<size_t>(rowSize), level + classCount,
                    static_cast<size_t>(rowSize), side, config->strides[i], confidenceThreshold, candidates);
        firstRow += static_cast<size_t>(side) * static_cast<size_t>(side);
    }
    return true;
}

bool decodeFormatB(const Tensors* raw, float confidenceThreshold, std::vector<RawDetectionBox>& candidates) {
    std::vector<const Tensor*> classMaps;
    std::vector<const Tensor*> distanceMaps;
    for (const Tensor& entry : tensor_entries(raw)) {
        const auto shape = rawBatchOfOneFloatMatrix(entry);
        if (!shape) {
            continue;
        }
        if (shape->cols == kDistanceColumns) {
            distanceMaps.push_back(&entry);
        } else if (shape->cols > kDistanceColumns) {
            classMaps.push_back(&entry);
        }
    }
    if (classMaps.empty() || distanceMaps.empty()) {
        vekai_vlog("Warning! [NanoDet] Format B: no matching cls/dist tensor pairs found.\n");
        return false;
    }

    std::vector<Level> levels;
    for (const Tensor* classMap : classMaps) {
        const int32_t anchors = classMap->shape[1];
        const auto distanceMap =
            std::find_if(distanceMaps.begin(), distanceMaps.end(),
                         [anchors](const Tensor* map) { return map->shape[1] == anchors; });
        if (distanceMap == distanceMaps.end()) {
            vekai_vlog("Warning! [NanoDet] Format B: no dist tensor for num_anchors=%d.\n", anchors);
            return false;
        }
        if (!rawTensorReadable(*classMap, kTag, "Class map") ||
            !rawTensorReadable(**distanceMap, kTag, "Distance map") ||
            !rawClassCountUsable(classMap->shape[2], kTag)) {
            return false;
        }
        levels.push_back({anchors, static_cast<const float*>(classMap->data), classMap->shape[2],
                          static_cast<const float*>((*distanceMap)->data), 0, 0});
    }
    if (levels.size() < 2) {
        vekai_vlog("Warning! [NanoDet] Format B: need at least 2 stride levels.\n");
        return false;
    }
    std::stable_sort(levels.begin(), levels.end(),
                     [](const Level& a, const Level& b) { return a.anchors > b.anchors; });
    // Every level is checked before any is decoded: one non-square level cancels the whole frame.
    const int32_t largestSide = roundedSquareRoot(levels[0].anchors);
    for (Level& level : levels) {
        level.side = roundedSquareRoot(level.anchors);
        if (static_cast<int64_t>(level.side) * level.side != level.anchors) {
            vekai_vlog("Warning! [NanoDet] Format B: num_anchors=%d is not a perfect square.\n",
                       level.anchors);
            return false;
        }
        level.stride = largestSide * 8 / level.side;
    }
    for (const Level& level : levels) {
        decodeLevel(level.classes, level.classCount, static_cast<size_t>(level.classCount), level.distances,
                    kDistanceColumns, level.side, level.stride, confidenceThreshold, candidates);
    }
    return true;
}

}  // namespace

TensorsPtr decodeNanoDetOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold) {
    const std::span<const Tensor> entries = tensor_entries(raw);
    if (entries.empty()) {
        vekai_vlog("Warning! [NanoDet] No input tensors.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    std::vector<RawDetectionBox> candidates;
    candidates.reserve(kReservedCandidates);
    const bool decoded = entries.size() == 1 ? decodeFormatA(entries[0], confidenceThreshold, candidates)
                                             : decodeFormatB(raw, confidenceThreshold, candidates);
    if (!decoded) {
        return rawPostprocessorEmptyOutput(raw);
    }
    const std::vector<RawDetectionBox> detections =
        rawPostprocessorNms(std::move(candidates), iouThreshold, false);
    vekai_vlog_verbose("[NanoDet] %d detections after NMS.\n", static_cast<int>(detections.size()));
    return rawPostprocessorBoxesOutput(detections, raw->id);
}
