// The object a postprocessing pass detects and tracks, as it travels to chained stages, external
// postprocessors and the host, and the grouping of a pass's objects by class name.
#pragma once

#include <vek/sdk/analytics/helpers/metadata.h>
#include <vek/sdk/analytics/rect.h>
#include <vek/sdk/uuid.h>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Declared at global scope because the inference records refer to it before this header exists.
struct VekAIObject_t {
    int64_t firstSeenUs = 0;
    int64_t lastSeenUs = 0;
    vek::sdk::Uuid trackId;
    std::string typeId;
    vek::sdk::analytics::Rect boundingBox;  // fractions of the frame
    std::vector<vek::sdk::Ptr<vek::sdk::analytics::Attribute>> attributes;
    float confidence = 0;
    bool skipFeatureExtraction = false;
};

namespace vekai {

using ::VekAIObject_t;
using VekAIObjectPtr = std::shared_ptr<VekAIObject_t>;
// A class is present only with a non-empty vector.
using ObjectsByClass = std::map<std::string, std::vector<VekAIObjectPtr>>;

}  // namespace vekai
