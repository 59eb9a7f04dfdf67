// Decoder for end-to-end YOLO26 outputs whose rows are already final detections (x1, y1, x2, y2,
// score, class): only the confidence threshold applies.
#pragma once

#include "utils/tensor_utils.h"

TensorsPtr decodeYolo26Output(const Tensors* raw, float confidenceThreshold);
