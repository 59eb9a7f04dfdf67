// Decoder for anchor-free YOLO outputs (YOLOv8 to YOLO12): one [..., 4 + K, N] tensor of box centres,
// sizes and class scores per proposal, reduced by a per-class NMS.
#pragma once

#include "corvane/raw_postprocessors/raw_argmax.h"
#include "utils/tensor_utils.h"

// How the class arg-max runs; the defaults are what production uses, the rest exists for comparisons.
struct AnchorFreeArgmaxOptions {
    // 0: one thread below 2048 proposals, else as many as the hardware has, at most 4.
    int threads = 0;
    // Use AVX2 when the CPU has it; false forces the scalar routine.
    bool allowAvx2 = true;
};

TensorsPtr decodeAnchorFreeYoloOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold);
TensorsPtr decodeAnchorFreeYoloOutput(const Tensors* raw, float confidenceThreshold, float iouThreshold,
                                      const AnchorFreeArgmaxOptions& options);
