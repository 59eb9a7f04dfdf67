// Synthesised raw detector outputs with a realistic score distribution (mostly background, a few
// hundred confident proposals clustered on objects), shared by the decoder tests and benchmarks.
#pragma once

#include <cstdint>
#include <vector>

namespace synthetic {

// YOLOv8-style channel-major [4 + classes, proposals] at 640 x 640: background scores below 0.05 and
// `hot` proposals spread over hot / 8 objects (at least one), each scoring its object's class high.
// With `spread` set every hot proposal is its own object, so NMS keeps most of them.
std::vector<float> anchorFreeOutput(int classes, int proposals, int hot, uint32_t seed, bool spread = false);

// YOLOv5-style row-major [anchors, 5 + classes] with the same kind of distribution.
std::vector<float> anchorBasedOutput(int classes, int anchors, int hot, uint32_t seed);

struct DetrOutput {
    std::vector<float> logits;  // [queries, classes]
    std::vector<float> boxes;   // [queries, 4] cx, cy, w, h fractions
};

// RT-DETR-style queries, `confident` of them with one dominant logit.
DetrOutput rtDetrOutput(int queries, int classes, int confident, uint32_t seed);

}  // namespace synthetic
