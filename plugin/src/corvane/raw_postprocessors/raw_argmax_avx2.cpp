#include <immintrin.h>

#include "corvane/raw_postprocessors/raw_argmax.h"

// Built for AVX2 on its own so that the rest of the library runs on any x86-64 CPU; callers check
// rawArgmaxCpuHasAvx2() first.
__attribute__((target("avx2"))) void argmax_avx2(const float* scores, size_t rowStride, int32_t rows,
                                                 int32_t firstClass, float* best, int32_t* bestClass,
                                                 size_t count) {
    for (size_t i = 0; i < count; i += 8) {
        __m256 currentBest = _mm256_loadu_ps(best + i);
        __m256 currentClass =
            _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bestClass + i)));
        for (int32_t r = 0; r < rows; ++r) {
            const __m256 score = _mm256_loadu_ps(scores + static_cast<size_t>(r) * rowStride + i);
            // Ordered compare: false for NaN, exactly like the scalar '>'.
            const __m256 greater = _mm256_cmp_ps(score, currentBest, _CMP_GT_OQ);
            currentBest = _mm256_blendv_ps(currentBest, score, greater);
            currentClass = _mm256_blendv_ps(currentClass,
                                            _mm256_castsi256_ps(_mm256_set1_epi32(firstClass + r)), greater);
        }
        _mm256_storeu_ps(best + i, currentBest);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bestClass + i), _mm256_castps_si256(currentClass));
    }
}
