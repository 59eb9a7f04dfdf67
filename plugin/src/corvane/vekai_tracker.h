// Per-device, per-class IoU tracker: binds each frame's detections to the tracks of its class and
// decides which tracks have been seen long and recently enough to be reported.
#pragma once

#include <vek/sdk/analytics/rect.h>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "corvane/vekai_detected_object.h"
#include "corvane/vekai_iou_columns.h"
#include "vekai_utilities/vekai_utils.h"

namespace vekai {

struct Detection {
    vek::sdk::analytics::Rect box;  // fractions of the frame
    float score = 0;
};

using DetectionsByClass = std::map<std::string, std::vector<Detection>>;

class ObjectTracker {
public:
    // Matches every class that has detections against the device's tracks of that class and returns
    // the tracks to report. Reported objects are copies taken under the device's lock, so callers
    // can read them while later frames of the same device update the tracks.
    ObjectsByClass update(const std::string& deviceId, int64_t nowUs, const DetectionsByClass& detections,
                          VekAITimer& timer);

    // Copies of the tracks of one class of one device, in store order.
    std::vector<VekAIObject_t> tracksOf(const std::string& deviceId, const std::string& className) const;

    // Gives the track the attributes its later reported copies carry; false when the device has no
    // such track (never seen, or trimmed away).
    bool replaceTrackAttributes(const std::string& deviceId, const std::string& className,
                                const vek::sdk::Uuid& trackId,
                                std::vector<vek::sdk::Ptr<vek::sdk::analytics::Attribute>> attributes);

    // A track is reported once it is older than this when matched again...
    const int64_t minReportAgeUs = 100000;
    // ...and only when its previous sighting is more recent than this.
    const int64_t maxReportGapUs = 500000;
    // Tracks unseen for longer are no longer matched.
    static constexpr int64_t kMatchWindowUs = 1000000;
    // A class with more tracks keeps only the most recently seen ones.
    static constexpr size_t kMaxTracksPerClass = 100;
    static constexpr size_t kTracksKeptAfterTrim = 70;

    using TracksByClass = std::map<std::string, std::vector<VekAIObject_t>>;
    // Lets an external objects postprocessor's answer change the device's tracks (and add new ones)
    // under the lock that serialises the device's tracking, so that the changes last into later
    // frames. The device's entry is created when it has none yet.
    void editDeviceTracks(const std::string& deviceId, VekAITimer& timer,
                          const std::function<void(TracksByClass&)>& edit);

private:
    struct CandidatePair {
        double score;  // IoU per millisecond since the track was last seen
        uint32_t detection;
        uint32_t track;
    };

    // Working storage of one matching, kept with the device so that its passes reuse the memory.
    struct MatchScratch {
        BoxColumns live;  // boxes of the tracks still in the matching window
        std::vector<uint32_t> liveIndex;
        std::vector<double> ageMs;
        std::vector<float> iou;
        std::vector<CandidatePair> pairs;
        std::vector<bool> detectionFree;
        std::vector<bool> trackFree;
    };

    struct DeviceTracks {
        // Serialises all track work of the device.
        mutable std::mutex mutex;
        std::map<std::string, std::vector<VekAIObject_t>> classes;
        MatchScratch scratch;
    };

    DeviceTracks& deviceTracks(const std::string& deviceId, VekAITimer& timer);
    const DeviceTracks* findDeviceTracks(const std::string& deviceId) const;
    void matchClass(std::vector<VekAIObject_t>& tracks, const std::string& className,
                    const std::vector<Detection>& detections, int64_t nowUs, MatchScratch& scratch,
                    std::vector<VekAIObjectPtr>& reported) const;

    // Guards the device map itself, never the tracks inside; never held while a device mutex is taken.
    mutable std::shared_mutex tracksLock;
    // Entries are created on first use and never removed, so references to them stay valid.
    std::map<std::string, DeviceTracks> devices;
};

}  // namespace vekai
