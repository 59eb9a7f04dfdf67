// The web page's view of a run: the plugin host's cameras and their settings pages, which the page
// reads and changes through the same calls as the device-settings command, and the run's counters.
#pragma once

#include <vekhost/frame_annotator.h>
#include <vekhost/plugin_host.h>
#include <vekhost/web_page.h>
#include <functional>
#include <memory>
#include <mutex>

namespace vekhost {

class HostWebBackend : public WebBackend {
public:
    using Tiles = std::function<std::vector<CameraTile>()>;
    // The annotator may be null (no frames to show); the tiles come from the run.
    HostWebBackend(PluginHost& host, std::shared_ptr<FrameAnnotator> annotator, Tiles tiles);

    int cameraCount() override;
    std::vector<CameraTile> cameras() override;
    std::shared_ptr<const VideoFrame> latestFrame(int camera) override;
    Outcome<DeviceSettingsPage> settings(int camera) override;
    Outcome<DeviceSettingsPage> press(int camera, const std::string& name) override;
    Outcome<DeviceSettingsPage> apply(int camera, const SettingValues& changes) override;

private:
    PluginHost& host;
    const std::shared_ptr<FrameAnnotator> annotator;
    const Tiles tiles;
    // One settings dialog at a time, as one user would.
    std::mutex settingsMutex;
};

}  // namespace vekhost
