// A camera fed from a video file: FFmpeg demuxes and decodes it, frames in other pixel formats
// are converted to planar YUV 4:2:0, and the file can start over at its end.
#pragma once

#include <vekhost/frame_source.h>
#include <vekhost/outcome.h>
#include <filesystem>
#include <memory>

namespace vekhost {

class VideoFileSource : public FrameSource {
public:
    static Outcome<std::unique_ptr<VideoFileSource>> open(const std::filesystem::path& path, bool loop);

    ~VideoFileSource() override;
    NextFrame next() override;
    std::string description() const override;

    // Frames per second the file declares; 0 when it declares none.
    double declaredFrameRate() const;

private:
    struct Decoder;
    explicit VideoFileSource(std::unique_ptr<Decoder> decoder);

    std::unique_ptr<Decoder> decoder;
};

}  // namespace vekhost
