// Inclusion and exclusion polygons of a stage: which objects they let through, judged by the centre
// of each object's bottom edge.
#pragma once

#include <vector>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_detected_object.h"

// Vertices as x0, y0, x1, y1, ...; an odd trailing value is ignored. A point on an edge (within 1e-4)
// counts as inside; a polygon without a complete vertex contains nothing.
bool is_point_in_polygon(std::vector<float> polygon, float x, float y);

// Passes when every inclusive mask is absent or one of them contains the point, and no exclusive mask
// contains it.
bool vekai_object_passes_masks(const VekAIObject_t& object, const std::vector<MaskSettings_t>& masks);
