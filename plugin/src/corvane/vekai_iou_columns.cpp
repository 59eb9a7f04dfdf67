#include "corvane/vekai_iou_columns.h"

#include <algorithm>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

void BoxColumns::clear() {
    left.clear();
    top.clear();
    right.clear();
    bottom.clear();
    area.clear();
}

void BoxColumns::push(const vek::sdk::analytics::Rect& box) {
    left.push_back(box.x);
    top.push_back(box.y);
    right.push_back(box.x + box.width);
    bottom.push_back(box.y + box.height);
    area.push_back(box.height * box.width);
}

void vekai_iou_against_columns(const vek::sdk::analytics::Rect& box, const BoxColumns& columns, float* iou) {
    const float aLeft = box.x, aTop = box.y;
    const float aRight = box.x + box.width, aBottom = box.y + box.height;
    const float aArea = box.height * box.width;
    const size_t n = columns.size();
    size_t k = 0;
#ifdef __SSE2__
    // Vector min and max may differ from std::min and std::max only in the sign of a zero overlap,
    // which gives an IoU of zero either way.
    const __m128 vLeft = _mm_set1_ps(aLeft), vTop = _mm_set1_ps(aTop);
    const __m128 vRight = _mm_set1_ps(aRight), vBottom = _mm_set1_ps(aBottom);
    const __m128 vArea = _mm_set1_ps(aArea);
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
    for (; k + 4 <= n; k += 4) {
        const __m128 overlapX = _mm_max_ps(_mm_sub_ps(_mm_min_ps(vRight, _mm_loadu_ps(&columns.right[k])),
                                                      _mm_max_ps(vLeft, _mm_loadu_ps(&columns.left[k]))),
                                           zero);
        const __m128 overlapY = _mm_max_ps(_mm_sub_ps(_mm_min_ps(vBottom, _mm_loadu_ps(&columns.bottom[k])),
                                                      _mm_max_ps(vTop, _mm_loadu_ps(&columns.top[k]))),
                                           zero);
        const __m128 intersection = _mm_mul_ps(overlapX, overlapY);
        const __m128 unionArea = _mm_sub_ps(_mm_add_ps(vArea, _mm_loadu_ps(&columns.area[k])), intersection);
        const __m128 defined = _mm_and_ps(_mm_cmpneq_ps(intersection, zero), _mm_cmpgt_ps(unionArea, zero));
        // Lanes without a defined IoU divide by 1 and are then cleared.
        const __m128 divisor = _mm_or_ps(_mm_and_ps(defined, unionArea), _mm_andnot_ps(defined, one));
        _mm_storeu_ps(iou + k, _mm_and_ps(defined, _mm_div_ps(intersection, divisor)));
    }
#endif
    for (; k < n; ++k) {
        const float overlapX =
            std::max(std::min(aRight, columns.right[k]) - std::max(aLeft, columns.left[k]), 0.0f);
        const float overlapY =
            std::max(std::min(aBottom, columns.bottom[k]) - std::max(aTop, columns.top[k]), 0.0f);
        const float intersection = overlapX * overlapY;
        const float unionArea = aArea + columns.area[k] - intersection;
        iou[k] = intersection == 0.0f || unionArea <= 0.0f ? 0.0f : intersection / unionArea;
    }
}
