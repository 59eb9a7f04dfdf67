// One camera's agent: receives the host's frames, hands them to inference and returns the
// resulting metadata packets while it lives.
#pragma once

#include <vek/sdk/analytics/helpers/consuming_device_agent.h>
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>
#include <map>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_external_processors.h"
#include "registration_manager.h"

class MessagingManager;

namespace vek::vms_server_plugins::analytics::vekai {

class Engine;

class DeviceAgent : public vek::sdk::analytics::ConsumingDeviceAgent {
public:
    DeviceAgent(const vek::sdk::IDeviceInfo* deviceInfo, Engine* engine, const std::string& workDir);
    ~DeviceAgent() override;

    // The device id as lower-case hyphenated UUID text.
    const std::string& deviceId() const { return details->deviceId; }
    const std::string& deviceName() const { return details->deviceName; }

    void setHandler(vek::sdk::analytics::IDeviceAgent::IHandler* handler) override;
    bool isHandlerSet() const { return handlerSet.load(); }

    std::shared_ptr<DeviceAgentSettings_t> getDeviceSettingsCopy() const;
    // Tells the server, fire and forget, whether the plugin runs for this device.
    void setPluginStatusParameters(bool enabled);
    void setSettings(std::shared_ptr<const DeviceAgentSettings_t> newSettings) {
        settings.store(newSettings);
    }
    std::shared_ptr<const DeviceAgentSettings_t> currentDeviceSettings() const { return settings.load(); }

    // Turns this device's entry of the server's device list into its pipeline and settings.
    void processDeviceParameters(const rapidjson::Value& device,
                                 const std::map<std::string, std::shared_ptr<ModelDetails_t>>& assignedModels,
                                 const ::vekai::ExternalPreprocessorTable& externalPreprocessors,
                                 const ::vekai::ExternalPostprocessorTable& externalPostprocessors,
                                 MessagingManager& messages);

    // Fills the available pipelines from the cloud once; a cancelled or failed fetch changes nothing.
    void ensurePipelinesFetched(RegistrationManager::FetchCancellationHandle* handle);

    // Lays the user's saved values over a settings record before it is published; true when the
    // sensitivity of a node changed.
    bool processGUISettings(DeviceAgentSettings_t& updated);
    // Writes the nodes' sensitivities into the device's cloud parameters.
    void patchNMSValues(const std::shared_ptr<DeviceAgentSettings_t>& updated);
    std::map<std::string, std::string> loadSettingsCache() const;
    void saveSettingsCache(const std::map<std::string, std::string>& values) const;

    // Pushes a result to the host: objects, then events, then best shots.
    void handleInferenceOutput(ObjectPacketPtr objects, EventPacketPtr events,
                               std::vector<BestShotPacketPtr> bestShots);
    // A callback that delivers results only while this agent lives; a delivery under way keeps
    // the agent's destruction waiting until it returns.
    InferenceResultCallback resultCallback();

protected:
    std::string manifestString() const override;
    bool pushUncompressedVideoFrame(vek::sdk::analytics::IUncompressedVideoFrame1* frame) override;
    bool pullMetadataPackets(MetadataPacketList* packets) override;
    void doSetNeededMetadataTypes(vek::sdk::Result<void>* outResult,
                                  const vek::sdk::analytics::IMetadataTypes* types) override;
    vek::sdk::Result<const vek::sdk::ISettingsResponse*> settingsReceived() override;
    void getIntegrationSideSettings(
        vek::sdk::Result<const vek::sdk::ISettingsResponse*>* outResult) const override;
    void doGetSettingsOnActiveSettingChange(
        vek::sdk::Result<const vek::sdk::analytics::IActiveSettingChangedResponse*>* outResult,
        const vek::sdk::analytics::IActiveSettingChangedAction* action) override;

private:
    struct LifetimeToken {};

    // Starts a pipeline fetch unless one is running; the future of the current one.
    std::shared_future<void> startPipelineFetchIfIdle() const;
    void stopPipelineFetch();
    // Writes a pipeline choice to the device's cloud parameters and waits for them to return; false
    // when nothing could be written (the choice is not among the offered pipelines, or every write failed).
    bool switchPipeline(const std::string& chosen);

    Engine* const engine;
    const std::string workDir;
    const std::string cacheDir;
    const std::shared_ptr<DeviceAgentDetails_t> details;
    std::atomic<std::shared_ptr<const DeviceAgentSettings_t>> settings;
    std::atomic<bool> handlerSet{false};
    // Serialises every replacement of settings; readers never lock.
    std::mutex settingsUpdateMutex;
    mutable std::mutex cachedSettingsMutex;
    std::map<std::string, std::string> cachedSettings;
    // At most one pipeline fetch per agent; page requests, which the host makes const, start it.
    mutable std::mutex pipelineFetchMutex;
    mutable std::thread pipelineFetchThread;
    mutable std::unique_ptr<RegistrationManager::FetchCancellationHandle> fetchCancellation;
    mutable std::shared_future<void> pipelineFetchFuture;
    std::promise<void> lifetimeTokenGone;
    std::shared_ptr<LifetimeToken> lifetimeToken;
};

}  // namespace vek::vms_server_plugins::analytics::vekai
