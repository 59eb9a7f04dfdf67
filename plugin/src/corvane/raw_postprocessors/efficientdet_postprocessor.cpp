#include "corvane/raw_postprocessors/efficientdet_postprocessor.h"

#include <cmath>
#include <vector>

#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/raw_tensor_input.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr const char* kTag = "EfficientDet";

// Classes are numbered from 1; anything below 2 (and NaN) maps to class 0.
float zeroBasedClass(float value) {
    return value >= 2.0f ? std::trunc(value) - 1.0f : 0.0f;
}

}  // namespace

TensorsPtr decodeEfficientDetOutput(const Tensors* raw, float confidenceThreshold, int imageWidth,
                                    int imageHeight) {
    if (imageWidth <= 0 || imageHeight <= 0) {
        vekai_vlog(
            "Warning! [EfficientDet] image_width and image_height must be set to scale normalized "
            "coordinates to "
            "model input pixel space.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    const int boxesIndex = rawFindTensorByName(raw, {"detection_boxes", "boxes"});
    const int scoresIndex = rawFindTensorByName(raw, {"detection_scores", "scores"});
    const int classesIndex = rawFindTensorByName(raw, {"detection_classes", "classes"});
    const int countIndex = rawFindTensorByName(raw, {"num_detections", "num_det"});
    if (boxesIndex < 0 || scoresIndex < 0 || classesIndex < 0) {
        vekai_vlog(
            "Warning! [EfficientDet] Could not locate required tensors (boxes=%d, scores=%d, classes=%d).\n",
            boxesIndex, scoresIndex, classesIndex);
        return rawPostprocessorEmptyOutput(raw);
    }
    const Tensor& boxes = raw->tensors[boxesIndex];
    const Tensor& scores = raw->tensors[scoresIndex];
    const Tensor& classes = raw->tensors[classesIndex];
    if (!rawIsFloat(boxes) || !rawIsFloat(scores) || !rawIsFloat(classes)) {
        vekai_vlog("Warning! [EfficientDet] One or more tensors are not FLOAT.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    if (!rawTensorReadable(boxes, kTag, "Boxes") || !rawTensorReadable(scores, kTag, "Scores") ||
        !rawTensorReadable(classes, kTag, "Classes")) {
        return rawPostprocessorEmptyOutput(raw);
    }
    const auto length = rawVectorLength(scores);
    if (!length) {
        vekai_vlog("Warning! [EfficientDet] Unexpected scores rank %d.\n", scores.rank);
        return rawPostprocessorEmptyOutput(raw);
    }
    int64_t count = *length;
    if (countIndex >= 0 && rawIsFloat(raw->tensors[countIndex])) {
        const Tensor& countTensor = raw->tensors[countIndex];
        if (!rawTensorReadable(countTensor, kTag, "Count")) {
            return rawPostprocessorEmptyOutput(raw);
        }
        const float declared = static_cast<const float*>(countTensor.data)[0];
        if (!(declared >= 0.0f)) {
            vekai_vlog("Warning! [EfficientDet] Invalid detection count %g.\n",
                       static_cast<double>(declared));
            return rawPostprocessorEmptyOutput(raw);
        }
        if (declared < static_cast<float>(count)) {
            count = static_cast<int64_t>(declared);
        }
    }
    const size_t n = static_cast<size_t>(count);
    if (!rawTensorHolds(boxes, n * 4, kTag, "Boxes") || !rawTensorHolds(classes, n, kTag, "Classes")) {
        return rawPostprocessorEmptyOutput(raw);
    }

    const auto* boxData = static_cast<const float*>(boxes.data);
    const auto* scoreData = static_cast<const float*>(scores.data);
    const auto* classData = static_cast<const float*>(classes.data);
    const float width = static_cast<float>(imageWidth);
    const float height = static_cast<float>(imageHeight);
    std::vector<float> rows;
    rows.reserve(n * kRawXyxyscRowSize);
    for (size_t i = 0; i < n; ++i) {
        if (scoreData[i] >= confidenceThreshold) {
            const float* box = boxData + i * 4;
            rows.insert(rows.end(), {box[1] * width, box[0] * height, box[3] * width, box[2] * height,
                                     scoreData[i], zeroBasedClass(classData[i])});
        }
    }
    const size_t detections = rows.size() / kRawXyxyscRowSize;
    vekai_vlog_verbose("[EfficientDet] %d detections above threshold.\n", static_cast<int>(detections));
    return rawPostprocessorMakeXyxyscOutput(rows.data(), detections, raw->id);
}
