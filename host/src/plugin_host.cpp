#include <vekhost/plugin_host.h>

#include <vek/sdk/entry_points.h>
#include <vek/sdk/helpers/ref_countable.h>
#include <vek/sdk/helpers/string.h>
#include <vek/sdk/i_settings_response.h>
#include <vekhost/agent_handlers.h>
#include <vekhost/host_log.h>

namespace vekhost {
namespace {

using vek::sdk::Ptr;
using vek::sdk::analytics::IConsumingDeviceAgent;
using vek::sdk::analytics::IConsumingDeviceAgent1;
using vek::sdk::analytics::IPlugin;

using SetUnitTestOptionsFunction = void (*)(const vek::sdk::IStringMap*);

std::string errorCodeName(vek::sdk::ErrorCode code) {
    using vek::sdk::ErrorCode;
    switch (code) {
        case ErrorCode::noError:
            return "noError";
        case ErrorCode::networkError:
            return "networkError";
        case ErrorCode::unauthorized:
            return "unauthorized";
        case ErrorCode::badState:
            return "badState";
        case ErrorCode::invalidParams:
            return "invalidParams";
        case ErrorCode::notImplemented:
            return "notImplemented";
        case ErrorCode::internalError:
            return "internalError";
        case ErrorCode::otherError:
            return "otherError";
    }
    return "unknown";
}

// Takes over the error's message, which the receiver of a result owns.
Failure takeFailure(const std::string& what, const vek::sdk::Error& error) {
    const std::string message = vek::sdk::takeString(error.errorMessage);
    std::string text = what + " failed: error " + std::to_string(static_cast<int>(error.errorCode)) + " (" +
                       errorCodeName(error.errorCode) + ")";
    if (!message.empty())
        text += ": " + message;
    return Failure{text};
}

Outcome<std::string> takeManifest(const std::string& what,
                                  vek::sdk::Result<const vek::sdk::IString*> result) {
    if (!result.isOk()) {
        if (result.value)
            result.value->releaseRef();
        return takeFailure(what, result.error);
    }
    if (!result.value)
        return Failure{what + " returned no text"};
    return vek::sdk::takeString(result.value);
}

SettingValues toValues(const vek::sdk::IStringMap* map) {
    SettingValues values;
    if (map)
        vek::sdk::toStdMap(map, &values);
    return values;
}

// The model and values of a settings response, releasing it; an empty page for no response.
Outcome<DeviceSettingsPage> takeSettingsPage(const std::string& what,
                                             vek::sdk::Result<const vek::sdk::ISettingsResponse*> result) {
    if (!result.isOk()) {
        if (result.value)
            result.value->releaseRef();
        return takeFailure(what, result.error);
    }
    DeviceSettingsPage page;
    if (!result.value)
        return page;
    const Ptr<const vek::sdk::ISettingsResponse> response(result.value);
    page.model = vek::sdk::takeString(response->model());
    const Ptr<vek::sdk::IStringMap> values(response->values());
    page.values = toValues(values.get());
    return page;
}

// What the server hands the plugin when the user presses a button on a page.
class SettingChangeAction : public vek::sdk::RefCountable<vek::sdk::analytics::IActiveSettingChangedAction> {
public:
    SettingChangeAction(std::string name, std::string model, const SettingValues& values)
        : name(std::move(name)), model(std::move(model)), values(new vek::sdk::StringMap(values)) {}

    const char* activeSettingName() const override { return name.c_str(); }
    const char* settingsModel() const override { return model.c_str(); }
    const vek::sdk::IStringMap* settingsValues() const override { return values.get(); }
    const vek::sdk::IStringMap* params() const override { return noParams.get(); }

private:
    const std::string name;
    const std::string model;
    const Ptr<vek::sdk::StringMap> values;
    const Ptr<vek::sdk::StringMap> noParams{new vek::sdk::StringMap()};
};

}  // namespace

Outcome<std::unique_ptr<PluginHost>> PluginHost::load(HostConfig config) {
    Outcome<PluginLibrary> library = PluginLibrary::open(config.pluginPath);
    if (!library)
        return Failure{library.error()};
    const auto storePath =
        config.restStorePath.value_or(std::filesystem::path(config.provider.dataDir) / "vekhost_rest.json");
    auto router = std::make_shared<RestRouter>(config.provider.serverId, storePath);
    Ptr<UtilityProvider> provider(new UtilityProvider(config.provider, router));
    const auto settingsStorePath = config.deviceSettingsStorePath.value_or(
        std::filesystem::path(config.provider.dataDir) / "vekhost_device_settings.json");
    std::unique_ptr<PluginHost> host(
        new PluginHost(std::move(library.value()), std::move(provider), router, settingsStorePath));
    if (Status created = host->createPlugin(config); !created)
        return Failure{created.error()};
    return host;
}

PluginHost::PluginHost(PluginLibrary library, Ptr<UtilityProvider> provider,
                       std::shared_ptr<RestRouter> router, std::filesystem::path settingsStorePath)
    : library(std::move(library)),
      router(std::move(router)),
      provider(std::move(provider)),
      settingsStore(std::make_unique<DeviceSettingsStore>(std::move(settingsStorePath))) {}

PluginHost::~PluginHost() {
    release();
}

Status PluginHost::createPlugin(const HostConfig& config) {
    if (!config.unitTestOptions.empty()) {
        auto setOptions = library.entryPoint<SetUnitTestOptionsFunction>("vekSetUnitTestOptions");
        if (!setOptions)
            return Failure{setOptions.error()};
        const Ptr<vek::sdk::StringMap> options(new vek::sdk::StringMap(config.unitTestOptions));
        (*setOptions)(options.get());
    }
    if (auto sdkVersion = library.entryPoint<vek::sdk::SdkVersionFunction>("vekSdkVersion")) {
        const char* version = (*sdkVersion)();
        logVerbose(std::string("plugin built against SDK ") + (version ? version : "(none)"));
    }

    auto create = library.entryPoint<vek::sdk::CreatePluginFunction>("createVekPlugin");
    if (!create)
        return Failure{create.error()};
    const Ptr<vek::sdk::IIntegration> integration((*create)());
    if (!integration)
        return Failure{"createVekPlugin of " + library.location().string() + " returned no object"};
    pluginObject = integration.queryInterface<IPlugin>();
    if (!pluginObject)
        return Failure{"the object created by createVekPlugin does not implement " +
                       std::string(IPlugin::interfaceId().value)};
    pluginObject->setUtilityProvider(provider.get());
    return success();
}

Outcome<std::string> PluginHost::pluginManifest() const {
    if (!pluginObject)
        return Failure{"no plugin is loaded"};
    return takeManifest("plugin manifest", pluginObject->manifest());
}

Status PluginHost::obtainEngine() {
    if (engineObject)
        return success();
    if (!pluginObject)
        return Failure{"no plugin is loaded"};
    auto result = pluginObject->obtainEngine();
    if (!result.isOk()) {
        if (result.value)
            result.value->releaseRef();
        return takeFailure("obtaining the engine", result.error);
    }
    if (!result.value)
        return Failure{"obtaining the engine returned no engine"};
    engineObject.reset(result.value);
    const Ptr<EngineHandler> handler(new EngineHandler());
    engineObject->setHandler(handler.get());
    return success();
}

Outcome<std::string> PluginHost::engineManifest() const {
    if (!engineObject)
        return Failure{"no engine has been obtained"};
    return takeManifest("engine manifest", engineObject->manifest());
}

Outcome<std::string> PluginHost::engineSettingsModel() const {
    if (!engineObject)
        return Failure{"no engine has been obtained"};
    auto result = engineObject->integrationSideSettings();
    if (!result.isOk()) {
        if (result.value)
            result.value->releaseRef();
        return takeFailure("engine settings", result.error);
    }
    if (!result.value)
        return Failure{"engine settings returned no response"};
    const vek::sdk::Ptr<const vek::sdk::ISettingsResponse> response(result.value);
    return vek::sdk::takeString(response->model());
}

Outcome<int> PluginHost::addCamera(const CameraDescription& camera,
                                   std::shared_ptr<MetadataRecorder> recorder) {
    if (!engineObject)
        return Failure{"no engine has been obtained"};
    router->addDevice(camera.id, camera.name);
    const Ptr<DeviceInfo> info(new DeviceInfo(camera));
    auto result = engineObject->obtainDeviceAgent(info.get());
    const std::string what = "obtaining the device agent of " + camera.name + " (" + camera.id + ")";
    if (!result.isOk()) {
        if (result.value)
            result.value->releaseRef();
        return takeFailure(what, result.error);
    }
    const Ptr<vek::sdk::analytics::IDeviceAgent> agent(result.value);
    if (!agent)
        return Failure{what + " returned no agent"};
    auto consuming = agent.queryInterface<IConsumingDeviceAgent>();
    if (!consuming)
        return Failure{what + ": the agent does not implement " +
                       std::string(IConsumingDeviceAgent::interfaceId().value)};

    const int index = recorder->addCamera(camera.id);
    const Ptr<DeviceAgentHandler> handler(new DeviceAgentHandler(std::move(recorder), index, camera.name));
    consuming->setHandler(handler.get());
    cameras.push_back(Camera{camera, std::move(consuming)});
    const int cameraIndex = static_cast<int>(cameras.size()) - 1;
    // The server hands a new agent the values it keeps for the device.
    if (!settingsStore->values(camera.id).empty()) {
        if (auto applied = applyDeviceSettings(cameraIndex, {}); !applied)
            logWarning("the stored settings of " + camera.name + " were not applied: " + applied.error());
    }
    return cameraIndex;
}

const PluginHost::Camera* PluginHost::findCamera(int camera) const {
    if (camera < 0 || static_cast<size_t>(camera) >= cameras.size())
        return nullptr;
    const Camera& found = cameras[static_cast<size_t>(camera)];
    return found.agent ? &found : nullptr;
}

IConsumingDeviceAgent* PluginHost::agent(int camera) const {
    const Camera* found = findCamera(camera);
    return found ? found->agent.get() : nullptr;
}

Outcome<std::string> PluginHost::deviceManifest(int camera) const {
    const Camera* found = findCamera(camera);
    if (!found)
        return Failure{"no device agent for camera " + std::to_string(camera + 1)};
    return takeManifest("device agent manifest of " + found->description.name, found->agent->manifest());
}

Outcome<DeviceSettingsPage> PluginHost::deviceSettings(int camera) const {
    const Camera* found = findCamera(camera);
    if (!found)
        return Failure{"no device agent for camera " + std::to_string(camera + 1)};
    auto page = takeSettingsPage("settings page of " + found->description.name,
                                 found->agent->integrationSideSettings());
    if (!page)
        return page;
    SettingValues values = settingsStore->values(found->description.id);
    for (const auto& [name, value] : page->values)
        values[name] = value;
    page->values = std::move(values);
    return page;
}

Outcome<DeviceSettingsPage> PluginHost::applyDeviceSettings(int camera, const SettingValues& changes) {
    const Camera* found = findCamera(camera);
    if (!found)
        return Failure{"no device agent for camera " + std::to_string(camera + 1)};
    SettingValues values = settingsStore->values(found->description.id);
    for (const auto& [name, value] : changes)
        values[name] = value;
    const Ptr<vek::sdk::StringMap> sent(new vek::sdk::StringMap(values));
    auto page = takeSettingsPage("applying the settings of " + found->description.name,
                                 found->agent->setSettings(sent.get()));
    if (!page)
        return page;
    for (const auto& [name, value] : page->values)
        values[name] = value;
    if (Status stored = settingsStore->store(found->description.id, values); !stored)
        return Failure{stored.error()};
    page->values = std::move(values);
    return page;
}

Outcome<DeviceSettingsPage> PluginHost::pressDeviceButton(int camera, const std::string& name) {
    auto current = deviceSettings(camera);
    if (!current)
        return current;
    const Camera* found = findCamera(camera);
    const std::string what = "pressing " + name + " on the page of " + found->description.name;
    const auto buttons = found->agent.queryInterface<vek::sdk::analytics::IConsumingDeviceAgent2>();
    if (!buttons)
        return Failure{what + ": the agent does not implement " +
                       std::string(vek::sdk::analytics::IConsumingDeviceAgent2::interfaceId().value)};
    const Ptr<SettingChangeAction> action(new SettingChangeAction(name, current->model, current->values));
    auto result = buttons->settingsOnActiveSettingChange(action.get());
    if (!result.isOk()) {
        if (result.value)
            result.value->releaseRef();
        return takeFailure(what, result.error);
    }
    DeviceSettingsPage page;
    if (!result.value)
        return page;
    const Ptr<const vek::sdk::analytics::IActiveSettingChangedResponse> response(result.value);
    const Ptr<const vek::sdk::analytics::IActionResponse> actionResponse(response->actionResponse());
    if (actionResponse && actionResponse->actionUrl())
        page.actionUrl = actionResponse->actionUrl();
    if (const vek::sdk::ISettingsResponse* settings = response->settingsResponse()) {
        auto shown = takeSettingsPage(what, vek::sdk::Result<const vek::sdk::ISettingsResponse*>(settings));
        if (!shown)
            return shown;
        page.model = std::move(shown->model);
        page.values = std::move(shown->values);
    }
    return page;
}

Status PluginHost::pushFrame(int camera, VideoFrame& frame) const {
    const Camera* found = findCamera(camera);
    if (!found)
        return Failure{"no device agent for camera " + std::to_string(camera + 1)};
    const auto result = found->agent->pushDataPacket(&frame);
    if (!result.isOk())
        return takeFailure("pushing a frame to " + found->description.name, result.error);
    return success();
}

void PluginHost::removeCamera(int camera) {
    if (camera < 0 || static_cast<size_t>(camera) >= cameras.size())
        return;
    Camera& found = cameras[static_cast<size_t>(camera)];
    if (!found.agent)
        return;
    if (const auto finalizing = found.agent.queryInterface<IConsumingDeviceAgent1>())
        finalizing->finalize();
    const int remaining = found.agent.releasePtr()->releaseRef();
    logVerbose(
        "released the device agent of " + found.description.name +
        (remaining > 0 ? "; the plugin still holds " + std::to_string(remaining) + " reference(s)" : ""));
}

void PluginHost::release() {
    for (int camera = cameraCount() - 1; camera >= 0; --camera)
        removeCamera(camera);

    // The library can only go when nothing made from it is left.
    bool pluginObjectsAlive = false;
    if (engineObject) {
        if (const int remaining = engineObject.releasePtr()->releaseRef(); remaining > 0) {
            logWarning("the plugin still holds " + std::to_string(remaining) + " reference(s) to its engine");
            pluginObjectsAlive = true;
        }
    }
    if (pluginObject) {
        if (const int remaining = pluginObject.releasePtr()->releaseRef(); remaining > 0) {
            logWarning("the plugin still holds " + std::to_string(remaining) + " reference(s) to itself");
            pluginObjectsAlive = true;
        }
    }
    // Completion handlers are plugin code too.
    if (provider)
        provider->stopRequests();
    if (pluginObjectsAlive)
        library.keepLoaded();
    else
        library.close();
}

}  // namespace vekhost
