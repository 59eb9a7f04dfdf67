// Box arithmetic of the postprocessing pass: model boxes back to frame fractions through the request's
// region and the stage's resizing, and the overlap of two boxes.
#pragma once

#include <vek/sdk/analytics/rect.h>

#include "corvane/vekai_corvane_utils.h"

// Whether the request names a model input size, a frame size and a region that boxes can be mapped
// through; mapping anything else would divide by zero.
bool vekai_can_map_model_boxes(const InferenceInput_t& request);

// x1, y1, x2, y2 in pixels of the model input, or in fractions of it when all four are below 1.
// The result is cut to the frame. Gives an empty box when vekai_can_map_model_boxes is false.
vek::sdk::analytics::Rect vekai_convert_model_coordinates_to_rect(const InferenceInput_t& request, float x1,
                                                                  float y1, float x2, float y2);

float vekai_calculate_iou(const vek::sdk::analytics::Rect& a, const vek::sdk::analytics::Rect& b);
