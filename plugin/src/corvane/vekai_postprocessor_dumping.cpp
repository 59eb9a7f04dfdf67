// Dumping detection and the reference run inside the postprocessing pass.
#include <algorithm>
#include <cmath>

#include "corvane/vekai_box_geometry.h"
#include "corvane/vekai_event_types.h"
#include "corvane/vekai_postprocessor.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace vekai {

using vek::sdk::analytics::Attribute;
using vek::sdk::analytics::Rect;

namespace {

constexpr const char* kStationaryTime = "Stationary time";
constexpr const char* kDumpedObject = "Dumped Object";
constexpr int64_t kMicrosecondsPerSecond = 1000000;

std::array<float, 2> centreOf(const Rect& box) {
    return {box.x + box.width / 2, box.y + box.height / 2};
}

bool overlapsAny(const std::vector<Rect>& boxes, const Rect& box, double iouThreshold) {
    return std::any_of(boxes.begin(), boxes.end(), [&](const Rect& known) {
        return static_cast<double>(vekai_calculate_iou(known, box)) > iouThreshold;
    });
}

bool hasAttribute(const VekAIObject_t& object, const char* name) {
    return std::any_of(object.attributes.begin(), object.attributes.end(),
                       [name](const vek::sdk::Ptr<Attribute>& attribute) {
                           return attribute && std::string_view(attribute->name()) == name;
                       });
}

bool isDumpingAttribute(const vek::sdk::Ptr<Attribute>& attribute) {
    return attribute && (std::string_view(attribute->name()) == kStationaryTime ||
                         std::string_view(attribute->name()) == kDumpedObject);
}

vek::sdk::Ptr<Attribute> makeAttribute(const char* name, std::string value) {
    return vek::sdk::Ptr<Attribute>(new Attribute(Attribute::Type::string, name, std::move(value), 1.0f));
}

}  // namespace

EventPtr PostProcessor::process_dumping(const std::shared_ptr<InferenceInput_t>& request,
                                        const ObjectsByClass& objects) {
    if (objects.empty() || !request || !request->details || request->stage == nullptr ||
        !request->stage->dumpingSettings)
        return {};
    const pipeline_stage_parameters_t& stage = *request->stage;
    const DumpingDetectionSettings_t& settings = *stage.dumpingSettings;
    const std::string& deviceId = request->details->deviceId;
    const int64_t nowUs = request->timestampUs;

    std::lock_guard requestsLock(dumpingRequestsMutex);
    if (const auto pending = referenceRunRequests.find(deviceId); pending != referenceRunRequests.end() &&
                                                                  !pending->second.empty() &&
                                                                  pending->second == stage.stageId) {
        doReferenceRun(request, objects);
        pending->second.clear();
        return {};
    }
    const auto watched = objects.find(settings.objectType);
    if (watched == objects.end())
        return {};

    std::lock_guard stateLock(dumpingStateMutex);
    std::map<vek::sdk::Uuid, DumpingObjectState_t>& states = dumpingStates[deviceId];
    const std::vector<Rect>& known = knownBoxes[deviceId];
    const double distanceLimit = settings.distanceThreshold * settings.distanceThreshold;
    bool raise = false;
    for (const VekAIObjectPtr& object : watched->second) {
        if (overlapsAny(known, object->boundingBox, settings.iouThreshold)) {
            // Part of the scene as it should be: a track marked before the reference run loses the marks.
            if (std::erase_if(object->attributes, isDumpingAttribute) > 0)
                objectTracker.replaceTrackAttributes(deviceId, watched->first, object->trackId,
                                                     object->attributes);
            continue;
        }
        const std::array<float, 2> centre = centreOf(object->boundingBox);
        const auto found = states.find(object->trackId);
        if (found == states.end()) {
            states.emplace(object->trackId, DumpingObjectState_t{nowUs, centre, 0, nowUs});
            continue;
        }
        DumpingObjectState_t& state = found->second;
        state.lastSeenUs = std::max(state.lastSeenUs, nowUs);
        std::erase_if(object->attributes, [](const vek::sdk::Ptr<Attribute>& attribute) {
            return attribute && std::string_view(attribute->name()) == kStationaryTime;
        });
        const double dx = static_cast<double>(centre[0]) - static_cast<double>(state.centre[0]);
        const double dy = static_cast<double>(centre[1]) - static_cast<double>(state.centre[1]);
        if (dx * dx + dy * dy > distanceLimit) {
            state.centre = centre;
            state.stationarySinceUs = nowUs;
        } else {
            const int64_t elapsedUs = nowUs - state.stationarySinceUs;
            object->attributes.push_back(
                makeAttribute(kStationaryTime, std::to_string(elapsedUs / kMicrosecondsPerSecond) + " s"));
            if (elapsedUs >= settings.timeThresholdUs) {
                if (!hasAttribute(*object, kDumpedObject))
                    object->attributes.push_back(makeAttribute(kDumpedObject, "True"));
                // The event repeats for a resting object only every dumpingEventIntervalUs.
                if (state.eventStampUs == 0 || nowUs - state.eventStampUs > dumpingEventIntervalUs) {
                    state.eventStampUs = nowUs;
                    raise = true;
                }
            }
        }
        // Later frames report copies of the track; they carry what this frame decided.
        objectTracker.replaceTrackAttributes(deviceId, watched->first, object->trackId, object->attributes);
    }
    if (states.size() > kDumpingStatesKept) {
        std::erase_if(states, [nowUs](const auto& entry) {
            return nowUs - entry.second.lastSeenUs > kDumpingStateIdleUs;
        });
    }
    if (!raise)
        return {};
    return vekai_make_event(EventTypes::Dumping, true, kDumpingEventCaption,
                            "An object has not moved for longer than " +
                                std::to_string(settings.timeThresholdUs / kMicrosecondsPerSecond) +
                                " seconds.");
}

void PostProcessor::doReferenceRun(const std::shared_ptr<InferenceInput_t>& request,
                                   const ObjectsByClass& objects) {
    const DumpingDetectionSettings_t& settings = *request->stage->dumpingSettings;
    const auto watched = objects.find(settings.objectType);
    if (watched == objects.end())
        return;
    std::lock_guard stateLock(dumpingStateMutex);
    std::vector<Rect>& known = knownBoxes[request->details->deviceId];
    for (const VekAIObjectPtr& object : watched->second) {
        if (!overlapsAny(known, object->boundingBox, settings.iouThreshold))
            known.push_back(object->boundingBox);
    }
}

void PostProcessor::addReferenceRun(const std::string& deviceId, const std::string& stageId) {
    std::lock_guard requestsLock(dumpingRequestsMutex);
    referenceRunRequests[deviceId] = stageId;
}

std::vector<Rect> PostProcessor::dumpingKnownBoxes(const std::string& deviceId) const {
    std::lock_guard stateLock(dumpingStateMutex);
    const auto found = knownBoxes.find(deviceId);
    return found == knownBoxes.end() ? std::vector<Rect>{} : found->second;
}

size_t PostProcessor::dumpingWatchedTracks(const std::string& deviceId) const {
    std::lock_guard stateLock(dumpingStateMutex);
    const auto found = dumpingStates.find(deviceId);
    return found == dumpingStates.end() ? 0 : found->second.size();
}

std::string PostProcessor::dumpingCachePath() const {
    return Utils::joinPaths({workingDirectory, "cache", "dumping_known_bboxes.json"});
}

void PostProcessor::loadDumpingKnownBboxes() {
    vekai_load_dumping_cache(dumpingCachePath(), knownBoxes);
}

void PostProcessor::saveDumpingKnownBboxes() {
    if (knownBoxes.empty())
        return;
    vekai_save_dumping_cache(Utils::joinPaths({workingDirectory, "cache"}), dumpingCachePath(), knownBoxes);
}

}  // namespace vekai
