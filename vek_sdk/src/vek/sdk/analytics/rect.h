// A box in fractions of the frame: left, top, width, height.
#pragma once

namespace vek::sdk::analytics {

struct Rect {
    float x = 0;
    float y = 0;
    float width = 0;
    float height = 0;
};

}  // namespace vek::sdk::analytics
