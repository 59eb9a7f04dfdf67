#include <vekhost/web_host_backend.h>

namespace vekhost {

HostWebBackend::HostWebBackend(PluginHost& host, std::shared_ptr<FrameAnnotator> annotator, Tiles tiles)
    : host(host), annotator(std::move(annotator)), tiles(std::move(tiles)) {}

int HostWebBackend::cameraCount() {
    return host.cameraCount();
}

std::vector<CameraTile> HostWebBackend::cameras() {
    return tiles();
}

std::shared_ptr<const VideoFrame> HostWebBackend::latestFrame(int camera) {
    return annotator ? annotator->latestFrame(host.camera(camera).id) : nullptr;
}

Outcome<DeviceSettingsPage> HostWebBackend::settings(int camera) {
    std::lock_guard lock(settingsMutex);
    return host.deviceSettings(camera);
}

Outcome<DeviceSettingsPage> HostWebBackend::press(int camera, const std::string& name) {
    std::lock_guard lock(settingsMutex);
    return host.pressDeviceButton(camera, name);
}

Outcome<DeviceSettingsPage> HostWebBackend::apply(int camera, const SettingValues& changes) {
    std::lock_guard lock(settingsMutex);
    return host.applyDeviceSettings(camera, changes);
}

}  // namespace vekhost
