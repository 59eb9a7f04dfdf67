// Class arg-max for the decoders: over class-major rows (scalar routine, AVX2 twin, wrapper for the
// proposals after the last full vector, thread split) and the cheap pre-check of row-major outputs.
#pragma once

#include <cstddef>
#include <cstdint>

// For each of `count` proposals, folds in `rows` class rows in class order: row r starts at
// scores + r * rowStride and holds the scores of class firstClass + r; a score strictly above best[i]
// replaces it together with its class. NaN scores never win, so ties keep the lower class.
void argmax_c(const float* scores, size_t rowStride, int32_t rows, int32_t firstClass, float* best,
              int32_t* bestClass, size_t count);

// The same comparisons on 8 proposals per step, keeping the running best in registers across the rows;
// `count` must be a multiple of 8. Only for CPUs with AVX2.
void argmax_avx2(const float* scores, size_t rowStride, int32_t rows, int32_t firstClass, float* best,
                 int32_t* bestClass, size_t count);

// argmax_avx2 on the whole vectors of `count`, argmax_c on the proposals left over.
void argmax_any_avx2(const float* scores, size_t rowStride, int32_t rows, int32_t firstClass, float* best,
                     int32_t* bestClass, size_t count);

// For row-wise arg-max that starts from 0 and accepts rows whose best score x factor is at least the
// threshold: false only when the threshold is positive and no score x factor reaches it, so the row
// cannot qualify. Vectorises, unlike the arg-max itself, and lets most rows of a sparse output be skipped.
bool rawRowMayQualify(const float* scores, size_t count, float factor, float threshold);

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
