#include "corvane/vekai_tracker.h"

#include <vek/sdk/helpers/uuid_helper.h>
#include <algorithm>

#include "utils/plugin_utils.h"

namespace vekai {

namespace {

constexpr float kMinPairIou = 1e-6f;
constexpr int64_t kMinAgeUs = 1000;

struct CandidatePair {
    double score;  // IoU per millisecond since the track was last seen
    uint32_t detection;
    uint32_t track;
};

// The live tracks of a class as plain columns, so that one detection is compared with all of them in
// a loop the compiler turns into vector code.
struct LiveTrackColumns {
    std::vector<uint32_t> index;
    std::vector<float> left, top, right, bottom, area;
    std::vector<double> ageMs;
    std::vector<float> iou;

    void collect(const std::vector<VekAIObject_t>& tracks, int64_t nowUs) {
        for (uint32_t i = 0; i < tracks.size(); ++i) {
            const VekAIObject_t& track = tracks[i];
            if (nowUs - track.lastSeenUs > ObjectTracker::kMatchWindowUs)
                continue;
            const vek::sdk::analytics::Rect& box = track.boundingBox;
            index.push_back(i);
            left.push_back(box.x);
            top.push_back(box.y);
            right.push_back(box.x + box.width);
            bottom.push_back(box.y + box.height);
            area.push_back(box.height * box.width);
            ageMs.push_back(static_cast<double>(std::max(nowUs - track.lastSeenUs, kMinAgeUs)) / 1000.0);
        }
        iou.resize(index.size());
    }

    // The same arithmetic, in the same order, as vekai_calculate_iou(detection, track).
    void overlapWith(const vek::sdk::analytics::Rect& box) {
        const float aLeft = box.x, aTop = box.y;
        const float aRight = box.x + box.width, aBottom = box.y + box.height;
        const float aArea = box.height * box.width;
        const size_t n = index.size();
        for (size_t k = 0; k < n; ++k) {
            const float overlapX = std::max(std::min(aRight, right[k]) - std::max(aLeft, left[k]), 0.0f);
            const float overlapY = std::max(std::min(aBottom, bottom[k]) - std::max(aTop, top[k]), 0.0f);
            const float intersection = overlapX * overlapY;
            const float unionArea = aArea + area[k] - intersection;
            const bool defined = intersection != 0.0f && unionArea > 0.0f;
            // The division runs on every lane; lanes without a defined IoU divide by 1 and are zeroed.
            const float quotient = intersection / (defined ? unionArea : 1.0f);
            iou[k] = defined ? quotient : 0.0f;
        }
    }
};

}  // namespace

ObjectsByClass ObjectTracker::update(const std::string& deviceId, int64_t nowUs,
                                     const DetectionsByClass& detections, VekAITimer& timer) {
    ObjectsByClass reported;
    if (detections.empty())
        return reported;
    DeviceTracks& device = deviceTracks(deviceId, timer);
    std::lock_guard deviceLock(device.mutex);
    timer.lap("device lock");
    for (const auto& [className, classDetections] : detections) {
        if (classDetections.empty())
            continue;
        std::vector<VekAIObjectPtr> classReported;
        matchClass(device.classes[className], className, classDetections, nowUs, classReported);
        if (!classReported.empty())
            reported.emplace(className, std::move(classReported));
    }
    timer.lap("process objects");
    return reported;
}

std::vector<VekAIObject_t> ObjectTracker::tracksOf(const std::string& deviceId,
                                                   const std::string& className) const {
    const DeviceTracks* device = findDeviceTracks(deviceId);
    if (device == nullptr)
        return {};
    std::lock_guard deviceLock(device->mutex);
    const auto found = device->classes.find(className);
    return found == device->classes.end() ? std::vector<VekAIObject_t>{} : found->second;
}

const ObjectTracker::DeviceTracks* ObjectTracker::findDeviceTracks(const std::string& deviceId) const {
    std::shared_lock readLock(tracksLock);
    const auto found = devices.find(deviceId);
    return found == devices.end() ? nullptr : &found->second;
}

ObjectTracker::DeviceTracks& ObjectTracker::deviceTracks(const std::string& deviceId, VekAITimer& timer) {
    DeviceTracks* device = nullptr;
    {
        std::shared_lock readLock(tracksLock);
        const auto found = devices.find(deviceId);
        if (found != devices.end())
            device = &found->second;
    }
    if (device == nullptr) {
        std::unique_lock writeLock(tracksLock);
        device = &devices.try_emplace(deviceId).first->second;
        timer.lap("slow lock");
    }
    timer.lap("map lock");
    return *device;
}

void ObjectTracker::matchClass(std::vector<VekAIObject_t>& tracks, const std::string& className,
                               const std::vector<Detection>& detections, int64_t nowUs,
                               std::vector<VekAIObjectPtr>& reported) const {
    LiveTrackColumns live;
    live.collect(tracks, nowUs);

    std::vector<CandidatePair> pairs;
    for (uint32_t d = 0; d < detections.size(); ++d) {
        live.overlapWith(detections[d].box);
        for (size_t k = 0; k < live.index.size(); ++k) {
            if (live.iou[k] > kMinPairIou)
                pairs.push_back({static_cast<double>(live.iou[k]) / live.ageMs[k], d, live.index[k]});
        }
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const CandidatePair& a, const CandidatePair& b) { return a.score > b.score; });

    std::vector<bool> detectionFree(detections.size(), true);
    std::vector<bool> trackFree(tracks.size(), true);
    for (const CandidatePair& pair : pairs) {
        if (!detectionFree[pair.detection] || !trackFree[pair.track])
            continue;
        detectionFree[pair.detection] = false;
        trackFree[pair.track] = false;
        VekAIObject_t& track = tracks[pair.track];
        track.boundingBox = detections[pair.detection].box;
        track.confidence = detections[pair.detection].score;
        const int64_t previousSeenUs = track.lastSeenUs;
        // Results of one device can be processed out of order; a late one must not move the last
        // sighting back, or the next frame would find the track stale and start a second one.
        track.lastSeenUs = std::max(previousSeenUs, nowUs);
        if (previousSeenUs - track.firstSeenUs > minReportAgeUs && nowUs - previousSeenUs < maxReportGapUs)
            reported.push_back(std::make_shared<VekAIObject_t>(track));
    }

    if (tracks.size() > kMaxTracksPerClass) {
        std::sort(tracks.begin(), tracks.end(),
                  [](const VekAIObject_t& a, const VekAIObject_t& b) { return a.lastSeenUs > b.lastSeenUs; });
        tracks.resize(kTracksKeptAfterTrim);
    }

    std::string typeId;
    for (uint32_t d = 0; d < detections.size(); ++d) {
        if (!detectionFree[d])
            continue;
        if (typeId.empty())
            typeId = Utils::toObjectTypeID(className);
        VekAIObject_t track;
        track.firstSeenUs = nowUs;
        track.lastSeenUs = nowUs;
        track.trackId = vek::sdk::UuidHelper::randomUuid();
        track.typeId = typeId;
        track.boundingBox = detections[d].box;
        // A new track is not reported: it waits for a sighting more than minReportAgeUs later.
        tracks.push_back(std::move(track));
    }
}

}  // namespace vekai
