#include "corvane/raw_postprocessors/rfdetr_postprocessor.h"

#include <vector>

#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/raw_tensor_input.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kTag = "RF-DETR";

float labelAt(const Tensor& labels, size_t i) {
    switch (labels.type) {
        case TENSOR_TYPE_INT32:
            return static_cast<float>(static_cast<const int32_t*>(labels.data)[i]);
        case TENSOR_TYPE_INT64:
            return static_cast<float>(static_cast<const int64_t*>(labels.data)[i]);
        default:
            return static_cast<const float*>(labels.data)[i];
    }
}

}  // namespace

TensorsPtr decodeRfDetrOutput(const Tensors* raw, float confidenceThreshold, int imageWidth,
                              int imageHeight) {
    if (imageWidth <= 0 || imageHeight <= 0) {
        vekai_vlog(
            "Warning! [RF-DETR] image_width and image_height must be set to scale normalized coordinates to "
            "model "
            "input pixel space.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    const int scoresIndex = rawFindTensorByName(raw, {"scores", "score"});
    const int boxesIndex = rawFindTensorByName(raw, {"boxes", "box", "pred_boxes"});
    const int labelsIndex = rawFindTensorByName(raw, {"labels", "label", "pred_labels"});
    if (scoresIndex < 0 || boxesIndex < 0 || labelsIndex < 0) {
        vekai_vlog(
            "Warning! [RF-DETR] Could not locate all required tensors (scores=%d, boxes=%d, labels=%d).\n",
            scoresIndex, boxesIndex, labelsIndex);
        return rawPostprocessorEmptyOutput(raw);
    }
    const Tensor& scores = raw->tensors[scoresIndex];
    const Tensor& boxes = raw->tensors[boxesIndex];
    const Tensor& labels = raw->tensors[labelsIndex];
    if (!rawIsFloat(scores) || !rawIsFloat(boxes)) {
        vekai_vlog("Warning! [RF-DETR] scores or boxes tensor is not FLOAT.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    if (labels.type != TENSOR_TYPE_FLOAT32 && labels.type != TENSOR_TYPE_INT32 &&
        labels.type != TENSOR_TYPE_INT64) {
        vekai_vlog("Warning! [RF-DETR] Unsupported labels dtype %d.\n", static_cast<int>(labels.type));
        return rawPostprocessorEmptyOutput(raw);
    }
    if (!rawTensorReadable(scores, kTag, "Scores") || !rawTensorReadable(boxes, kTag, "Boxes") ||
        !rawTensorReadable(labels, kTag, "Labels")) {
        return rawPostprocessorEmptyOutput(raw);
    }
    const auto length = rawVectorLength(scores);
    if (!length) {
        vekai_vlog("Warning! [RF-DETR] Unexpected scores rank %d.\n", scores.rank);
        return rawPostprocessorEmptyOutput(raw);
    }
    const size_t count = static_cast<size_t>(*length);
    if (!rawTensorHolds(boxes, count * 4, kTag, "Boxes") || !rawTensorHolds(labels, count, kTag, "Labels")) {
        return rawPostprocessorEmptyOutput(raw);
    }

    const auto* scoreData = static_cast<const float*>(scores.data);
    const auto* boxData = static_cast<const float*>(boxes.data);
    const float width = static_cast<float>(imageWidth);
    const float height = static_cast<float>(imageHeight);
    std::vector<float> rows;
    rows.reserve(count * kRawXyxyscRowSize);
    for (size_t i = 0; i < count; ++i) {
        if (scoreData[i] >= confidenceThreshold) {
            const float* box = boxData + i * 4;
            rows.insert(rows.end(), {box[0] * width, box[1] * height, box[2] * width, box[3] * height,
                                     scoreData[i], labelAt(labels, i)});
        }
    }
    const size_t detections = rows.size() / kRawXyxyscRowSize;
    vekai_vlog_verbose("[RF-DETR] %d detections above threshold.\n", static_cast<int>(detections));
    return rawPostprocessorMakeXyxyscOutput(rows.data(), detections, raw->id);
}
