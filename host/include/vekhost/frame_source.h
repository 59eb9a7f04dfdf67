// Where a camera's frames come from: a synthetic pattern or a decoded video file, one frame at a
// time, with the end of the source and failures told apart.
#pragma once

#include <vek/sdk/interface.h>
#include <vekhost/video_frame.h>
#include <optional>
#include <string>

namespace vekhost {

struct SourcedFrame {
    vek::sdk::Ptr<VideoFrame> frame;
    // Presentation time from the start of the source, growing across loops; none when the source
    // has no time of its own.
    std::optional<double> presentationSeconds;
};

struct NextFrame {
    enum class State { frame, ended, failed };
    State state = State::ended;
    SourcedFrame frame;
    std::string error;
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    virtual NextFrame next() = 0;
    // For status lines and the summary.
    virtual std::string description() const = 0;
};

}  // namespace vekhost
