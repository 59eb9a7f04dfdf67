#include "corvane/vekai_tracker.h"

#include <vek/sdk/helpers/uuid_helper.h>
#include <algorithm>

#include "corvane/vekai_iou_columns.h"
#include "utils/plugin_utils.h"

namespace vekai {

namespace {

constexpr float kMinPairIou = 1e-6f;
constexpr int64_t kMinAgeUs = 1000;

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
        matchClass(device.classes[className], className, classDetections, nowUs, device.scratch,
                   classReported);
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

void ObjectTracker::editDeviceTracks(const std::string& deviceId, VekAITimer& timer,
                                     const std::function<void(TracksByClass&)>& edit) {
    DeviceTracks& device = deviceTracks(deviceId, timer);
    std::lock_guard deviceLock(device.mutex);
    timer.lap("device lock");
    edit(device.classes);
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
                               const std::vector<Detection>& detections, int64_t nowUs, MatchScratch& scratch,
                               std::vector<VekAIObjectPtr>& reported) const {
    scratch.live.clear();
    scratch.liveIndex.clear();
    scratch.ageMs.clear();
    for (uint32_t i = 0; i < tracks.size(); ++i) {
        const int64_t sinceUs = nowUs - tracks[i].lastSeenUs;
        if (sinceUs > kMatchWindowUs)
            continue;
        scratch.live.push(tracks[i].boundingBox);
        scratch.liveIndex.push_back(i);
        scratch.ageMs.push_back(static_cast<double>(std::max(sinceUs, kMinAgeUs)) / 1000.0);
    }
    scratch.iou.resize(scratch.liveIndex.size());

    std::vector<CandidatePair>& pairs = scratch.pairs;
    pairs.clear();
    for (uint32_t d = 0; d < detections.size(); ++d) {
        vekai_iou_against_columns(detections[d].box, scratch.live, scratch.iou.data());
        for (size_t k = 0; k < scratch.liveIndex.size(); ++k) {
            if (scratch.iou[k] > kMinPairIou)
                pairs.push_back(
                    {static_cast<double>(scratch.iou[k]) / scratch.ageMs[k], d, scratch.liveIndex[k]});
        }
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const CandidatePair& a, const CandidatePair& b) { return a.score > b.score; });

    std::vector<bool>& detectionFree = scratch.detectionFree;
    std::vector<bool>& trackFree = scratch.trackFree;
    detectionFree.assign(detections.size(), true);
    trackFree.assign(tracks.size(), true);
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

bool ObjectTracker::replaceTrackAttributes(
    const std::string& deviceId, const std::string& className, const vek::sdk::Uuid& trackId,
    std::vector<vek::sdk::Ptr<vek::sdk::analytics::Attribute>> attributes) {
    DeviceTracks* device = nullptr;
    {
        std::shared_lock readLock(tracksLock);
        const auto found = devices.find(deviceId);
        if (found == devices.end())
            return false;
        device = &found->second;
    }
    std::lock_guard deviceLock(device->mutex);
    const auto tracks = device->classes.find(className);
    if (tracks == device->classes.end())
        return false;
    for (VekAIObject_t& track : tracks->second) {
        if (track.trackId == trackId) {
            track.attributes = std::move(attributes);
            return true;
        }
    }
    return false;
}

}  // namespace vekai
