// Decoder for RT-DETR raw heads: per query class logits and a normalised centre/size box; softmax,
// threshold and scaling to model-input pixels, no NMS.
#pragma once

#include "utils/tensor_utils.h"

TensorsPtr decodeRtDetrOutput(const Tensors* raw, float confidenceThreshold, int imageWidth, int imageHeight);
