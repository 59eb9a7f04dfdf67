// The events a postprocessing pass produces from its own analytics: category, throughput, line
// crossing and object counts, with the captions and description texts the host shows for them.
#pragma once

#include <vek/sdk/analytics/helpers/metadata.h>
#include <cstdint>
#include <string>

namespace vekai {

using EventPtr = vek::sdk::Ptr<vek::sdk::analytics::EventMetadata>;

inline constexpr const char* kFpsEventCaption = "Performance";
inline constexpr const char* kCountedEventCaption = "Objects counted";
inline constexpr const char* kDumpingEventCaption = "Dumping Detected!";
inline constexpr const char* kLineCrossingEventCaption = "Line crossing detected";
inline constexpr const char* kCategoryEventCaption = "Category detected";

struct ThroughputRates {
    double engineInputFps = 0;
    double deviceInputFps = 0;
    double engineOutputFps = 0;
    double deviceOutputFps = 0;
};

EventPtr vekai_make_event(const char* typeId, bool active, const char* caption, std::string description);

EventPtr vekai_make_category_event(const std::string& className);
// Rates are printed as whole numbers, truncated toward zero.
EventPtr vekai_make_throughput_event(const ThroughputRates& rates);
EventPtr vekai_make_line_crossing_event(uint64_t leftCrossings, uint64_t rightCrossings);
// countLines: one "class: count" line per class, each ending in a line feed.
EventPtr vekai_make_counting_event(const std::string& countLines);

}  // namespace vekai
