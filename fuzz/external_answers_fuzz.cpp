// MessagePack answers of external processors: the correlation key the reader routes by, image and
// tensor answers of preprocessors, and objects answers applied to a device's tracked objects.
#include <vek/sdk/helpers/uuid_helper.h>

#include <memory>
#include <span>

#include "corvane/vekai_external_objects.h"
#include "corvane/vekai_tracker.h"
#include "fuzz_support.h"
#include "vekai_utilities/external_processor_utilities.h"

namespace {

vekai::VekAIObjectPtr object(const char* uuid) {
    auto made = std::make_shared<vekai::VekAIObject_t>();
    made->trackId = vek::sdk::UuidHelper::fromStdString(uuid);
    made->typeId = "vek.vekai.forklift";
    made->boundingBox = {0.1f, 0.2f, 0.3f, 0.4f};
    made->confidence = 0.7f;
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> answer(data, size);
    Utils::parseCorrelationKey(answer);
    vekai::parseImagePreprocessorMessage(answer);
    vekai::parseTensorsMessageMpack(answer);

    InferenceInput_t request;
    request.timestampUs = 10;
    request.details = std::make_shared<DeviceAgentDetails_t>(DeviceAgentDetails_t{"cam", "Camera cam"});
    request.parentObject = object("{00000000-0000-0000-0000-0000000000aa}");
    // A tracker of its own per input, so that one answer's new tracks never meet the next input.
    VekAITimer timer{"fuzz"};
    vekai::ObjectTracker tracker;
    tracker.editDeviceTracks("cam", timer, [](vekai::ObjectTracker::TracksByClass& tracks) {
        tracks["forklift"] = {*object("{00000000-0000-0000-0000-000000000001}"),
                              *object("{00000000-0000-0000-0000-000000000002}")};
        tracks["person"] = {*object("{00000000-0000-0000-0000-000000000003}")};
    });
    vekai::deserializeObjectsFromMessagepack(request, answer, tracker, timer);
    return 0;
}
