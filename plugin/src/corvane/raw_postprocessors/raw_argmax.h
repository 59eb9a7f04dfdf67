// Per-proposal arg-max over class-major score rows, the hot loop of the anchor-free decoders: a scalar
// routine, its AVX2 twin, a wrapper for the columns after the last full vector, and the thread split.
#pragma once

#include <cstddef>
#include <cstdint>

// For each of `count` proposals: a score strictly above best[i] replaces it, with class `classIndex`.
// NaN scores never win, so earlier (lower) classes keep ties.
void argmax_c(const float* scores, float* best, int32_t* bestClass, int32_t classIndex, size_t count);

// The same comparison on 8 proposals per step; `count` must be a multiple of 8. Only for CPUs with AVX2.
void argmax_avx2(const float* scores, float* best, int32_t* bestClass, int32_t classIndex, size_t count);

// argmax_avx2 on the whole vectors of `count`, argmax_c on the rest.
void argmax_any_avx2(const float* scores, float* best, int32_t* bestClass, int32_t classIndex, size_t count);

// Whether the CPU and the operating system support AVX2; asked once per process.
bool rawArgmaxCpuHasAvx2();

enum class RawArgmaxKernel {
    Scalar,
    Avx2,
};

// Avx2 when the CPU has it, else Scalar.
RawArgmaxKernel rawArgmaxFastestKernel();

// Class-major scores: row k (k < classes) starts at scores + k * rowStride and holds one score per
// proposal. For proposals [begin, end), best starts at `threshold` and bestClass at -1, then every row
// is folded in with the arg-max rule above.
void rawArgmaxColumns(const float* scores, int32_t classes, size_t rowStride, size_t begin, size_t end,
                      float threshold, RawArgmaxKernel kernel, float* best, int32_t* bestClass);

// rawArgmaxColumns over all `proposals` (also the row stride), split into `threads` contiguous slices of
// ceil(proposals / threads); the calling thread takes the first slice and joins the others.
void rawArgmaxSplit(const float* scores, int32_t classes, size_t proposals, float threshold, int threads,
                    RawArgmaxKernel kernel, float* best, int32_t* bestClass);
