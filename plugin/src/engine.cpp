#include "engine.h"

#include <vek/sdk/helpers/settings_response.h>
#include <vek/sdk/helpers/string.h>
#include <chrono>
#include <optional>
#include <stdexcept>

#include "api_manager.h"
#include "device_agent.h"
#include "ini_manager.h"
#include "local_settings_manager.h"
#include "model_assignment.h"
#include "plugin.h"
#include "utils/bounded_json.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace vek::vms_server_plugins::analytics::vekai {

using namespace vek::sdk;
using namespace std::chrono_literals;

Engine::Engine(Plugin* plugin, const std::string& workDir, const std::string& homeDir)
    : vek::sdk::analytics::Engine(ini().enableOutput),
      plugin(vek::sdk::shareToPtr(plugin)),
      workDir(workDir),
      homeDir(homeDir),
      runtimesManager(std::make_unique<RuntimesManager>(workDir)),
      corvane(std::make_unique<CorvaneInterface>(workDir, homeDir, messagingManager)),
      downloadManager(std::make_unique<DownloadManager>(workDir, messagingManager)) {
    runtimesManager->initialize(messagingManager);
    vekai_vlog("Initialized engine. Plugin version: %s\n", kPluginVersion);
}

Engine::~Engine() {
    corvane->requestExternalProcessorsShutdown();
    vekai_vlog("Destroying Corvane Engine...\n");
    shuttingDown.store(true);
    downloadManager->requestStop();
    runtimesManager->cancelDownloadRequested.store(true);
    {
        // Taking the lock orders the flag before a waiter's predicate check: no lost wake-up.
        std::lock_guard lock(loopWakeMutex);
    }
    loopWakeCondition.notify_all();
    if (runtimeLoopThread.joinable()) {
        vekai_vlog("Waiting runtime loop to finish...\n");
        runtimeLoopThread.join();
        vekai_vlog("Runtime loop sucessfully finished.\n");
    }
    vekai_vlog("Finalizing logging...\n");
    vekai_finalise_logging();

    downloadManager.reset();
    corvane.reset();
    runtimesManager.reset();
    plugin->engineDestroyed(this);
}

Ptr<IUtilityProvider> Engine::utilityProvider() const {
    if (shuttingDown.load()) {
        vekai_vlog("Warning! Tried to access utility provider while shutting down.\n");
        return {};
    }
    return plugin->utilityProvider();
}

std::string Engine::manifestString() const {
    return SettingsManager::constructEngineManifestString();
}

void Engine::getIntegrationSideSettings(Result<const ISettingsResponse*>* outResult) const {
    std::string model = SettingsManager::constructEngineSettingsModelString(Utils::getServerCustomization());
    if (model.empty()) {
        *outResult = {};
        return;
    }
    *outResult = static_cast<const ISettingsResponse*>(new SettingsResponse(std::move(model)));
}

void Engine::doObtainDeviceAgent(Result<vek::sdk::analytics::IDeviceAgent*>* outResult,
                                 const IDeviceInfo* deviceInfo) {
    if (!deviceInfo || !deviceInfo->id()) {
        *outResult =
            error<vek::sdk::analytics::IDeviceAgent*>(ErrorCode::invalidParams, "No device info given");
        return;
    }
    std::lock_guard lock(deviceAgentsMutex);
    if (!runtimeLoopStarted) {
        corvane->initialize();
        runtimeLoopStarted = true;
        runtimeLoopThread = std::thread([this] { runtimeManagerLoop(); });
    }
    auto* agent = new DeviceAgent(deviceInfo, this, workDir);
    deviceAgents[agent->deviceId()] = agent;
    *outResult = static_cast<vek::sdk::analytics::IDeviceAgent*>(agent);
}

void Engine::unregisterDeviceAgent(const std::string& deviceId, const DeviceAgent* agent) {
    std::lock_guard lock(deviceAgentsMutex);
    const auto found = deviceAgents.find(deviceId);
    // A newer agent of the same device may have replaced this one; it stays registered.
    if (found != deviceAgents.end() && found->second == agent)
        deviceAgents.erase(found);
}

size_t Engine::deviceAgentCount() const {
    std::lock_guard lock(deviceAgentsMutex);
    return deviceAgents.size();
}

bool Engine::isRuntimeLoopStarted() const {
    std::lock_guard lock(deviceAgentsMutex);
    return runtimeLoopStarted;
}

void Engine::wakeLoop() {
    {
        std::lock_guard lock(loopWakeMutex);
        wakeRequested = true;
    }
    loopWakeCondition.notify_one();
}

bool Engine::requestImmediateDeviceParametersRefresh() {
    return requestImmediateDeviceParametersRefresh(ini().DeviceParametersRefreshTimeout);
}

bool Engine::requestImmediateDeviceParametersRefresh(int timeoutSeconds) {
    uint64_t baseline = 0;
    {
        std::lock_guard lock(refreshMutex);
        baseline = processedRefreshCount;
    }
    immediateRefreshRequested.store(true);
    wakeLoop();
    std::unique_lock lock(refreshMutex);
    return refreshProcessedCondition.wait_for(lock, std::chrono::seconds(std::max(timeoutSeconds, 0)),
                                              [&] { return processedRefreshCount > baseline; });
}

void Engine::requestRuntimeReselection() {
    runtimesManager->setState(RuntimeState::RESELECT_REQUESTED);
    messagingManager.clearWarnings();
    messagingManager.removeMessage("RUNTIME_DOCUMENTATION");
}

void Engine::requestDeviceReset(const std::string& deviceId) {
    messagingManager.addMessage("RESET_DEVICE",
                                "Device reset in progress. Please wait a few moments and hit 'Refresh'.",
                                MESSAGE_TYPE::INFO);
    {
        std::lock_guard lock(resetDeviceIdMutex);
        resetDeviceId = deviceId;
    }
    resetRequested.store(true);
    messagingManager.clearWarnings();
}

void Engine::requestAllDeviceReset() {
    requestDeviceReset(std::string());
}

void Engine::requestClearCache() {
    messagingManager.addMessage("CLEAR_CACHE",
                                "Plugin is clearing the cache. Please wait a few moments and hit 'Refresh'.",
                                MESSAGE_TYPE::INFO);
    clearCacheRequested.store(true);
    messagingManager.clearWarnings();
}

void Engine::requestRetryModelDownloads() {
    messagingManager.addMessage(
        "RETRY_DOWNLOADS", "Plugin will retry model downloads. Please wait a few moments and hit 'Refresh'.",
        MESSAGE_TYPE::INFO);
    retryDownloadsRequested.store(true);
    messagingManager.clearWarnings();
}

void Engine::notifyDevicesParametersProcessed() {
    {
        std::lock_guard lock(refreshMutex);
        ++processedRefreshCount;
    }
    refreshProcessedCondition.notify_all();
}

void Engine::runtimeManagerLoop() {
    serverCustomization.store(Utils::getServerCustomization());
    for (bool firstPass = true;; firstPass = false) {
        if (!firstPass) {
            std::unique_lock lock(loopWakeMutex);
            loopWakeCondition.wait_for(lock, 1s, [&] { return wakeRequested || shuttingDown.load(); });
            wakeRequested = false;
        }
        if (shuttingDown.load()) {
            vekai_vlog("Runtime Manager Loop interrupted.\n");
            return;
        }
        try {
            runtimeManagerPass();
        } catch (const std::exception& failure) {
            vekai_vlog("Error in runtimeManagerLoop: %s\n", failure.what());
        } catch (...) {
            vekai_vlog("Unknown error in runtimeManagerLoop\n");
        }
        if (shuttingDown.load()) {
            vekai_vlog("Runtime Manager Loop interrupted.\n");
            return;
        }
    }
}

void Engine::runtimeManagerPass() {
    auto provider = utilityProvider();
    if (!provider) {
        vekai_vlog("Utility provider not ready yet, or shutting down.\n");
        return;
    }

    // A pass that could not read the server's parameters leaves the server unconfigured, so the
    // configuration is retried rather than skipped for the rest of the connection.
    if (!registrationManager.isConnected() || !serverConfigured) {
        if (!registrationManager.isConnected()) {
            vekai_vlog("Checking cloud connection\n");
            registrationManager.checkCloudConnection(provider);
        }
        if (!registrationManager.isConnected()) {
            vekai_vlog("Server/Site not connected to cloud.\n");
            return;
        }
        const auto serverDocument = APIManager::getServerParameters(provider);
        if (!serverDocument) {
            vekai_vlog("Error: Failed to get server parameters from API.\n");
            return;
        }
        const bool firstConfiguration = checkFirstConfiguration(serverDocument.get());
        updateServerParameters();
        serverConfigured = true;
        if (firstConfiguration) {
            vekai_vlog("First time server is being configured. Setting devices to default if necessary.\n");
            RegistrationManager::resetDevicePipelines(provider,
                                                      APIManager::getUninitializedDevices(provider));
            return;
        }
        if (checkSiteIDChange(*serverDocument)) {
            vekai_vlog("Detected change in Site ID! Will reset all initialized devices.\n");
            RegistrationManager::resetDevicePipelines(provider, APIManager::getInitializedDevices(provider));
        }
    }

    if (takeString(provider->cloudSystemId()).empty()) {
        vekai_vlog("Could not get the server cloud ID.\n");
        return;
    }

    const RuntimeStepContext runtimeContext{
        messagingManager,
        [this] { corvane->stopInferenceEngine(); },
        [&provider](const std::string& name, const std::string& mimeType) {
            APIManager::patchRuntimeInformation(provider, name, mimeType);
        },
        [this] { immediateRefreshRequested.store(true); },
    };
    if (!runtimesManager->runtimeStep(runtimeContext))
        return;

    if (resetRequested.exchange(false)) {
        messagingManager.removeMessage("RESET_DEVICE");
        std::string deviceId;
        {
            std::lock_guard lock(resetDeviceIdMutex);
            deviceId = resetDeviceId;
        }
        RegistrationManager::resetDevicePipelines(
            provider, deviceId.empty() ? APIManager::getInitializedDevices(provider) : std::vector{deviceId});
        return;
    }
    if (clearCacheRequested.exchange(false)) {
        messagingManager.removeMessage("CLEAR_CACHE");
        corvane->stopInferenceEngine();
        runtimesManager->deleteAllRuntimes();
        downloadManager->clearModelFiles();
        immediateRefreshRequested.store(true);
        return;
    }
    if (retryDownloadsRequested.exchange(false)) {
        messagingManager.removeMessage("RETRY_DOWNLOADS");
        downloadManager->clearFailedModelDownloads();
        immediateRefreshRequested.store(true);
    }

    const std::string devicesText = APIManager::getDevicesParameters(provider);
    if (devicesText.empty()) {
        vekai_vlog("Warning! Could not get devices parameters to test for changes.\n");
        return;
    }
    const bool refresh = immediateRefreshRequested.exchange(false);
    if (devicesText == lastDevicesParameters && !refresh) {
        notifyDevicesParametersProcessed();
        return;
    }
    lastDevicesParameters = devicesText;
    vekai_vlog("Detected change in devices parameters.\n");
    processDevicesParameters(devicesText);
    notifyDevicesParametersProcessed();

    const auto models = getAssignedModelsCopy();
    provider = utilityProvider();
    if (!provider)
        return;
    const char* token = provider->cloudToken();
    downloadManager->checkModelDownloads(models, token ? token : "");
    corvane->processParameters(models);
}

std::map<std::string, std::shared_ptr<ModelDetails_t>> Engine::getAssignedModelsCopy() {
    std::lock_guard lock(assignedModelsMutex);
    return assignedModels;
}

void Engine::updateServerParameters() {
    vekai_vlog("Updating server parameters...\n");
    const auto provider = utilityProvider();
    auto parameters = Utils::createEmptyParametersObject();
    auto& document = *parameters.document;
    auto& allocator = document.GetAllocator();
    auto& vekAI = *parameters.vekAI;
    const std::string runtimeName = runtimesManager->getInstalledRuntime();
    vekAI.AddMember("pluginVersion", rapidjson::StringRef(kPluginVersion), allocator);
    APIManager::addRuntimeInformation(
        document, vekAI, runtimeName,
        runtimeName.empty() ? std::string() : runtimesManager->getSupportedMIMEType(runtimeName));
    vekAI.AddMember("availablePostprocessors", rapidjson::Value(), allocator);
    vekAI.AddMember("availablePreprocessors", rapidjson::Value(), allocator);
    APIManager::patchServerParameters(provider, Utils::finaliseDocument(document));

    vekAI.RemoveMember("availablePostprocessors");
    vekAI.RemoveMember("availablePreprocessors");
    rapidjson::Value preprocessors(rapidjson::kObjectType);
    for (const auto& [name, processor] : corvane->getExternalPreprocessors())
        preprocessors.AddMember(rapidjson::Value(name.c_str(), allocator),
                                rapidjson::Value(name.c_str(), allocator), allocator);
    rapidjson::Value postprocessors(rapidjson::kObjectType);
    for (const auto& [name, processor] : corvane->getExternalPostprocessors())
        postprocessors.AddMember(rapidjson::Value(name.c_str(), allocator),
                                 rapidjson::Value(name.c_str(), allocator), allocator);
    const std::pair<const char*, const char*> builtIn[] = {{"LineCrossing", "Line Crossing"},
                                                           {"Object Counting", "Object Counting"},
                                                           {"Illegal Dumping", "Illegal Dumping"},
                                                           {"LoiteringDetection", "Loitering Detection"}};
    for (const auto& [name, caption] : builtIn)
        postprocessors.AddMember(rapidjson::StringRef(name), rapidjson::StringRef(caption), allocator);
    vekAI.AddMember("availablePreprocessors", preprocessors, allocator);
    vekAI.AddMember("availablePostprocessors", postprocessors, allocator);
    if (provider) {
        const std::string siteId = takeString(provider->cloudSystemId());
        if (!siteId.empty())
            vekAI.AddMember("siteID", rapidjson::Value(siteId.c_str(), allocator), allocator);
    }
    const std::string body = Utils::finaliseDocument(document);
    vekai_vlog_verbose("Patching server parameters: %s\n", body.c_str());
    APIManager::patchServerParameters(provider, body);
}

bool Engine::checkFirstConfiguration(const rapidjson::Document* serverDocument) const {
    if (!serverDocument || !serverDocument->IsObject() || serverDocument->MemberCount() == 0)
        return true;
    const auto parameters = serverDocument->FindMember("parameters");
    if (parameters == serverDocument->MemberEnd() || !parameters->value.IsObject() ||
        parameters->value.MemberCount() == 0)
        return true;
    return !parameters->value.HasMember("vekAI");
}

bool Engine::checkSiteIDChange(const rapidjson::Document& serverDocument) {
    std::optional<std::string> recorded;
    if (serverDocument.IsObject() && serverDocument.MemberCount() > 0 &&
        serverDocument.HasMember("parameters")) {
        const auto& parameters = serverDocument["parameters"];
        if (parameters.IsObject() && parameters.MemberCount() > 0 && parameters.HasMember("vekAI")) {
            const auto& vekAI = parameters["vekAI"];
            if (vekAI.IsObject() && vekAI.MemberCount() > 0 && vekAI.HasMember("siteID") &&
                vekAI["siteID"].IsString())
                recorded = vekAI["siteID"].GetString();
        }
    }
    const auto provider = utilityProvider();
    const std::string current = provider ? takeString(provider->cloudSystemId()) : std::string();
    if (current.empty()) {
        vekai_vlog("Warning! Could not get cloud system ID to check for changes. Assuming unchanged.\n");
        return false;
    }
    if (!recorded) {
        vekai_vlog("Site ID not saved in parameters yet. Assuming unchanged.\n");
        return false;
    }
    if (Utils::compareIDs(*recorded, current)) {
        vekai_vlog_verbose("Site ID didn't change\n");
        return false;
    }
    vekai_vlog("Detected site ID change! %s -> %s\n", recorded->c_str(), current.c_str());
    return true;
}

void Engine::processDevicesParameters(const std::string& devicesText) {
    std::lock_guard modelsLock(assignedModelsMutex);
    rapidjson::Document devices;
    if (Utils::parseBoundedJson(devices, devicesText).HasParseError()) {
        vekai_vlog("Error: Failed to parse devices parameters JSON.\n");
        return;
    }
    checkForUninitialisedDevices(devices);
    parseAssignedModels(devices);

    std::lock_guard agentsLock(deviceAgentsMutex);
    if (!devices.IsArray() || devices.Empty())
        return;
    for (const auto& device : devices.GetArray()) {
        if (!device.IsObject() || !device.HasMember("id") || !device["id"].IsString())
            continue;
        const std::string id(device["id"].GetString(), device["id"].GetStringLength());
        const auto agent = deviceAgents.find(id);
        if (agent == deviceAgents.end())
            continue;
        agent->second->processDeviceParameters(device, assignedModels, corvane->getExternalPreprocessors(),
                                               corvane->getExternalPostprocessors(), messagingManager);
    }
}

void Engine::checkForUninitialisedDevices(const rapidjson::Document& devices) {
    std::vector<std::string> uninitialised;
    if (devices.IsArray()) {
        for (const auto& device : devices.GetArray()) {
            if (!device.IsObject() || !device.HasMember("id") || !device["id"].IsString() ||
                !device.HasMember("parameters"))
                continue;
            const auto& parameters = device["parameters"];
            if (!parameters.IsObject() || parameters.MemberCount() == 0 || !parameters.HasMember("vekAI"))
                continue;
            const auto& vekAI = parameters["vekAI"];
            const bool configured = vekAI.IsObject() && vekAI.MemberCount() > 0 &&
                                    vekAI.HasMember("models") && vekAI.HasMember("pipelines");
            if (!configured)
                uninitialised.emplace_back(device["id"].GetString());
        }
    }
    if (!uninitialised.empty())
        RegistrationManager::resetDevicePipelines(utilityProvider(), uninitialised);
}

void Engine::parseAssignedModels(const rapidjson::Document& devices) {
    ModelAssignment::DownloadContext context;
    context.runtimeName = runtimesManager->getInstalledRuntime();
    context.mimeType = runtimesManager->getSupportedMIMEType(context.runtimeName);
    context.modelFilesDirectory = downloadManager->modelFilesDirectory;
    context.keysDirectory = downloadManager->keysDirectory;
    ModelAssignment::parseAssignedModels(devices, context, assignedModels, messagingManager);
    ModelAssignment::applyRawPostprocessingConfig(Utils::joinPaths({workDir, "raw_postprocessing.json"}),
                                                  assignedModels);
}

}  // namespace vek::vms_server_plugins::analytics::vekai
