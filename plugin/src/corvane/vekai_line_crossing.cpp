#include "corvane/vekai_line_crossing.h"

#include <algorithm>

namespace vekai {

EventPtr LineCrossingCounter::process(const std::string& deviceId, int64_t nowUs,
                                      const std::array<float, 4>& line, const ObjectsByClass& objects) {
    const auto [x1, y1, x2, y2] = line;
    std::lock_guard lock(mutex);
    if (!leftCrossings.contains(deviceId)) {
        leftCrossings[deviceId] = 0;
        rightCrossings[deviceId] = 0;
        crossingTracks[deviceId].clear();
    }
    uint64_t& left = leftCrossings[deviceId];
    uint64_t& right = rightCrossings[deviceId];
    std::vector<LineCrossingTrack>& records = crossingTracks[deviceId];
    // Forgotten before matching, so that a track coming back after more than a second starts afresh
    // even when no frame in between has cleared its record.
    std::erase_if(records,
                  [nowUs](const LineCrossingTrack& r) { return nowUs - r.lastSeenUs > kForgetAfterUs; });

    for (const auto& [className, classObjects] : objects) {
        for (const VekAIObjectPtr& object : classObjects) {
            const vek::sdk::analytics::Rect& box = object->boundingBox;
            const float px = box.x + box.width * 0.5f;
            const float py = box.y + box.height * 0.5f;
            const float side = (x2 - x1) * (py - y1) - (y2 - y1) * (px - x1);
            const float span = ((px - x2) * (x2 - x1) + (py - y2) * (y2 - y1)) *
                               ((x2 - x1) * (px - x1) + (py - y1) * (y2 - y1));

            const auto found = std::find_if(records.begin(), records.end(), [&](const LineCrossingTrack& r) {
                return r.trackId == object->trackId;
            });
            if (found == records.end()) {
                records.push_back({object->trackId, px, py, span, side, nowUs});
                continue;
            }
            const float previousSpan = found->span;
            const float previousSide = found->side;
            *found = {object->trackId, px, py, span, side, nowUs};
            if (span < 0 && previousSpan < 0 && previousSide * side < 0) {
                if (side > 0)
                    ++left;
                else
                    ++right;
            }
        }
    }

    if (left == 0 && right == 0)
        return {};
    return vekai_make_line_crossing_event(left, right);
}

}  // namespace vekai
