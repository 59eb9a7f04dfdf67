#include "corvane/raw_postprocessors/ssd_postprocessor.h"

#include <vector>

#include "corvane/raw_postprocessors/raw_argmax.h"
#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/raw_tensor_input.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kTag = "SSD";
constexpr size_t kReservedCandidates = 256;

}  // namespace

TensorsPtr decodeSsdOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold, int imageWidth,
                           int imageHeight) {
    if (imageWidth <= 0 || imageHeight <= 0) {
        vekai_vlog(
            "Warning! [SSD] image_width and image_height must be set to scale normalized coordinates to "
            "model input "
            "pixel space.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    const int boxesIndex = rawFindTensorByName(raw, {"boxes", "box_encoding"});
    const int scoresIndex = rawFindTensorByName(raw, {"scores", "class_predictions"});
    if (boxesIndex < 0 || scoresIndex < 0) {
        vekai_vlog("Warning! [SSD] Could not locate required tensors (boxes=%d, scores=%d).\n", boxesIndex,
                   scoresIndex);
        return rawPostprocessorEmptyOutput(raw);
    }
    const Tensor& boxes = raw->tensors[boxesIndex];
    const Tensor& scores = raw->tensors[scoresIndex];
    if (!rawIsFloat(boxes) || !rawIsFloat(scores)) {
        vekai_vlog("Warning! [SSD] boxes or scores tensor is not FLOAT.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    if (!rawTensorReadable(boxes, kTag, "Boxes") || !rawTensorReadable(scores, kTag, "Scores")) {
        return rawPostprocessorEmptyOutput(raw);
    }
    const auto boxesShape = rawMatrixShape(boxes);
    if (!boxesShape) {
        vekai_vlog("Warning! [SSD] Unexpected boxes rank %d.\n", boxes.rank);
        return rawPostprocessorEmptyOutput(raw);
    }
    const auto scoresShape = rawMatrixShape(scores);
    if (!scoresShape) {
        vekai_vlog("Warning! [SSD] Unexpected scores rank %d.\n", scores.rank);
        return rawPostprocessorEmptyOutput(raw);
    }
    const int32_t columns = scoresShape->cols;
    if (columns < 2) {
        vekai_vlog("Warning! [SSD] Need at least 2 score columns (background + 1 class), got %d.\n", columns);
        return rawPostprocessorEmptyOutput(raw);
    }
    const size_t count = static_cast<size_t>(boxesShape->rows);
    if (!rawClassCountUsable(columns - 1, kTag) || !rawTensorHolds(boxes, count * 4, kTag, "Boxes") ||
        !rawTensorHolds(scores, count * columns, kTag, "Scores")) {
        return rawPostprocessorEmptyOutput(raw);
    }

    const auto* boxData = static_cast<const float*>(boxes.data);
    const auto* scoreData = static_cast<const float*>(scores.data);
    const float width = static_cast<float>(imageWidth);
    const float height = static_cast<float>(imageHeight);
    std::vector<RawDetectionBox> candidates;
    candidates.reserve(kReservedCandidates);
    for (size_t i = 0; i < count; ++i) {
        const float* row = scoreData + i * static_cast<size_t>(columns);
        if (!rawRowMayQualify(row + 1, static_cast<size_t>(columns - 1), 1.0f, confidenceThreshold)) {
            continue;
        }
        float best = 0.0f;
        int32_t bestClass = 0;
        for (int32_t c = 1; c < columns; ++c) {
            if (row[c] > best) {
                best = row[c];
                bestClass = c - 1;
            }
        }
        if (best >= confidenceThreshold) {
            const float* box = boxData + i * 4;
            candidates.push_back(
                {box[1] * width, box[0] * height, box[3] * width, box[2] * height, best, bestClass});
        }
    }

    const std::vector<RawDetectionBox> detections =
        rawPostprocessorNms(std::move(candidates), iouThreshold, false);
    vekai_vlog_verbose("[SSD] %d detections after NMS.\n", static_cast<int>(detections.size()));
    return rawPostprocessorBoxesOutput(detections, raw->id);
}
