// The media server's side of one loaded plugin: library, utility provider, plugin, engine and one
// device agent per camera, released in the server's order (agents, engine, plugin) before the
// library is closed.
#pragma once

#include <vek/sdk/analytics/i_plugin.h>
#include <vekhost/device_info.h>
#include <vekhost/device_settings_store.h>
#include <vekhost/metadata_recorder.h>
#include <vekhost/outcome.h>
#include <vekhost/plugin_library.h>
#include <vekhost/utility_provider.h>
#include <vekhost/video_frame.h>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vekhost {

struct HostConfig {
    std::filesystem::path pluginPath;
    UtilityProviderSettings provider;
    // Handed to the library's vekSetUnitTestOptions before the plugin is created, when not empty.
    std::map<std::string, std::string> unitTestOptions;
    // Where the emulated REST API keeps server and device parameters across runs; by default a
    // file in the data directory.
    std::optional<std::filesystem::path> restStorePath;
    // Where the values of the devices' settings pages are kept; by default a file in the data
    // directory.
    std::optional<std::filesystem::path> deviceSettingsStorePath;
};

// Cameras are added and removed from one thread; frames may be pushed from any thread, to
// cameras that are not being removed.
class PluginHost {
public:
    // Loads the library, creates the plugin and gives it the utility provider.
    static Outcome<std::unique_ptr<PluginHost>> load(HostConfig config);

    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;
    ~PluginHost();

    Outcome<std::string> pluginManifest() const;
    // Obtains the one engine and sets its handler.
    Status obtainEngine();
    Outcome<std::string> engineManifest() const;
    // The settings model of the engine's own settings page.
    Outcome<std::string> engineSettingsModel() const;

    // Obtains a device agent and sets a handler that records its packets; returns the camera index.
    Outcome<int> addCamera(const CameraDescription& camera, std::shared_ptr<MetadataRecorder> recorder);
    Outcome<std::string> deviceManifest(int camera) const;
    Status pushFrame(int camera, VideoFrame& frame) const;

    // The camera's settings page as the server shows it: the plugin's model, and the stored values
    // overlaid with the values the plugin returns.
    Outcome<DeviceSettingsPage> deviceSettings(int camera) const;
    // Like the user pressing Apply: the stored values with the changes go to the agent, and the
    // values it hands back are stored.
    Outcome<DeviceSettingsPage> applyDeviceSettings(int camera, const SettingValues& changes);
    // A button press (or a change of an active item) on the current page; the page values it
    // returns are shown but not stored, as the server does until the user applies them.
    Outcome<DeviceSettingsPage> pressDeviceButton(int camera, const std::string& name);
    // Tells the agent no more packets follow and releases it.
    void removeCamera(int camera);
    int cameraCount() const { return static_cast<int>(cameras.size()); }
    const CameraDescription& camera(int index) const {
        return cameras.at(static_cast<size_t>(index)).description;
    }

    // Releases agents, engine and plugin, lets the provider finish the plugin's requests and closes
    // the library. The library stays loaded when the plugin keeps its engine or itself alive.
    void release();

    vek::sdk::analytics::IPlugin* plugin() const { return pluginObject.get(); }
    vek::sdk::analytics::IEngine* engine() const { return engineObject.get(); }
    vek::sdk::analytics::IConsumingDeviceAgent* agent(int camera) const;
    UtilityProvider& utilityProvider() const { return *provider; }
    RestRouter& restApi() const { return *router; }

private:
    struct Camera {
        CameraDescription description;
        vek::sdk::Ptr<vek::sdk::analytics::IConsumingDeviceAgent> agent;
    };

    PluginHost(PluginLibrary library, vek::sdk::Ptr<UtilityProvider> provider,
               std::shared_ptr<RestRouter> router, std::filesystem::path settingsStorePath);
    Status createPlugin(const HostConfig& config);
    const Camera* findCamera(int camera) const;

    PluginLibrary library;
    std::shared_ptr<RestRouter> router;
    vek::sdk::Ptr<UtilityProvider> provider;
    vek::sdk::Ptr<vek::sdk::analytics::IPlugin> pluginObject;
    vek::sdk::Ptr<vek::sdk::analytics::IEngine> engineObject;
    std::vector<Camera> cameras;
    std::unique_ptr<DeviceSettingsStore> settingsStore;
};

}  // namespace vekhost
