#include "corvane/vekai_masks.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kEdgeTolerance = 1e-4f;
constexpr int32_t kExclusiveMask = 1;

bool pointInPolygon(const std::vector<float>& polygon, float px, float py) {
    const size_t vertices = polygon.size() / 2;
    if (vertices == 0)
        return false;
    bool inside = false;
    for (size_t i = 0, j = vertices - 1; i < vertices; j = i++) {
        const float xi = polygon[2 * i], yi = polygon[2 * i + 1];
        const float xj = polygon[2 * j], yj = polygon[2 * j + 1];
        const float cross = (py - yi) * (xj - xi) - (px - xi) * (yj - yi);
        if (std::fabs(cross) <= kEdgeTolerance && px >= std::min(xi, xj) - kEdgeTolerance &&
            px <= std::max(xi, xj) + kEdgeTolerance && py >= std::min(yi, yj) - kEdgeTolerance &&
            py <= std::max(yi, yj) + kEdgeTolerance)
            return true;
        if ((yi > py) != (yj > py) && px < xi + (py - yi) * (xj - xi) / (yj - yi))
            inside = !inside;
    }
    return inside;
}

}  // namespace

bool is_point_in_polygon(std::vector<float> polygon, float x, float y) {
    return pointInPolygon(polygon, x, y);
}

bool vekai_object_passes_masks(const VekAIObject_t& object, const std::vector<MaskSettings_t>& masks) {
    const float px = object.boundingBox.x + object.boundingBox.width * 0.5f;
    const float py = object.boundingBox.y + object.boundingBox.height;
    bool anyInclusive = false;
    bool insideInclusive = false;
    for (const MaskSettings_t& mask : masks) {
        const bool inside = pointInPolygon(mask.polygon, px, py);
        if (mask.maskType == kExclusiveMask) {
            if (inside)
                return false;
        } else {
            anyInclusive = true;
            insideInclusive = insideInclusive || inside;
        }
    }
    return !anyInclusive || insideInclusive;
}
