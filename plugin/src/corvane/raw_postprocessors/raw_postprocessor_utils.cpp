#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>

#include "vekai_utilities/vekai_utils.h"

namespace {

// Candidates are tested against kept boxes a block at a time: the block body has no early exit, so
// the compiler can vectorise it, while a hit still ends the scan after at most one block.
constexpr size_t kOverlapBlock = 16;

float boxArea(const RawDetectionBox& box) {
    return (box.y2 - box.y1) * (box.x2 - box.x1);
}

// The IoU guards are written as predicates rather than selects: the loop then has no control flow
// and vectorises. A guarded pair has an IoU of 0, which exceeds only a negative threshold.
template <RawIouRule kRule>
bool anyOverlapAbove(const float* x1, const float* y1, const float* x2, const float* y2, const float* area,
                     size_t count, const RawDetectionBox& box, float boxArea, float threshold) {
    const bool zeroExceeds = 0.0f > threshold;
    for (size_t start = 0; start < count; start += kOverlapBlock) {
        const size_t end = std::min(count, start + kOverlapBlock);
        int32_t hit = 0;
        for (size_t j = start; j < end; ++j) {
            const float width = std::min(x2[j], box.x2) - std::max(x1[j], box.x1);
            const float height = std::min(y2[j], box.y2) - std::max(y1[j], box.y1);
            bool guarded;
            float ratio;
            if constexpr (kRule == RawIouRule::ZeroWhenUnionNotPositive) {
                const float intersection = std::max(width, 0.0f) * std::max(height, 0.0f);
                const float unionArea = area[j] + boxArea - intersection;
                guarded = unionArea <= 0.0f;
                ratio = intersection / unionArea;
            } else {
                const float intersection = width * height;
                guarded = (width <= 0.0f) | (height <= 0.0f);
                ratio = intersection / (area[j] + boxArea - intersection);
            }
            hit |= (guarded & zeroExceeds) | (!guarded & (ratio > threshold));
        }
        if (hit != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

void RawNmsKeptBoxes::clear() {
    x1.clear();
    y1.clear();
    x2.clear();
    y2.clear();
    area.clear();
}

bool RawNmsKeptBoxes::suppressed(const RawDetectionBox& box, float boxArea) const {
    if (rule == RawIouRule::ZeroWhenUnionNotPositive) {
        return anyOverlapAbove<RawIouRule::ZeroWhenUnionNotPositive>(
            x1.data(), y1.data(), x2.data(), y2.data(), area.data(), x1.size(), box, boxArea, iouThreshold);
    }
    return anyOverlapAbove<RawIouRule::ZeroWhenNoOverlap>(x1.data(), y1.data(), x2.data(), y2.data(),
                                                          area.data(), x1.size(), box, boxArea, iouThreshold);
}

bool RawNmsKeptBoxes::keepUnlessSuppressed(const RawDetectionBox& box) {
    const float candidateArea = boxArea(box);
    if (suppressed(box, candidateArea)) {
        return false;
    }
    x1.push_back(box.x1);
    y1.push_back(box.y1);
    x2.push_back(box.x2);
    y2.push_back(box.y2);
    area.push_back(candidateArea);
    return true;
}

std::vector<RawDetectionBox> rawPostprocessorNms(std::vector<RawDetectionBox> boxes, float iouThreshold,
                                                 bool classAgnostic) {
    std::erase_if(boxes, [](const RawDetectionBox& box) { return std::isnan(box.score); });

    // Index order as tie-break makes equal scores keep their input order, so results are repeatable.
    std::vector<uint32_t> order(boxes.size());
    std::iota(order.begin(), order.end(), 0u);
    const auto byScore = [&boxes](uint32_t a, uint32_t b) {
        if (boxes[a].score != boxes[b].score) {
            return boxes[a].score > boxes[b].score;
        }
        return a < b;
    };
    // Per-class suppression only ever compares boxes of one class, so walk the classes one by one.
    if (classAgnostic) {
        std::sort(order.begin(), order.end(), byScore);
    } else {
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            if (boxes[a].classId != boxes[b].classId) {
                return boxes[a].classId < boxes[b].classId;
            }
            return byScore(a, b);
        });
    }

    std::vector<uint32_t> kept;
    RawNmsKeptBoxes keptBoxes(iouThreshold, RawIouRule::ZeroWhenUnionNotPositive);
    for (size_t i = 0; i < order.size(); ++i) {
        const RawDetectionBox& box = boxes[order[i]];
        if (!classAgnostic && i > 0 && box.classId != boxes[order[i - 1]].classId) {
            keptBoxes.clear();
        }
        if (keptBoxes.keepUnlessSuppressed(box)) {
            kept.push_back(order[i]);
        }
    }
    if (!classAgnostic) {
        std::sort(kept.begin(), kept.end(), byScore);
    }

    std::vector<RawDetectionBox> result;
    result.reserve(kept.size());
    for (uint32_t index : kept) {
        result.push_back(boxes[index]);
    }
    return result;
}

TensorsPtr rawPostprocessorMakeXyxyscOutput(const float* rows, size_t n, int32_t requestId) {
    if (n == 0 || rows == nullptr) {
        return allocate_tensors(requestId, 0);
    }
    if (n > static_cast<size_t>(INT32_MAX)) {
        vekai_vlog("Warning! [RawPostprocessor] Too many detections (%zu) for one output tensor.\n", n);
        return allocate_tensors(requestId, 0);
    }
    TensorsPtr set = allocate_tensors(requestId, 1);
    const int32_t shape[2] = {static_cast<int32_t>(n), kRawXyxyscRowSize};
    fill_tensor(set->tensors[0], kRawXyxyscOutputName, TENSOR_TYPE_FLOAT32, shape, rows,
                n * kRawXyxyscRowSize * sizeof(float));
    return set;
}

TensorsPtr rawPostprocessorBoxesOutput(std::span<const RawDetectionBox> boxes, int32_t requestId) {
    std::vector<float> rows;
    rows.reserve(boxes.size() * kRawXyxyscRowSize);
    for (const RawDetectionBox& box : boxes) {
        rows.insert(rows.end(), {box.x1, box.y1, box.x2, box.y2, box.score, static_cast<float>(box.classId)});
    }
    return rawPostprocessorMakeXyxyscOutput(rows.data(), boxes.size(), requestId);
}

TensorsPtr rawPostprocessorEmptyOutput(const Tensors* raw) {
    return allocate_tensors(raw == nullptr ? 0 : raw->id, 0);
}
