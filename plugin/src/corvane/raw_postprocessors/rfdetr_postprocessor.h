// Decoder for RF-DETR exports with final detections: scores, normalised corner boxes and labels;
// thresholded and scaled to model-input pixels, no NMS.
#pragma once

#include "utils/tensor_utils.h"

TensorsPtr decodeRfDetrOutput(const Tensors* raw, float confidenceThreshold, int imageWidth, int imageHeight);
