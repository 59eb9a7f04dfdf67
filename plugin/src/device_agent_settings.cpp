// The device agent's side of its settings page: serving the page, taking the user's saved values,
// and acting on button presses.
#include <vek/sdk/analytics/helpers/action_response.h>
#include <vek/sdk/helpers/settings_response.h>

#include <chrono>

#include "api_manager.h"
#include "device_agent.h"
#include "device_settings.h"
#include "engine.h"
#include "ini_manager.h"
#include "local_settings_manager.h"
#include "setting_strings.h"
#include "vekai_utilities/vekai_utils.h"

namespace vek::vms_server_plugins::analytics::vekai {

using namespace vek::sdk;
using vek::sdk::analytics::ActionResponse;
using vek::sdk::analytics::ActiveSettingChangedResponse;

std::map<std::string, std::string> DeviceAgent::loadSettingsCache() const {
    return DeviceSettings::loadCache(DeviceSettings::cacheFilePath(cacheDir, details->deviceId));
}

void DeviceAgent::saveSettingsCache(const std::map<std::string, std::string>& values) const {
    DeviceSettings::saveCache(DeviceSettings::cacheFilePath(cacheDir, details->deviceId), values);
}

bool DeviceAgent::processGUISettings(DeviceAgentSettings_t& updated) {
    std::map<std::string, std::string> snapshot;
    {
        std::lock_guard lock(cachedSettingsMutex);
        snapshot = cachedSettings;
    }
    return DeviceSettings::applyUserValues(updated, snapshot);
}

void DeviceAgent::patchNMSValues(const std::shared_ptr<DeviceAgentSettings_t>& updated) {
    const auto provider = engine->utilityProvider();
    const std::string stored = APIManager::getDeviceParameters(provider, details->deviceId);
    if (stored.empty()) {
        vekai_vlog("Warning! Could not load last known settings\n");
        return;
    }
    const auto body = DeviceSettings::nmsPatchBody(stored, updated->stages);
    if (!body) {
        vekai_vlog(
            "Warning! Stored parameters of device %s hold no pipelines; sensitivity not written back.\n",
            details->deviceId.c_str());
        return;
    }
    vekai_vlog_verbose("Patching new nms values: %s\n", body->c_str());
    APIManager::patchDeviceParameters(provider, *body, details->deviceId);
}

std::shared_future<void> DeviceAgent::startPipelineFetchIfIdle() const {
    std::lock_guard lock(pipelineFetchMutex);
    if (pipelineFetchFuture.valid() &&
        pipelineFetchFuture.wait_for(std::chrono::seconds(0)) == std::future_status::timeout)
        return pipelineFetchFuture;
    if (pipelineFetchThread.joinable())
        pipelineFetchThread.join();
    fetchCancellation = std::make_unique<RegistrationManager::FetchCancellationHandle>();
    // The host's page request is const; the fetch only publishes new settings, under the same
    // mutex as every other replacement.
    auto* self = const_cast<DeviceAgent*>(this);
    std::packaged_task<void()> fetch(
        [self, handle = fetchCancellation.get()] { self->ensurePipelinesFetched(handle); });
    pipelineFetchFuture = fetch.get_future().share();
    pipelineFetchThread = std::thread(std::move(fetch));
    return pipelineFetchFuture;
}

void DeviceAgent::stopPipelineFetch() {
    std::lock_guard lock(pipelineFetchMutex);
    if (fetchCancellation)
        fetchCancellation->cancel();
    if (pipelineFetchThread.joinable())
        pipelineFetchThread.join();
}

void DeviceAgent::getIntegrationSideSettings(Result<const ISettingsResponse*>* outResult) const {
    vekai_vlog_verbose("Fetching plugin side settings\n");
    startPipelineFetchIfIdle().wait_for(std::chrono::seconds(1));

    if (!getDeviceSettingsCopy()->parametersReceived &&
        !engine->requestImmediateDeviceParametersRefresh(ini().SettingsAwaitParametersTimeout))
        vekai_vlog("Warning! Device %s is still waiting for its cloud parameters.\n",
                   details->deviceId.c_str());

    const std::shared_ptr<const DeviceAgentSettings_t> current = settings.load();
    Ptr<SettingsResponse> response(new SettingsResponse());
    response->setModel(SettingsManager::createDeviceAgentSettingsModelString(*engine, current));
    {
        std::lock_guard lock(cachedSettingsMutex);
        for (const auto& [name, value] : cachedSettings)
            response->setValue(name, value);
    }
    if (current && !current->availablePipelines.empty()) {
        std::string choice = DeviceSettings::kCustomPipeline;
        for (const auto& pipeline : current->availablePipelines)
            if (std::get<0>(pipeline) == current->selectedPipeline)
                choice = current->selectedPipeline;
        response->setValue(SettingStrings::SelectedPipeline, choice);
    }
    *outResult = response.releasePtr();
}

bool DeviceAgent::switchPipeline(const std::string& chosen) {
    const auto provider = engine->utilityProvider();
    const auto afterPatch = [&](const std::string& response) {
        if (response.empty())
            vekai_vlog("Warning! Could not get devices parameters to test for changes.\n");
        else if (!engine->requestImmediateDeviceParametersRefresh())
            vekai_vlog(
                "Warning! Timed out waiting for devices parameters to be reprocessed after pipeline "
                "patch.\n");
    };
    if (chosen == DeviceSettings::kCustomPipeline) {
        const std::string response = APIManager::patchDeviceParameters(
            provider, DeviceSettings::customPipelineBody(), details->deviceId);
        afterPatch(response);
        return !response.empty();
    }
    const auto current = getDeviceSettingsCopy();
    for (const auto& [id, name, parameters] : current->availablePipelines) {
        if (id != chosen)
            continue;
        const std::string response =
            APIManager::patchDeviceParameters(provider, parameters, details->deviceId);
        afterPatch(response);
        if (!response.empty())
            return true;
    }
    return false;
}

Result<const ISettingsResponse*> DeviceAgent::settingsReceived() {
    const char* deviceId = details->deviceId.c_str();
    vekai_vlog("Device %s received updated settings\n", deviceId);
    if (!getDeviceSettingsCopy()->parametersReceived) {
        vekai_vlog(
            "Device %s has not yet received its cloud parameters, waiting briefly before applying GUI "
            "settings.\n",
            deviceId);
        if (!engine->requestImmediateDeviceParametersRefresh(ini().SettingsAwaitParametersTimeout))
            vekai_vlog(
                "Warning! Device %s is still waiting for its cloud parameters. GUI settings will be "
                "re-applied "
                "once they arrive; the settings model will show as still loading.\n",
                deviceId);
    }

    const std::map<std::string, std::string> values = currentSettings();
    bool pipelineChanged = false;
    bool pipelineUnwritten = false;
    std::string chosen;
    if (const auto received = values.find(SettingStrings::SelectedPipeline); received != values.end()) {
        chosen = received->second;
        std::optional<std::string> cached;
        {
            std::lock_guard lock(cachedSettingsMutex);
            if (const auto found = cachedSettings.find(SettingStrings::SelectedPipeline);
                found != cachedSettings.end())
                cached = found->second;
        }
        if (cached) {
            pipelineChanged = chosen != *cached;
        } else {
            if (!engine->requestImmediateDeviceParametersRefresh())
                vekai_vlog(
                    "Warning! Timed out waiting for devices parameters to be processed while checking for "
                    "pipeline selection change.\n");
            pipelineChanged = chosen != getDeviceSettingsCopy()->selectedPipeline;
        }
        if (pipelineChanged) {
            vekai_vlog("Device %s detected change in pipeline selection: %s\n", deviceId, chosen.c_str());
            pipelineUnwritten = !switchPipeline(chosen);
            if (pipelineUnwritten)
                vekai_vlog("Warning! Device %s could not switch to pipeline %s; the next save tries again.\n",
                           deviceId, chosen.c_str());
        }
    }

    {
        std::lock_guard lock(cachedSettingsMutex);
        for (const auto& [name, value] : values) {
            // A choice that never reached the cloud must still count as a change next time.
            if (!(pipelineUnwritten && name == SettingStrings::SelectedPipeline))
                cachedSettings[name] = value;
        }
        saveSettingsCache(cachedSettings);
    }

    Ptr<SettingsResponse> response(new SettingsResponse());
    {
        std::lock_guard updateLock(settingsUpdateMutex);
        auto updated = getDeviceSettingsCopy();
        if (pipelineChanged && chosen == DeviceSettings::kCustomPipeline)
            updated->selectedPipeline = DeviceSettings::kCustomPipeline;
        if (processGUISettings(*updated))
            patchNMSValues(updated);
        const std::string model = SettingsManager::createDeviceAgentSettingsModelString(*engine, updated);
        const std::string manifest =
            SettingsManager::generateDeviceAgentManifest(*updated, engine->getCorvane());
        if (handlerSet.load())
            pushManifest(manifest);
        for (const auto& [name, value] : values)
            response->setValue(name, value);
        response->setModel(model);
        settings.store(std::move(updated));
        vekai_vlog_verbose("Done processing GUI settings\n");
    }
    return response.releasePtr();
}

void DeviceAgent::doGetSettingsOnActiveSettingChange(
    Result<const vek::sdk::analytics::IActiveSettingChangedResponse*>* outResult,
    const vek::sdk::analytics::IActiveSettingChangedAction* action) {
    using Kind = DeviceSettings::ActiveSetting::Kind;
    vekai_vlog_verbose("Active settings triggered\n");
    const auto current = getDeviceSettingsCopy();
    Ptr<ActiveSettingChangedResponse> response(new ActiveSettingChangedResponse());
    const Ptr<SettingsResponse> page(new SettingsResponse());
    if (const IStringMap* values = action ? action->settingsValues() : nullptr) {
        for (int i = 0; i < values->count(); ++i) {
            if (values->key(i) && values->value(i))
                page->setValue(values->key(i), values->value(i));
        }
    }
    const std::string name = action && action->activeSettingName() ? action->activeSettingName() : "";
    vekai_vlog_verbose("Active setting name: %.*s\n", static_cast<int>(name.size()), name.data());

    const auto setting = DeviceSettings::classifyActiveSetting(name);
    auto& runtimes = engine->getRuntimesManager();
    switch (setting.kind) {
        case Kind::SelectAll: {
            const auto nodes = Utils::flattenPipelineParametersMap(current->stages);
            if (const auto node = nodes.find(setting.argument); node != nodes.end())
                page->setValue(
                    SettingStrings::forStage(SettingStrings::VisualisationClasses, setting.argument),
                    DeviceSettings::allClassesValue(*node->second));
            break;
        }
        case Kind::DeselectAll:
            page->setValue(SettingStrings::forStage(SettingStrings::VisualisationClasses, setting.argument),
                           "[]");
            break;
        case Kind::ManageDevice: {
            const Ptr<ActionResponse> open(new ActionResponse());
            open->setActionUrl(current->deviceAdminUrl);
            response->setActionResponse(open);
            vekai_vlog("Opening URL: %s\n", current->deviceAdminUrl.c_str());
            *outResult = response.releasePtr();
            return;
        }
        case Kind::ReselectRuntime:
            engine->requestRuntimeReselection();
            break;
        case Kind::CancelRuntimeDownload:
            vekai_vlog("User requested to cancel the runtime download.\n");
            runtimes.cancelDownloadRequested.store(true);
            break;
        case Kind::LibraryChoice:
            engine->getMessagingManager().removeMessage("NVIDIA_RESTART_REQUIRED");
            // The name is written before the state that publishes it to the loop.
            runtimes.userSelectedRuntime = setting.argument;
            runtimes.setState(RuntimeState::SELECTED);
            vekai_vlog("User chose: %s\n", setting.argument.c_str());
            break;
        case Kind::ReferenceRun:
            vekai_vlog("Sending reference run: %s %s\n", details->deviceId.c_str(), setting.argument.c_str());
            engine->getCorvane().sendReferenceRunCommand(details->deviceId, setting.argument);
            *outResult = {};
            return;
        case Kind::ResetSingleDevice:
            engine->requestDeviceReset(details->deviceId);
            break;
        case Kind::ResetAllDevices:
            engine->requestAllDeviceReset();
            break;
        case Kind::ClearCache:
            engine->requestClearCache();
            break;
        case Kind::ModelDownloadRetry:
            engine->requestRetryModelDownloads();
            break;
        case Kind::Other:
            break;
    }
    page->setModel(SettingsManager::createDeviceAgentSettingsModelString(*engine, current));
    response->setSettingsResponse(page);
    *outResult = response.releasePtr();
}

}  // namespace vek::vms_server_plugins::analytics::vekai
