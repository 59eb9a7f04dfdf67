#include <vekhost/pattern_source.h>

#include <algorithm>
#include <cstring>

namespace vekhost {
namespace {

// Position along a path of the given free length, bouncing at both ends.
int bounce(int64_t travelled, int freeLength) {
    if (freeLength <= 0)
        return 0;
    const int64_t period = 2 * static_cast<int64_t>(freeLength);
    const int64_t phase = travelled % period;
    return static_cast<int>(phase <= freeLength ? phase : period - phase);
}

int evenDown(int value) {
    return value & ~1;
}

void fillPlane(uint8_t* plane, const PlaneLayout& layout, uint8_t value) {
    for (int row = 0; row < layout.height; ++row)
        std::memset(plane + static_cast<ptrdiff_t>(row) * layout.lineSize, value,
                    static_cast<size_t>(layout.width));
}

void fillRectangle(uint8_t* plane, const PlaneLayout& layout, int x, int y, int width, int height,
                   uint8_t value) {
    const int right = std::min(x + width, layout.width);
    const int bottom = std::min(y + height, layout.height);
    for (int row = y; row < bottom; ++row)
        std::memset(plane + static_cast<ptrdiff_t>(row) * layout.lineSize + x, value,
                    static_cast<size_t>(right - x));
}

}  // namespace

PatternSource::PatternSource(int width, int height) : width(width), height(height) {}

PatternRectangle PatternSource::rectangleAt(int64_t index) const {
    PatternRectangle rectangle;
    rectangle.width = std::max(2, evenDown(width / 4));
    rectangle.height = std::max(2, evenDown(height / 4));
    // A few pixels per frame, so a detector sees the same object move.
    const int64_t stepX = std::max(2, evenDown(width / 80));
    const int64_t stepY = std::max(2, evenDown(height / 120));
    rectangle.x = evenDown(bounce(index * stepX, width - rectangle.width));
    rectangle.y = evenDown(bounce(index * stepY, height - rectangle.height));
    return rectangle;
}

NextFrame PatternSource::next() {
    vek::sdk::Ptr<VideoFrame> frame(new VideoFrame(width, height));
    const PatternRectangle rectangle = rectangleAt(frameIndex++);
    const YuvColor background = kPatternBackground;
    const YuvColor foreground = kPatternRectangle;
    const uint8_t backgroundValues[3] = {background.y, background.u, background.v};
    const uint8_t foregroundValues[3] = {foreground.y, foreground.u, foreground.v};
    for (int plane = 0; plane < 3; ++plane) {
        const PlaneLayout& layout = frame->plane(plane);
        const int shift = plane == 0 ? 0 : 1;
        fillPlane(frame->mutableData(plane), layout, backgroundValues[plane]);
        fillRectangle(frame->mutableData(plane), layout, rectangle.x >> shift, rectangle.y >> shift,
                      rectangle.width >> shift, rectangle.height >> shift, foregroundValues[plane]);
    }
    NextFrame result;
    result.state = NextFrame::State::frame;
    result.frame.frame = std::move(frame);
    return result;
}

std::string PatternSource::description() const {
    return "synthetic " + std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace vekhost
