#include "corvane/raw_postprocessors/yolo_nas_postprocessor.h"

#include <vector>

#include "corvane/raw_postprocessors/raw_argmax.h"
#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/raw_tensor_input.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kTag = "YOLO-NAS";

// Unnamed exports are recognised by shape: [1, N, 4] boxes and [1, N, K > 4] scores.
void locateByShape(const Tensors* raw, int& boxes, int& scores) {
    const std::span<const Tensor> entries = tensor_entries(raw);
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto shape = rawBatchOfOneFloatMatrix(entries[i]);
        if (!shape) {
            continue;
        }
        if (shape->cols == 4 && boxes < 0) {
            boxes = static_cast<int>(i);
        } else if (shape->cols > 4 && scores < 0) {
            scores = static_cast<int>(i);
        }
    }
}

}  // namespace

TensorsPtr decodeYoloNasOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold) {
    int boxesIndex = rawFindTensorByName(raw, {"boxes"});
    int scoresIndex = rawFindTensorByName(raw, {"scores"});
    if (boxesIndex < 0 || scoresIndex < 0) {
        locateByShape(raw, boxesIndex, scoresIndex);
    }
    if (boxesIndex < 0 || scoresIndex < 0) {
        vekai_vlog("Warning! [YOLO-NAS] Could not locate required tensors (boxes=%d, scores=%d).\n",
                   boxesIndex, scoresIndex);
        return rawPostprocessorEmptyOutput(raw);
    }
    const Tensor& boxes = raw->tensors[boxesIndex];
    const Tensor& scores = raw->tensors[scoresIndex];
    if (!rawIsFloat(boxes) || !rawIsFloat(scores)) {
        vekai_vlog("Warning! [YOLO-NAS] boxes or scores tensor is not FLOAT.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    if (!rawTensorReadable(boxes, kTag, "Boxes") || !rawTensorReadable(scores, kTag, "Scores")) {
        return rawPostprocessorEmptyOutput(raw);
    }
    const auto boxesShape = rawMatrixShape(boxes);
    if (!boxesShape || boxesShape->cols != 4) {
        vekai_vlog("Warning! [YOLO-NAS] Unexpected boxes rank %d.\n", boxes.rank);
        return rawPostprocessorEmptyOutput(raw);
    }
    const auto scoresShape = rawMatrixShape(scores);
    if (!scoresShape) {
        vekai_vlog("Warning! [YOLO-NAS] Unexpected scores rank %d.\n", scores.rank);
        return rawPostprocessorEmptyOutput(raw);
    }
    const size_t count = static_cast<size_t>(boxesShape->rows);
    const int32_t classes = scoresShape->cols;
    if (!rawClassCountUsable(classes, kTag) || !rawTensorHolds(scores, count * classes, kTag, "Scores")) {
        return rawPostprocessorEmptyOutput(raw);
    }

    const auto* boxData = static_cast<const float*>(boxes.data);
    const auto* scoreData = static_cast<const float*>(scores.data);
    std::vector<RawDetectionBox> candidates;
    candidates.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const float* row = scoreData + i * static_cast<size_t>(classes);
        if (!rawRowMayQualify(row, static_cast<size_t>(classes), 1.0f, confidenceThreshold)) {
            continue;
        }
        float best = 0.0f;
        int32_t bestClass = 0;
        for (int32_t k = 0; k < classes; ++k) {
            if (row[k] > best) {
                best = row[k];
                bestClass = k;
            }
        }
        if (best >= confidenceThreshold) {
            const float* box = boxData + i * 4;
            candidates.push_back({box[0], box[1], box[2], box[3], best, bestClass});
        }
    }

    const std::vector<RawDetectionBox> detections =
        rawPostprocessorNms(std::move(candidates), iouThreshold, false);
    vekai_vlog_verbose("[YOLO-NAS] %d detections after NMS.\n", static_cast<int>(detections.size()));
    return rawPostprocessorBoxesOutput(detections, raw->id);
}
