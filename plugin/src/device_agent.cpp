#include "device_agent.h"

#include <vek/sdk/helpers/uuid_helper.h>

#include "api_manager.h"
#include "engine.h"
#include "ini_manager.h"
#include "local_settings_manager.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace vek::vms_server_plugins::analytics::vekai {

using namespace vek::sdk;

namespace {

constexpr int64_t kFrameAgeWarningUs = 500000;

std::shared_ptr<DeviceAgentDetails_t> detailsOf(const IDeviceInfo* deviceInfo) {
    const Uuid uuid = UuidHelper::fromStdString(deviceInfo->id() ? deviceInfo->id() : "");
    auto details = std::make_shared<DeviceAgentDetails_t>();
    details->deviceId = UuidHelper::toStdString(uuid, UuidHelper::hyphens);
    details->deviceName = deviceInfo->name() ? deviceInfo->name() : "";
    return details;
}

}  // namespace

DeviceAgent::DeviceAgent(const IDeviceInfo* deviceInfo, Engine* engine, const std::string& workDir)
    : ConsumingDeviceAgent(deviceInfo, ini().enableOutput),
      engine(engine),
      workDir(workDir),
      cacheDir(Utils::joinPaths({workDir, "cache"})),
      details(detailsOf(deviceInfo)),
      settings(std::make_shared<const DeviceAgentSettings_t>()),
      lifetimeToken(new LifetimeToken(), [this](LifetimeToken* token) {
          delete token;
          lifetimeTokenGone.set_value();
      }) {
    vekai_vlog_verbose("Device agent started: %s\n", details->deviceId.c_str());
    setPluginStatusParameters(true);
}

DeviceAgent::~DeviceAgent() {
    auto tokenGone = lifetimeTokenGone.get_future();
    lifetimeToken.reset();
    vekai_vlog("Destroying Device Agent %s\n", details->deviceId.c_str());
    // A delivery that locked the token before it was released finishes before members go.
    tokenGone.wait();
    engine->unregisterDeviceAgent(details->deviceId, this);
    vekai_vlog("Setting status parameters...\n");
    setPluginStatusParameters(false);
}

void DeviceAgent::setPluginStatusParameters(bool enabled) {
    auto parameters = Utils::createEmptyParametersObject();
    parameters.vekAI->AddMember("PluginEnabled", enabled, parameters.document->GetAllocator());
    APIManager::patchDeviceParametersFireAndForget(
        engine->utilityProvider(), Utils::finaliseDocument(*parameters.document), details->deviceId);
}

void DeviceAgent::setHandler(IDeviceAgent::IHandler* handler) {
    ConsumingDeviceAgent::setHandler(handler);
    handlerSet.store(true);
}

std::shared_ptr<DeviceAgentSettings_t> DeviceAgent::getDeviceSettingsCopy() const {
    const auto current = settings.load();
    return current ? std::make_shared<DeviceAgentSettings_t>(*current)
                   : std::make_shared<DeviceAgentSettings_t>();
}

std::string DeviceAgent::manifestString() const {
    return SettingsManager::generateDeviceAgentManifest(*getDeviceSettingsCopy(), engine->getCorvane());
}

InferenceResultCallback DeviceAgent::resultCallback() {
    std::weak_ptr<LifetimeToken> weakToken = lifetimeToken;
    return [this, weakToken](ObjectPacketPtr objects, EventPacketPtr events,
                             std::vector<BestShotPacketPtr> shots) {
        const auto alive = weakToken.lock();
        if (!alive)
            return;
        handleInferenceOutput(std::move(objects), std::move(events), std::move(shots));
    };
}

void DeviceAgent::handleInferenceOutput(ObjectPacketPtr objects, EventPacketPtr events,
                                        std::vector<BestShotPacketPtr> bestShots) {
    if (objects) {
        pushMetadataPacket(objects.get());
        vekai_vlog("Device %s pushing %d packets.\n", details->deviceId.c_str(), objects->count());
    }
    if (events)
        pushMetadataPacket(events.get());
    for (const auto& bestShot : bestShots) {
        if (bestShot)
            pushMetadataPacket(bestShot.get());
    }
}

bool DeviceAgent::pushUncompressedVideoFrame(vek::sdk::analytics::IUncompressedVideoFrame1* frame) {
    VekAITimer timer("pushUncompressedVideoFrame");
    vekai_vlog_verbose("Device %s received uncompressed frame.\n", details->deviceId.c_str());

    const auto currentSettings = settings.load();
    if (!currentSettings) {
        vekai_vlog("Warning! Device agent does not have settings!\n");
        return true;
    }
    if (!engine->getRegistrationManager().isConnected())
        return true;
    if (!currentSettings->active && !ini().sendFramesOverride)
        return true;

    const int64_t now = vekai_current_timestamp_us();
    const int64_t frameTime = frame->timestampUs();
    vekai_vlog_verbose("Logged frame time.\n");
    if (now - frameTime > kFrameAgeWarningUs) {
        vekai_vlog("Warning! Frame age over 500ms. Time now:  %zu  Frame time: %zu Device: %s\n",
                   static_cast<size_t>(now), static_cast<size_t>(frameTime), details->deviceId.c_str());
    }

    engine->getCorvane().sendInputMessage(shareToPtr(frame), currentSettings, details, resultCallback());
    timer.lap("sendInputMessage");
    return true;
}

void DeviceAgent::processDeviceParameters(const rapidjson::Value&,
                                          const std::map<std::string, std::shared_ptr<ModelDetails_t>>&,
                                          const ::vekai::ExternalPreprocessorTable&,
                                          const ::vekai::ExternalPostprocessorTable&, MessagingManager&) {
    vekai_vlog_verbose("Device %s parameters received.\n", details->deviceId.c_str());
}

bool DeviceAgent::pullMetadataPackets(MetadataPacketList*) {
    return true;
}

void DeviceAgent::doSetNeededMetadataTypes(Result<void>* outResult,
                                           const vek::sdk::analytics::IMetadataTypes*) {
    *outResult = {};
}

}  // namespace vek::vms_server_plugins::analytics::vekai
