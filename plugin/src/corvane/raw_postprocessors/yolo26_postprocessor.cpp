#include "corvane/raw_postprocessors/yolo26_postprocessor.h"

#include <vector>

#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/raw_tensor_input.h"
#include "vekai_utilities/vekai_utils.h"

TensorsPtr decodeYolo26Output(const Tensors* raw, float confidenceThreshold) {
    int index = rawFindTensorByName(raw, {"output"});
    if (index < 0) {
        index = rawFindFloatTensorWithData(raw);
    }
    if (index < 0 || !rawIsFloat(raw->tensors[index])) {
        vekai_vlog("Warning! [YOLO26] No FLOAT tensor found in input.\n");
        return rawPostprocessorEmptyOutput(raw);
    }
    const Tensor& tensor = raw->tensors[index];
    if (!rawTensorReadable(tensor, "YOLO26", "Output")) {
        return rawPostprocessorEmptyOutput(raw);
    }
    const auto shape = rawMatrixShape(tensor);
    if (!shape) {
        vekai_vlog("Warning! [YOLO26] Unexpected tensor rank %d.\n", tensor.rank);
        return rawPostprocessorEmptyOutput(raw);
    }
    if (shape->cols != kRawXyxyscRowSize) {
        vekai_vlog("Warning! [YOLO26] Expected row size 6, got %d.\n", shape->cols);
        return rawPostprocessorEmptyOutput(raw);
    }

    const auto* data = static_cast<const float*>(tensor.data);
    const size_t rows = static_cast<size_t>(shape->rows);
    std::vector<float> kept;
    kept.reserve(rows * kRawXyxyscRowSize);
    for (size_t i = 0; i < rows; ++i) {
        const float* row = data + i * kRawXyxyscRowSize;
        if (row[4] >= confidenceThreshold) {
            kept.insert(kept.end(), row, row + kRawXyxyscRowSize);
        }
    }
    const size_t detections = kept.size() / kRawXyxyscRowSize;
    vekai_vlog_verbose("[YOLO26] %d detections above threshold.\n", static_cast<int>(detections));
    return rawPostprocessorMakeXyxyscOutput(kept.data(), detections, raw->id);
}
