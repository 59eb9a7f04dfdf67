// Decoder for NanoDet heads: per anchor K class scores and 4 x 8 distance bins, either in one tensor
// laid out level after level or as separate class and distance maps per level; per-class NMS.
#pragma once

#include "utils/tensor_utils.h"

TensorsPtr decodeNanoDetOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold);
