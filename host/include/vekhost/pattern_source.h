// A synthetic camera: a red rectangle moving over a grey picture, exact in planar YUV 4:2:0
// (edges on even pixels so chroma samples are never shared between rectangle and background).
#pragma once

#include <vekhost/frame_source.h>
#include <cstdint>

namespace vekhost {

struct PatternRectangle {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct YuvColor {
    uint8_t y;
    uint8_t u;
    uint8_t v;
};

inline constexpr YuvColor kPatternBackground{128, 128, 128};
inline constexpr YuvColor kPatternRectangle{82, 90, 240};

class PatternSource : public FrameSource {
public:
    PatternSource(int width, int height);

    NextFrame next() override;
    std::string description() const override;

    // Where the rectangle is in the frame with this index (0 for the first).
    PatternRectangle rectangleAt(int64_t frameIndex) const;

private:
    int width;
    int height;
    int64_t frameIndex = 0;
};

}  // namespace vekhost
