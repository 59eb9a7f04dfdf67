#include <vekhost/frame_pacer.h>

#include <algorithm>
#include <cmath>

namespace vekhost {
namespace {

std::chrono::microseconds fromSeconds(double seconds) {
    return std::chrono::microseconds(static_cast<int64_t>(std::llround(seconds * 1e6)));
}

}  // namespace

std::optional<std::chrono::microseconds> dueOffset(const Pace& pace, int64_t frameIndex,
                                                   std::optional<double> presentationSeconds) {
    switch (pace.mode) {
        case Pace::Mode::asFastAsPossible:
            return std::nullopt;
        case Pace::Mode::filePace:
            if (presentationSeconds)
                return fromSeconds(std::max(0.0, *presentationSeconds));
            [[fallthrough]];
        case Pace::Mode::fixedRate:
            if (pace.framesPerSecond <= 0)
                return std::nullopt;
            return fromSeconds(static_cast<double>(frameIndex) / pace.framesPerSecond);
    }
    return std::nullopt;
}

}  // namespace vekhost
