#include <immintrin.h>

#include "corvane/raw_postprocessors/raw_argmax.h"

// Built for AVX2 on its own so that the rest of the library runs on any x86-64 CPU; callers check
// rawArgmaxCpuHasAvx2() first.
__attribute__((target("avx2"))) void argmax_avx2(const float* scores, float* best, int32_t* bestClass,
                                                 int32_t classIndex, size_t count) {
    const __m256 classVector = _mm256_castsi256_ps(_mm256_set1_epi32(classIndex));
    for (size_t i = 0; i < count; i += 8) {
        const __m256 score = _mm256_loadu_ps(scores + i);
        const __m256 current = _mm256_loadu_ps(best + i);
        // Ordered compare: false for NaN, exactly like the scalar '>'.
        const __m256 greater = _mm256_cmp_ps(score, current, _CMP_GT_OQ);
        _mm256_storeu_ps(best + i, _mm256_blendv_ps(current, score, greater));
        float* classSlot = reinterpret_cast<float*>(bestClass + i);
        _mm256_storeu_ps(classSlot, _mm256_blendv_ps(_mm256_loadu_ps(classSlot), classVector, greater));
    }
}
