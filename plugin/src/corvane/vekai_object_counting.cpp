#include "corvane/vekai_object_counting.h"

#include <algorithm>

namespace vekai {

namespace {

// Ties go to the value that occurs first (the oldest).
uint64_t mostFrequent(const std::deque<uint64_t>& history) {
    uint64_t best = 0;
    ptrdiff_t bestCount = 0;
    for (const uint64_t value : history) {
        const ptrdiff_t count = std::count(history.begin(), history.end(), value);
        if (count > bestCount) {
            best = value;
            bestCount = count;
        }
    }
    return best;
}

}  // namespace

EventPtr ObjectCounter::process(const std::string& deviceId, const ObjectsByClass& objects) {
    if (objects.empty())
        return {};
    std::lock_guard lock(countsMutex);
    auto& deviceCounts = classCounts[deviceId];
    std::string lines;
    for (const auto& [className, classObjects] : objects) {
        std::deque<uint64_t>& history = deviceCounts[className];
        history.push_back(classObjects.size());
        if (history.size() > kHistoryLength)
            history.pop_front();
        lines += className + ": " + std::to_string(mostFrequent(history)) + "\n";
    }
    return vekai_make_counting_event(lines);
}

}  // namespace vekai
