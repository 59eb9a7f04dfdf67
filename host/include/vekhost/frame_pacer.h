// When each frame of a camera is due, counted from its first push: at a fixed rate, at the pace
// the file's presentation times give, or at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace vekhost {

struct Pace {
    enum class Mode { fixedRate, filePace, asFastAsPossible };
    Mode mode = Mode::fixedRate;
    // The fixed rate, and the file pace's fallback for frames without a presentation time.
    double framesPerSecond = 25;
};

// None when the frame is due at once.
std::optional<std::chrono::microseconds> dueOffset(const Pace& pace, int64_t frameIndex,
                                                   std::optional<double> presentationSeconds);

}  // namespace vekhost
