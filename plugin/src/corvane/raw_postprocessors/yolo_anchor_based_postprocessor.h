// Decoder for anchor-based YOLO outputs (YOLOv5 to YOLOv7): rows of box centre, size, objectness and
// class scores, reduced by a per-class NMS.
#pragma once

#include "utils/tensor_utils.h"

TensorsPtr decodeAnchorBasedYoloOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold);
