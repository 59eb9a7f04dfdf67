// Per-device object counts: each class's count is the most frequent of its last ten per-frame
// counts, which steadies the number against objects flickering in and out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "corvane/vekai_analytics_events.h"
#include "corvane/vekai_detected_object.h"

namespace vekai {

class ObjectCounter {
public:
    // The counting event of a frame; none when the frame has no objects. Classes absent from a frame
    // keep their history unchanged.
    EventPtr process(const std::string& deviceId, const ObjectsByClass& objects);

    static constexpr size_t kHistoryLength = 10;

private:
    std::mutex countsMutex;
    std::map<std::string, std::map<std::string, std::deque<uint64_t>>> classCounts;
};

}  // namespace vekai
