// Overlap of one box with many: the boxes are held as columns so that four are compared per step,
// with the same float arithmetic as vekai_calculate_iou.
#pragma once

#include <vek/sdk/analytics/rect.h>
#include <cstddef>
#include <vector>

struct BoxColumns {
    std::vector<float> left, top, right, bottom, area;

    void clear();
    void push(const vek::sdk::analytics::Rect& box);
    size_t size() const { return left.size(); }
};

// iou[k] = vekai_calculate_iou(box, box k of the columns), for every k below columns.size(). Boxes
// must not hold NaN.
void vekai_iou_against_columns(const vek::sdk::analytics::Rect& box, const BoxColumns& columns, float* iou);
