#include "corvane/raw_postprocessors/rtdetr_postprocessor.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/raw_tensor_input.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kTag = "RT-DETR";

// Unnamed exports are recognised by shape; a later match wins, also over a match by name.
void locateByShape(const Tensors* raw, int& logits, int& boxes) {
    const std::span<const Tensor> entries = tensor_entries(raw);
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto shape = rawBatchOfOneFloatMatrix(entries[i]);
        if (!shape) {
            continue;
        }
        if (shape->cols == 4) {
            boxes = static_cast<int>(i);
        } else if (shape->cols > 4) {
            logits = static_cast<int>(i);
        }
    }
}

}  // namespace

TensorsPtr decodeRtDetrOutput(const Tensors* raw, float confidenceThreshold, int imageWidth,
                              int imageHeight) {
    if (imageWidth <= 0 || imageHeight <= 0) {
        vekai_vlog(
            "Warning! [RT-DETR] image_width and image_height must be set to scale normalized coordinates to "
            "model "
            "input pixel space.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    int logitsIndex = rawFindTensorByName(raw, {"logits", "pred_logits"});
    int boxesIndex = rawFindTensorByName(raw, {"boxes", "pred_boxes"});
    if (logitsIndex < 0 || boxesIndex < 0) {
        locateByShape(raw, logitsIndex, boxesIndex);
    }
    if (logitsIndex < 0 || boxesIndex < 0) {
        vekai_vlog_verbose(
            "[RT-DETR] Could not identify a Format A logits/boxes pair; Format B is not supported.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    const Tensor& logits = raw->tensors[logitsIndex];
    const Tensor& boxes = raw->tensors[boxesIndex];
    if (!rawIsFloat(logits) || !rawIsFloat(boxes)) {
        vekai_vlog("Warning! [RT-DETR] logits or boxes tensor is not FLOAT.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    if (!rawTensorReadable(logits, kTag, "Logits") || !rawTensorReadable(boxes, kTag, "Boxes")) {
        return rawPostprocessorEmptyOutput(raw);
    }
    const auto shape = rawMatrixShape(logits);
    if (!shape) {
        vekai_vlog("Warning! [RT-DETR] Unexpected logits rank %d.\n", logits.rank);
        return rawPostprocessorEmptyOutput(raw);
    }
    const size_t queries = static_cast<size_t>(shape->rows);
    const int32_t classes = shape->cols;
    if (!rawClassCountUsable(classes, kTag) || !rawTensorHolds(boxes, queries * 4, kTag, "Boxes")) {
        return rawPostprocessorEmptyOutput(raw);
    }

    const auto* logitData = static_cast<const float*>(logits.data);
    const auto* boxData = static_cast<const float*>(boxes.data);
    const float width = static_cast<float>(imageWidth);
    const float height = static_cast<float>(imageHeight);
    std::vector<float> exponentials(static_cast<size_t>(classes));
    std::vector<float> rows;
    rows.reserve(queries * kRawXyxyscRowSize);
    for (size_t q = 0; q < queries; ++q) {
        const float* row = logitData + q * static_cast<size_t>(classes);
        const float maximum = *std::max_element(row, row + classes);
        float total = 0.0f;
        for (int32_t k = 0; k < classes; ++k) {
            exponentials[k] = std::exp(row[k] - maximum);
            total += exponentials[k];
        }
        float best = 0.0f;
        int32_t bestClass = 0;
        for (int32_t k = 0; k < classes; ++k) {
            const float probability = exponentials[k] / total;
            if (probability > best) {
                best = probability;
                bestClass = k;
            }
        }
        if (best >= confidenceThreshold) {
            const float* box = boxData + q * 4;
            const float halfW = box[2] * width * 0.5f;
            const float halfH = box[3] * height * 0.5f;
            const float cx = box[0] * width;
            const float cy = box[1] * height;
            rows.insert(rows.end(), {cx - halfW, cy - halfH, cx + halfW, cy + halfH, best,
                                     static_cast<float>(bestClass)});
        }
    }
    const size_t detections = rows.size() / kRawXyxyscRowSize;
    vekai_vlog_verbose("[RT-DETR] %d detections above threshold.\n", static_cast<int>(detections));
    return rawPostprocessorMakeXyxyscOutput(rows.data(), detections, raw->id);
}
