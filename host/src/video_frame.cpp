#include <vekhost/video_frame.h>

#include <chrono>
#include <cstring>
#include <new>

namespace vekhost {
namespace {

constexpr std::align_val_t kPlaneAlignment{kLineAlignment};

int alignUp(int value) {
    return (value + kLineAlignment - 1) / kLineAlignment * kLineAlignment;
}

}  // namespace

std::array<PlaneLayout, 3> yuv420Layout(int width, int height) {
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    return {PlaneLayout{width, height, alignUp(width)},
            PlaneLayout{chromaWidth, chromaHeight, alignUp(chromaWidth)},
            PlaneLayout{chromaWidth, chromaHeight, alignUp(chromaWidth)}};
}

void VideoFrame::AlignedDelete::operator()(uint8_t* memory) const {
    ::operator delete[](memory, kPlaneAlignment);
}

VideoFrame::VideoFrame(int width, int height)
    : frameWidth(width), frameHeight(height), layout(yuv420Layout(width, height)) {
    size_t total = 0;
    for (size_t i = 0; i < layout.size(); ++i) {
        offsets[i] = total;
        // Every line size is a multiple of the alignment, so every plane starts aligned.
        total += static_cast<size_t>(layout[i].lineSize) * static_cast<size_t>(layout[i].height);
    }
    buffer.reset(static_cast<uint8_t*>(::operator new[](total, kPlaneAlignment)));
    std::memset(buffer.get(), 0, total);
}

const uint8_t* VideoFrame::data(int plane) const {
    if (!validPlane(plane))
        return nullptr;
    return buffer.get() + offsets[static_cast<size_t>(plane)];
}

uint8_t* VideoFrame::mutableData(int plane) {
    if (!validPlane(plane))
        return nullptr;
    return buffer.get() + offsets[static_cast<size_t>(plane)];
}

int VideoFrame::lineSize(int plane) const {
    if (!validPlane(plane))
        return 0;
    return layout[static_cast<size_t>(plane)].lineSize;
}

int VideoFrame::dataSize(int plane) const {
    if (!validPlane(plane))
        return 0;
    return layout[static_cast<size_t>(plane)].lineSize * layout[static_cast<size_t>(plane)].height;
}

int64_t wallClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace vekhost
