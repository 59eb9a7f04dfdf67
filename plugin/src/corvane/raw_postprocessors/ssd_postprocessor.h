// Decoder for postprocessed SSD-style heads (SSD, SSDLite, MobileDet): normalised [ymin, xmin, ymax,
// xmax] boxes and scores with a background column, scaled to model-input pixels, per-class NMS.
#pragma once

#include "utils/tensor_utils.h"

TensorsPtr decodeSsdOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold, int imageWidth,
                           int imageHeight);
