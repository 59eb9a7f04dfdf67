// The postprocessing pass of one inference result: decoding, tracked objects in frame coordinates,
// masks, and the events of the frame, in the form the device agent sends to the host.
#pragma once

#include <vek/sdk/analytics/helpers/metadata.h>
#include <vek/sdk/analytics/rect.h>
#include <vek/sdk/uuid.h>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvane/vekai_analytics_events.h"
#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_detected_object.h"
#include "corvane/vekai_external_processors.h"
#include "corvane/vekai_line_crossing.h"
#include "corvane/vekai_object_counting.h"
#include "corvane/vekai_tracker.h"

namespace vekai {

// Supplied only by an external objects postprocessor.
struct BestShot_t {
    vek::sdk::Uuid trackId;
    std::optional<vek::sdk::analytics::Rect> boundingBox;
};

struct PostprocessingOutput_t {
    ObjectsByClass objects;
    std::vector<EventPtr> events;  // in the order they were produced
    std::vector<BestShot_t> bestShots;
};

class PostProcessor {
public:
    explicit PostProcessor(std::string workingDirectory);

    // Starts the external postprocessors, then loads what dumping detection keeps on disk.
    void initialize();

    // One pass over a result; the result's tensor set may be replaced (external tensor
    // postprocessors, raw decoding). Safe to run on several threads at once.
    PostprocessingOutput_t process(InferenceOutput_t& result);

    // The tracked objects to report for this frame, by class name.
    ObjectsByClass process_objects(const std::shared_ptr<InferenceInput_t>& request, const Tensors* tensors);
    static std::vector<VekAIObjectPtr> filter_objects_by_masks(const std::vector<VekAIObjectPtr>& objects,
                                                               const std::vector<MaskSettings_t>& masks);
    EventPtr process_scores(const std::shared_ptr<InferenceInput_t>& request, const Tensors* tensors);
    EventPtr processThroughput(const InferenceOutput_t& result);
    EventPtr process_linecrossing(const std::shared_ptr<InferenceInput_t>& request,
                                  const ObjectsByClass& objects);
    EventPtr process_object_counting(const std::shared_ptr<InferenceInput_t>& request,
                                     const ObjectsByClass& objects);

    static vek::sdk::Ptr<vek::sdk::analytics::ObjectMetadata> createObjectMetadata(
        const VekAIObject_t& object);

    const ObjectTracker& tracker() const { return objectTracker; }

    // External postprocessors: the programs declared under the working directory, started once.
    void initializeExternalPostprocessors();
    // A set that replaces the result's tensors, or null to keep them.
    TensorsPtr handleTensorPostprocessors(const InferenceOutput_t& result);
    std::optional<PostprocessingOutput_t> handleObjectsPostprocessors(
        const std::shared_ptr<InferenceInput_t>& request, const ObjectsByClass& objects,
        const std::vector<EventPtr>& events, const Tensors* tensors);
    const ExternalPostprocessorTable& getExternalPostprocessors() const { return externalPostprocessors; }

    // Dumping detection hooks: until dumping detection is provided, it keeps nothing and raises nothing.
    void loadDumpingKnownBboxes();
    EventPtr process_dumping(const std::shared_ptr<InferenceInput_t>& request, const ObjectsByClass& objects);

private:
    const std::string workingDirectory;
    ExternalPostprocessorTable externalPostprocessors;
    ObjectTracker objectTracker;
    LineCrossingCounter lineCrossing;
    ObjectCounter objectCounter;
    // Steady-clock nanoseconds of the last throughput log line.
    std::atomic<int64_t> lastThroughputLog{0};
};

}  // namespace vekai
