// A short video file of annotated frames, encoded with the best FFmpeg encoder at hand (H.264, then
// VP8, then plain MPEG-4) so that people can watch what the plugin saw instead of reading it.
#pragma once

#include <vekhost/outcome.h>
#include <vekhost/video_frame.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vekhost {

// The encoder and container chosen for clips, or nothing when FFmpeg offers none of them.
struct ClipFormat {
    std::string encoder;
    // With the dot, e.g. ".mp4".
    std::string extension;
};
std::optional<ClipFormat> availableClipFormat();

class ClipWriter {
public:
    // Opens PATH (its extension should be the format's) for frames of this size; frame timestamps
    // set the pace, the rate is a hint for the encoder.
    static Outcome<std::unique_ptr<ClipWriter>> open(const std::filesystem::path& path,
                                                     const ClipFormat& format, int width, int height,
                                                     double framesPerSecond);
    ClipWriter(const ClipWriter&) = delete;
    ClipWriter& operator=(const ClipWriter&) = delete;
    // Finishes the file when finish was not called.
    ~ClipWriter();

    // Frames of another size or not later than the previous one are left out.
    Status write(const VideoFrame& frame);
    // Flushes the encoder and completes the file; later writes fail.
    Status finish();
    int64_t framesWritten() const { return written; }
    const std::filesystem::path& path() const { return filePath; }

private:
    struct Encoder;
    ClipWriter(std::unique_ptr<Encoder> encoder, std::filesystem::path path);
    Status drain();

    std::unique_ptr<Encoder> encoder;
    std::filesystem::path filePath;
    int64_t written = 0;
    bool finished = false;
};

}  // namespace vekhost
