// Line crossing counts per device: which side of the stage's line each track's box centre is on,
// and how often tracks cross the segment in either direction.
#pragma once

#include <vek/sdk/uuid.h>
#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "corvane/vekai_analytics_events.h"
#include "corvane/vekai_detected_object.h"

namespace vekai {

struct LineCrossingTrack {
    vek::sdk::Uuid trackId;
    float x = 0;
    float y = 0;
    // Negative exactly when the centre projects strictly between the line's end points.
    float span = 0;
    // Cross product of the line with the centre: which side the centre is on.
    float side = 0;
    int64_t lastSeenUs = 0;
};

class LineCrossingCounter {
public:
    // line: x1, y1, x2, y2 in frame fractions. Once a device has counted a crossing, every later
    // frame gives the event with the totals.
    EventPtr process(const std::string& deviceId, int64_t nowUs, const std::array<float, 4>& line,
                     const ObjectsByClass& objects);

    // Records unseen for longer are forgotten.
    static constexpr int64_t kForgetAfterUs = 1000000;

private:
    std::mutex mutex;
    std::map<std::string, std::vector<LineCrossingTrack>> crossingTracks;
    std::map<std::string, uint64_t> leftCrossings;
    std::map<std::string, uint64_t> rightCrossings;
};

}  // namespace vekai
