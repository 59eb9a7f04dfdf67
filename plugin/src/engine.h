// The plugin's one engine: owns every long-lived service (agents registry, message store,
// registration state, runtime, inference and download managers) and the background loop.
#pragma once

#include <rapidjson/document.h>
#include <vek/sdk/analytics/helpers/engine.h>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "accl_manager/runtimes_manager.h"
#include "corvane_interface.h"
#include "download_manager.h"
#include "messaging_manager.h"
#include "registration_manager.h"

namespace vek::vms_server_plugins::analytics::vekai {

inline constexpr const char* kPluginVersion = "5.0.42";

class Plugin;
class DeviceAgent;

class Engine : public vek::sdk::analytics::Engine {
public:
    Engine(Plugin* plugin, const std::string& workDir, const std::string& homeDir);
    ~Engine() override;

    // The host's utility provider with a reference taken; null while shutting down.
    vek::sdk::Ptr<vek::sdk::IUtilityProvider> utilityProvider() const;

    void unregisterDeviceAgent(const std::string& deviceId, const DeviceAgent* agent);
    size_t deviceAgentCount() const;
    bool isRuntimeLoopStarted() const;

    bool requestImmediateDeviceParametersRefresh();
    bool requestImmediateDeviceParametersRefresh(int timeoutSeconds);
    void requestRuntimeReselection();
    void requestDeviceReset(const std::string& deviceId);
    void requestAllDeviceReset();
    void requestClearCache();
    void requestRetryModelDownloads();

    void notifyDevicesParametersProcessed();

    // Steps of the background loop, public for the tests that drive single passes.
    void runtimeManagerPass();
    void updateServerParameters();
    bool checkFirstConfiguration(const rapidjson::Document* serverDocument) const;
    bool checkSiteIDChange(const rapidjson::Document& serverDocument);
    void processDevicesParameters(const std::string& devicesText);
    void checkForUninitialisedDevices(const rapidjson::Document& devices);
    void parseAssignedModels(const rapidjson::Document& devices);
    std::map<std::string, std::shared_ptr<ModelDetails_t>> getAssignedModelsCopy();

    const std::string& getWorkDir() const { return workDir; }
    const std::string& getHomeDir() const { return homeDir; }
    MessagingManager& getMessagingManager() { return messagingManager; }
    RegistrationManager& getRegistrationManager() { return registrationManager; }
    RuntimesManager& getRuntimesManager() { return *runtimesManager; }
    CorvaneInterface& getCorvane() { return *corvane; }
    DownloadManager& getDownloadManager() { return *downloadManager; }
    int getServerCustomization() const { return serverCustomization.load(); }

protected:
    std::string manifestString() const override;
    void getIntegrationSideSettings(
        vek::sdk::Result<const vek::sdk::ISettingsResponse*>* outResult) const override;
    void doObtainDeviceAgent(vek::sdk::Result<vek::sdk::analytics::IDeviceAgent*>* outResult,
                             const vek::sdk::IDeviceInfo* deviceInfo) override;

private:
    void runtimeManagerLoop();
    void wakeLoop();

    // A reference keeps the plugin, and with it the utility provider, alive as long as the engine.
    const vek::sdk::Ptr<Plugin> plugin;
    const std::string workDir;
    const std::string homeDir;

    MessagingManager messagingManager;
    RegistrationManager registrationManager;
    std::unique_ptr<RuntimesManager> runtimesManager;
    std::unique_ptr<CorvaneInterface> corvane;
    std::unique_ptr<DownloadManager> downloadManager;
    std::atomic<int> serverCustomization{0};

    mutable std::mutex deviceAgentsMutex;
    std::map<std::string, DeviceAgent*> deviceAgents;
    bool runtimeLoopStarted = false;
    std::thread runtimeLoopThread;

    std::atomic<bool> shuttingDown{false};
    std::mutex loopWakeMutex;
    std::condition_variable loopWakeCondition;
    bool wakeRequested = false;

    std::atomic<bool> immediateRefreshRequested{false};
    std::mutex refreshMutex;
    std::condition_variable refreshProcessedCondition;
    uint64_t processedRefreshCount = 0;

    std::mutex resetDeviceIdMutex;
    std::atomic<bool> resetRequested{false};
    std::string resetDeviceId;
    std::atomic<bool> clearCacheRequested{false};
    std::atomic<bool> retryDownloadsRequested{false};

    std::string lastDevicesParameters;
    bool serverConfigured = false;  // loop thread only
    std::mutex assignedModelsMutex;
    std::map<std::string, std::shared_ptr<ModelDetails_t>> assignedModels;
};

}  // namespace vek::vms_server_plugins::analytics::vekai
