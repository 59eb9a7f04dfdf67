#include "corvane/vekai_analytics_events.h"

#include <cmath>
#include <limits>

#include "corvane/vekai_event_types.h"

namespace vekai {

namespace {

// Rates come from timing arithmetic; a non-finite or huge value must not reach an integer conversion.
std::string wholeRate(double rate) {
    if (!std::isfinite(rate))
        return "0";
    constexpr double kLargest = static_cast<double>(std::numeric_limits<int64_t>::max());
    if (std::fabs(rate) >= kLargest)
        return std::to_string(rate < 0 ? std::numeric_limits<int64_t>::min()
                                       : std::numeric_limits<int64_t>::max());
    return std::to_string(static_cast<int64_t>(rate));
}

}  // namespace

EventPtr vekai_make_event(const char* typeId, bool active, const char* caption, std::string description) {
    EventPtr event(new vek::sdk::analytics::EventMetadata());
    event->setTypeId(typeId);
    event->setIsActive(active);
    event->setCaption(caption);
    event->setDescription(std::move(description));
    return event;
}

EventPtr vekai_make_category_event(const std::string& className) {
    return vekai_make_event(EventTypes::Category, true, kCategoryEventCaption, "\n" + className + "\n");
}

EventPtr vekai_make_throughput_event(const ThroughputRates& rates) {
    std::string description = "\nDevice throughput: " + wholeRate(rates.deviceOutputFps) + " / " +
                              wholeRate(rates.deviceInputFps) +
                              " Inferences/s\nServer throughput: " + wholeRate(rates.engineOutputFps) +
                              " / " + wholeRate(rates.engineInputFps) + " Inferences/s\n";
    return vekai_make_event(EventTypes::Fps, false, kFpsEventCaption, std::move(description));
}

EventPtr vekai_make_line_crossing_event(uint64_t leftCrossings, uint64_t rightCrossings) {
    return vekai_make_event(
        EventTypes::LineCrossing, true, kLineCrossingEventCaption,
        "Left: " + std::to_string(leftCrossings) + "\nRight: " + std::to_string(rightCrossings));
}

EventPtr vekai_make_counting_event(const std::string& countLines) {
    return vekai_make_event(EventTypes::Counted, true, kCountedEventCaption, "\n" + countLines);
}

}  // namespace vekai
