// Decoder for YOLOv8 split into three stride levels of distribution-bin regression maps [1, 64, H, W]
// and class maps [1, K, H, W], reduced by a class-agnostic NMS.
#pragma once

#include "utils/tensor_utils.h"

TensorsPtr decodeYolo8DeepxOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold);
