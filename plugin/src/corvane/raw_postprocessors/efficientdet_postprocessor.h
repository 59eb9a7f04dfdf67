// Decoder for the postprocessed detection outputs of the usual EfficientDet exports: normalised boxes,
// scores, 1-based classes and an optional count; thresholded, scaled to model-input pixels, no NMS.
#pragma once

#include "utils/tensor_utils.h"

TensorsPtr decodeEfficientDetOutput(const Tensors* raw, float confidenceThreshold, int imageWidth,
                                    int imageHeight);
