#include "corvane/vekai_box_geometry.h"

#include <algorithm>

using vek::sdk::analytics::Rect;

namespace {

// Keeps the far edge where it is when the near edge is clamped into the frame, so that a box reaching
// beyond the frame on either side is cut, not shifted.
void clipToFrame(float& position, float& size) {
    if (position < 0.0f) {
        size += position;
        position = 0.0f;
    } else if (position > 1.0f) {
        position = 1.0f;
    }
    if (position + size > 1.0f)
        size = 1.0f - position;
    size = std::max(size, 0.0f);
}

}  // namespace

bool vekai_can_map_model_boxes(const InferenceInput_t& request) {
    if (request.stage == nullptr || !request.stage->model)
        return false;
    const ModelDetails_t& model = *request.stage->model;
    const float cropWidth = static_cast<float>(request.frameWidth) * request.roi[2];
    const float cropHeight = static_cast<float>(request.frameHeight) * request.roi[3];
    return model.inputWidth > 0 && model.inputHeight > 0 && cropWidth > 0 && cropHeight > 0;
}

Rect vekai_convert_model_coordinates_to_rect(const InferenceInput_t& request, float x1, float y1, float x2,
                                             float y2) {
    if (!vekai_can_map_model_boxes(request))
        return {};
    const float modelWidth = static_cast<float>(request.stage->model->inputWidth);
    const float modelHeight = static_cast<float>(request.stage->model->inputHeight);
    const auto [roiX, roiY, roiWidth, roiHeight] = request.roi;

    if (x1 < 1.0f && y1 < 1.0f && x2 < 1.0f && y2 < 1.0f) {
        x1 *= modelWidth;
        x2 *= modelWidth;
        y1 *= modelHeight;
        y2 *= modelHeight;
    }

    const float cropWidth = static_cast<float>(request.frameWidth) * roiWidth;
    const float cropHeight = static_cast<float>(request.frameHeight) * roiHeight;

    float px = 0, py = 0, divisorX = modelWidth, divisorY = modelHeight;
    if (request.stage->resizingMethod == vekai::ResizingMethod::Stretch) {
        px = x1 / modelWidth;
        py = y1 / modelHeight;
    } else {
        const float sx = modelWidth / cropWidth;
        const float sy = modelHeight / cropHeight;
        const float s = request.stage->resizingMethod == vekai::ResizingMethod::Crop ? std::max(sx, sy)
                                                                                     : std::min(sx, sy);
        // Not truncated, unlike the preprocessor's placement: the inverse stays in float.
        const float scaledWidth = cropWidth * s;
        const float scaledHeight = cropHeight * s;
        px = (x1 + (modelWidth - scaledWidth) * -0.5f) / scaledWidth;
        py = (y1 + (modelHeight - scaledHeight) * -0.5f) / scaledHeight;
        divisorX = scaledWidth;
        divisorY = scaledHeight;
    }

    Rect box;
    box.x = px * roiWidth + roiX;
    box.y = py * roiHeight + roiY;
    box.width = (x2 - x1) / divisorX * roiWidth;
    box.height = (y2 - y1) / divisorY * roiHeight;
    clipToFrame(box.x, box.width);
    clipToFrame(box.y, box.height);
    return box;
}

float vekai_calculate_iou(const Rect& a, const Rect& b) {
    const float overlapX = std::max(std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x), 0.0f);
    const float overlapY = std::max(std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y), 0.0f);
    const float intersection = overlapX * overlapY;
    if (intersection == 0.0f)
        return 0.0f;
    const float unionArea = a.height * a.width + b.height * b.width - intersection;
    if (unionArea <= 0.0f)
        return 0.0f;
    return intersection / unionArea;
}
