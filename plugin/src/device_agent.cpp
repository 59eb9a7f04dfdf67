#include "device_agent.h"

#include <vek/sdk/helpers/string.h>
#include <vek/sdk/helpers/uuid_helper.h>

#include "api_manager.h"
#include "engine.h"
#include "ini_manager.h"
#include "local_settings_manager.h"
#include "model_assignment.h"
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
    cachedSettings = loadSettingsCache();
    vekai_vlog_verbose("Device agent started: %s\n", details->deviceId.c_str());
    setPluginStatusParameters(true);
}

DeviceAgent::~DeviceAgent() {
    stopPipelineFetch();
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

void DeviceAgent::processDeviceParameters(
    const rapidjson::Value& device, const std::map<std::string, std::shared_ptr<ModelDetails_t>>& models,
    const ::vekai::ExternalPreprocessorTable& externalPreprocessors,
    const ::vekai::ExternalPostprocessorTable& externalPostprocessors, MessagingManager& messages) {
    const rapidjson::Value* vekAI = nullptr;
    if (device.IsObject()) {
        const auto parameters = device.FindMember("parameters");
        if (parameters != device.MemberEnd() && parameters->value.IsObject()) {
            const auto found = parameters->value.FindMember("vekAI");
            if (found != parameters->value.MemberEnd() && found->value.IsObject() &&
                found->value.MemberCount() > 0)
                vekAI = &found->value;
        }
    }
    if (!vekAI || !vekAI->HasMember("pipelines")) {
        vekai_vlog_verbose("Notice: Device %s processing parameters but not initialized yet.\n",
                           details->deviceId.c_str());
        return;
    }
    const auto deviceAdmin = vekAI->FindMember("deviceAdmin");
    const bool hasAdmin = deviceAdmin != vekAI->MemberEnd() && deviceAdmin->value.IsString();
    const std::string adminText = hasAdmin ? deviceAdmin->value.GetString() : "";
    vekai_vlog("Got device admin from parameters: %s\n", adminText.c_str());

    std::string adminUrl;
    if (const char* adminOverride = ini().DeviceAdminOverride; adminOverride && *adminOverride) {
        const auto provider = engine->utilityProvider();
        const std::string systemId = provider ? takeString(provider->cloudSystemId()) : std::string();
        adminUrl = std::string(adminOverride) + "/system/" + systemId + "/device/" + details->deviceId;
        vekai_vlog("Received override device admin: %s\n", adminUrl.c_str());
    } else if (hasAdmin) {
        adminUrl = adminText;
    } else {
        vekai_vlog("Error! Device %s does not have an Admin URL!\n", details->deviceId.c_str());
        return;
    }

    const rapidjson::Value& pipelines = (*vekAI)["pipelines"];
    if (!pipelines.IsArray()) {
        vekai_vlog("Error! Device agent received invalid pipeline structure.\n");
        return;
    }
    auto parsed = ModelAssignment::parsePipelineNodes(
        &pipelines, "", details->deviceId, models, externalPreprocessors, externalPostprocessors, messages);
    if (!parsed.failed)
        messages.removeMessage("PARSE_PIPELINE");

    std::lock_guard updateLock(settingsUpdateMutex);
    auto updated = getDeviceSettingsCopy();
    updated->stages = std::move(parsed.stages);
    updated->selectedPipeline = "Custom";
    const auto selected = vekAI->FindMember("selectedPipeline");
    if (selected != vekAI->MemberEnd() && selected->value.IsString())
        updated->selectedPipeline = selected->value.GetString();
    {
        std::lock_guard cacheLock(cachedSettingsMutex);
        if (const auto cached = cachedSettings.find("selectedPipeline"); cached != cachedSettings.end())
            cached->second = updated->selectedPipeline;
    }
    updated->deviceAdminUrl = adminUrl;
    updated->parametersReceived = true;

    const std::string manifest = SettingsManager::generateDeviceAgentManifest(*updated, engine->getCorvane());
    if (handlerSet.load())
        pushManifest(manifest);
    processGUISettings(*updated);
    settings.store(std::move(updated));
}

void DeviceAgent::ensurePipelinesFetched(RegistrationManager::FetchCancellationHandle* handle) {
    if (const auto current = settings.load(); current && !current->availablePipelines.empty())
        return;
    auto pipelines = RegistrationManager::fetchDeviceAvailablePipelines(engine->utilityProvider(),
                                                                        details->deviceId, handle);
    if (pipelines.empty()) {
        vekai_vlog("Warning! Device %s failed to fetch pipelines.\n", details->deviceId.c_str());
        return;
    }
    std::lock_guard updateLock(settingsUpdateMutex);
    auto updated = getDeviceSettingsCopy();
    if (!updated->availablePipelines.empty())
        return;
    updated->availablePipelines.assign(pipelines.begin(), pipelines.end());
    const size_t count = updated->availablePipelines.size();
    settings.store(std::move(updated));
    vekai_vlog_verbose("Device %s got %zu available pipelines.\n", details->deviceId.c_str(), count);
}

bool DeviceAgent::pullMetadataPackets(MetadataPacketList*) {
    return true;
}

void DeviceAgent::doSetNeededMetadataTypes(Result<void>* outResult,
                                           const vek::sdk::analytics::IMetadataTypes*) {
    *outResult = {};
}

}  // namespace vek::vms_server_plugins::analytics::vekai
