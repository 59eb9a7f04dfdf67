// Pixel layouts of images and model inputs, and how a frame region is fitted to a model input.
#pragma once

enum ImageOrder : int {
    Planar = 0,
    Interleaved = 1,
};

namespace vekai {

enum class ResizingMethod : int {
    Crop = 0,
    Stretch = 1,
    Letterbox = 2,
};

}  // namespace vekai
