// The common decoded detection format ("xyxysc" rows) shared by every raw output decoder, and the
// non-maximum suppression the decoders use to reduce candidate boxes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "utils/tensor_utils.h"

struct RawDetectionBox {
    float x1;
    float y1;
    float x2;
    float y2;
    float score;
    int32_t classId;
};

inline constexpr const char* kRawXyxyscOutputName = "output0 format:xyxysc";
inline constexpr int kRawXyxyscRowSize = 6;

// Greedy NMS: highest score first, ties in input order. Boxes with a NaN score are never kept.
std::vector<RawDetectionBox> rawPostprocessorNms(std::vector<RawDetectionBox> boxes, float iouThreshold,
                                                 bool classAgnostic);

// A set holding one [n, 6] float tensor copied from `rows`, or no tensor when n is 0.
TensorsPtr rawPostprocessorMakeXyxyscOutput(const float* rows, size_t n, int32_t requestId);
TensorsPtr rawPostprocessorBoxesOutput(std::span<const RawDetectionBox> boxes, int32_t requestId);

// The "nothing detected" answer to `raw`, carrying its request id.
TensorsPtr rawPostprocessorEmptyOutput(const Tensors* raw);

// How an IoU is guarded against empty overlaps; both give the same value for finite boxes.
enum class RawIouRule {
    ZeroWhenUnionNotPositive,
    ZeroWhenNoOverlap,
};

// Boxes kept so far in one greedy NMS walk, stored column-wise so the overlap test vectorises.
class RawNmsKeptBoxes {
public:
    RawNmsKeptBoxes(float iouThreshold, RawIouRule rule) : iouThreshold(iouThreshold), rule(rule) {}

    void clear();
    // Keeps `box` unless a kept box overlaps it by an IoU strictly above the threshold.
    bool keepUnlessSuppressed(const RawDetectionBox& box);

private:
    bool suppressed(const RawDetectionBox& box, float area) const;

    float iouThreshold;
    RawIouRule rule;
    std::vector<float> x1;
    std::vector<float> y1;
    std::vector<float> x2;
    std::vector<float> y2;
    std::vector<float> area;
};
