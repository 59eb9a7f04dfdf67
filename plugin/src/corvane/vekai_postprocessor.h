// The postprocessing pass of one inference result: decoding, tracked objects in frame coordinates,
// masks, and the events of the frame, in the form the device agent sends to the host.
#pragma once

#include <vek/sdk/analytics/helpers/metadata.h>
#include <vek/sdk/analytics/rect.h>
#include <vek/sdk/uuid.h>
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "corvane/vekai_analytics_events.h"
#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_detected_object.h"
#include "corvane/vekai_dumping_cache.h"
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
    // Writes the dumping reference boxes back to their cache file.
    ~PostProcessor();
    PostProcessor(const PostProcessor&) = delete;
    PostProcessor& operator=(const PostProcessor&) = delete;

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

    // Dumping detection: objects of the stage's watched class resting in place get "Stationary time"
    // and, past the threshold, "Dumped Object" and the frame's dumping event; objects overlapping a
    // box recorded by a reference run are never reported.
    struct DumpingObjectState_t {
        int64_t stationarySinceUs = 0;
        std::array<float, 2> centre{0, 0};
        // When the object last raised the event; 0 while it never has.
        int64_t eventStampUs = 0;
        int64_t lastSeenUs = 0;
    };
    EventPtr process_dumping(const std::shared_ptr<InferenceInput_t>& request, const ObjectsByClass& objects);
    // Records the device's next pass of the stage as the scene as it should be.
    void addReferenceRun(const std::string& deviceId, const std::string& stageId);
    void loadDumpingKnownBboxes();
    void saveDumpingKnownBboxes();
    std::vector<vek::sdk::analytics::Rect> dumpingKnownBoxes(const std::string& deviceId) const;
    size_t dumpingWatchedTracks(const std::string& deviceId) const;
    // Tracks that vanished are forgotten once a device watches more than this many...
    static constexpr size_t kDumpingStatesKept = 256;
    // ...when unseen for this long; the tracker never brings such a track back.
    static constexpr int64_t kDumpingStateIdleUs = 10000000;
    // Shortest time between two dumping events raised by the same object.
    const int64_t dumpingEventIntervalUs = 5000000;

private:
    void doReferenceRun(const std::shared_ptr<InferenceInput_t>& request, const ObjectsByClass& objects);
    std::string dumpingCachePath() const;

    const std::string workingDirectory;
    ExternalPostprocessorTable externalPostprocessors;
    ObjectTracker objectTracker;
    LineCrossingCounter lineCrossing;
    ObjectCounter objectCounter;
    // Steady-clock nanoseconds of the last throughput log line.
    std::atomic<int64_t> lastThroughputLog{0};

    // Held for a whole dumping pass, so passes of dumping stages run one at a time; taken before
    // dumpingStateMutex.
    std::mutex dumpingRequestsMutex;
    // Per device, the stage whose next pass is a reference run; empty when none is pending.
    std::map<std::string, std::string> referenceRunRequests;
    mutable std::mutex dumpingStateMutex;
    std::map<std::string, std::map<vek::sdk::Uuid, DumpingObjectState_t>> dumpingStates;
    KnownBoxes knownBoxes;
};

}  // namespace vekai
