// Writes small real video files for the host's decoding tests, so that no sample has to be
// fetched: every frame is flat, its luma a known function of the frame number.
#pragma once

#include <filesystem>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vekhost::testing {

struct TestVideo {
    AVCodecID codec = AV_CODEC_ID_MPEG4;
    AVPixelFormat pixelFormat = AV_PIX_FMT_YUV420P;
    int width = 64;
    int height = 48;
    int frames = 10;
    int framesPerSecond = 10;
};

inline constexpr int kTestVideoU = 100;
inline constexpr int kTestVideoV = 160;
inline int testVideoLuma(int frame) {
    return 40 + 15 * frame;
}

// An empty text on success, else what went wrong. The container is Matroska.
std::string writeTestVideo(const std::filesystem::path& path, const TestVideo& video);

}  // namespace vekhost::testing
