#include <immintrin.h>

#include "corvane/raw_postprocessors/raw_argmax.h"

// Built for AVX2 on its own so that the rest of the library runs on any x86-64 CPU; callers check
// rawArgmaxCpuHasAvx2() first.

namespace {

// Folds the rows into kVectors adjacent vectors of 8 proposals. Each vector's running best is one
// compare-and-blend chain per row; several independent chains keep the core busy while each waits.
template <int kVectors>
__attribute__((target("avx2"))) inline void foldRows(const float* scores, size_t rowStride, int32_t rows,
                                                     int32_t firstClass, float* best, int32_t* bestClass) {
    __m256 currentBest[kVectors];
    __m256 currentClass[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        currentBest[v] = _mm256_loadu_ps(best + 8 * v);
        currentClass[v] = _mm256_loadu_ps(reinterpret_cast<const float*>(bestClass + 8 * v));
    }
    for (int32_t r = 0; r < rows; ++r) {
        const float* row = scores + static_cast<size_t>(r) * rowStride;
        const __m256 classIndex = _mm256_castsi256_ps(_mm256_set1_epi32(firstClass + r));
        for (int v = 0; v < kVectors; ++v) {
            const __m256 score = _mm256_loadu_ps(row + 8 * v);
            // Ordered compare: false for NaN, exactly like the scalar '>'.
            const __m256 greater = _mm256_cmp_ps(score, currentBest[v], _CMP_GT_OQ);
            currentBest[v] = _mm256_blendv_ps(currentBest[v], score, greater);
            currentClass[v] = _mm256_blendv_ps(currentClass[v], classIndex, greater);
        }
    }
    for (int v = 0; v < kVectors; ++v) {
        _mm256_storeu_ps(best + 8 * v, currentBest[v]);
        _mm256_storeu_ps(reinterpret_cast<float*>(bestClass + 8 * v), currentClass[v]);
    }
}

}  // namespace

__attribute__((target("avx2"))) void argmax_avx2(const float* scores, size_t rowStride, int32_t rows,
                                                 int32_t firstClass, float* best, int32_t* bestClass,
                                                 size_t count) {
    constexpr int kWide = 4;
    size_t i = 0;
    for (; i + 8 * kWide <= count; i += 8 * kWide) {
        foldRows<kWide>(scores + i, rowStride, rows, firstClass, best + i, bestClass + i);
    }
    for (; i < count; i += 8) {
        foldRows<1>(scores + i, rowStride, rows, firstClass, best + i, bestClass + i);
    }
}
