#include "engine.h"

#include <vek/sdk/helpers/settings_response.h>
#include <chrono>

#include "device_agent.h"
#include "ini_manager.h"
#include "local_settings_manager.h"
#include "plugin.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace vek::vms_server_plugins::analytics::vekai {

using namespace vek::sdk;
using namespace std::chrono_literals;

Engine::Engine(Plugin* plugin, const std::string& workDir, const std::string& homeDir)
    : vek::sdk::analytics::Engine(ini().enableOutput),
      plugin(plugin),
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
        const auto provider = utilityProvider();
        if (!provider) {
            vekai_vlog("Utility provider not ready yet, or shutting down.\n");
            continue;
        }
    }
}

}  // namespace vek::vms_server_plugins::analytics::vekai
