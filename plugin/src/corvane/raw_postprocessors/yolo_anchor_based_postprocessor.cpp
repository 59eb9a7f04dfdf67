#include "corvane/raw_postprocessors/yolo_anchor_based_postprocessor.h"

#include <vector>

#include "corvane/raw_postprocessors/raw_argmax.h"
#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/raw_tensor_input.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kTag = "AnchorBasedYolo";

}  // namespace

TensorsPtr decodeAnchorBasedYoloOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold) {
    int index = rawFindTensorByName(raw, {"output"});
    if (index < 0) {
        index = rawFindFloatTensorWithData(raw);
    }
    if (index < 0 || !rawIsFloat(raw->tensors[index])) {
        vekai_vlog("Warning! [AnchorBasedYolo] No FLOAT tensor found in input.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    const Tensor& tensor = raw->tensors[index];
    if (!rawTensorReadable(tensor, kTag, "Output")) {
        return rawPostprocessorEmptyOutput(raw);
    }
    const auto shape = rawMatrixShape(tensor);
    if (!shape) {
        vekai_vlog("Warning! [AnchorBasedYolo] Unexpected tensor rank %d.\n", tensor.rank);
        return rawPostprocessorEmptyOutput(raw);
    }
    const int32_t anchors = shape->rows;
    const int32_t rowSize = shape->cols;
    if (rowSize < 6) {
        vekai_vlog("Warning! [AnchorBasedYolo] Row size %d too small (need at least 6).\n", rowSize);
        return rawPostprocessorEmptyOutput(raw);
    }
    const int32_t classes = rowSize - 5;
    if (!rawClassCountUsable(classes, kTag)) {
        return rawPostprocessorEmptyOutput(raw);
    }
    vekai_vlog_verbose("[AnchorBasedYolo] Decoding %d anchors, %d classes.\n", anchors, classes);

    const auto* data = static_cast<const float*>(tensor.data);
    std::vector<RawDetectionBox> candidates;
    candidates.reserve(static_cast<size_t>(anchors));
    for (int32_t i = 0; i < anchors; ++i) {
        const float* row = data + static_cast<size_t>(i) * static_cast<size_t>(rowSize);
        const float objectness = row[4];
        if (!rawRowMayQualify(row + 5, static_cast<size_t>(classes), objectness, confidenceThreshold)) {
            continue;
        }
        float best = 0.0f;
        int32_t bestClass = 0;
        for (int32_t k = 0; k < classes; ++k) {
            const float score = row[5 + k] * objectness;
            if (score > best) {
                best = score;
                bestClass = k;
            }
        }
        if (best >= confidenceThreshold) {
            const float halfW = row[2] * 0.5f;
            const float halfH = row[3] * 0.5f;
            candidates.push_back(
                {row[0] - halfW, row[1] - halfH, halfW + row[0], halfH + row[1], best, bestClass});
        }
    }

    const std::vector<RawDetectionBox> detections =
        rawPostprocessorNms(std::move(candidates), iouThreshold, false);
    vekai_vlog_verbose("[AnchorBasedYolo] %d detections after NMS.\n", static_cast<int>(detections.size()));
    return rawPostprocessorBoxesOutput(detections, raw->id);
}
