// Decoder for YOLO-NAS outputs: separate corner boxes [N, 4] and class scores [N, K], reduced by a
// per-class NMS.
#pragma once

#include "utils/tensor_utils.h"

TensorsPtr decodeYoloNasOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold);
