// The host's local web page: the cameras with their latest annotated frame and live counters, and
// each device's settings page rendered from the plugin's settings model, served on loopback only.
#pragma once

#include <vekhost/device_settings_store.h>
#include <vekhost/outcome.h>
#include <vekhost/video_frame.h>
#include <memory>
#include <string>
#include <vector>

namespace vekhost {

// One camera's tile.
struct CameraTile {
    std::string id;
    std::string name;
    std::string source;
    int64_t framesIn = 0;
    int64_t objectPackets = 0;
    int64_t objects = 0;
    int64_t events = 0;
    int64_t pushErrors = 0;
    // The line crossing totals, empty without a line.
    std::string crossings;
    // What the device's settings page says is under way (downloads and long steps).
    std::vector<std::string> notices;
};

// What the page shows and does; called on the server's threads.
class WebBackend {
public:
    virtual ~WebBackend() = default;
    virtual int cameraCount() = 0;
    virtual std::vector<CameraTile> cameras() = 0;
    // Null while the camera has no annotated frame yet.
    virtual std::shared_ptr<const VideoFrame> latestFrame(int camera) = 0;
    virtual Outcome<DeviceSettingsPage> settings(int camera) = 0;
    virtual Outcome<DeviceSettingsPage> press(int camera, const std::string& name) = 0;
    virtual Outcome<DeviceSettingsPage> apply(int camera, const SettingValues& changes) = 0;
};

// The frame as an uncompressed 24-bit BMP, which every browser shows.
std::string bmpOf(const VideoFrame& frame);

// Serves the page until destroyed; the backend must outlive it.
class WebServer {
public:
    // Listens on 127.0.0.1:PORT, a free port for 0.
    static Outcome<std::unique_ptr<WebServer>> start(WebBackend& backend, int port);
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;
    ~WebServer();

    // "http://127.0.0.1:PORT/".
    std::string address() const;

private:
    struct Server;
    explicit WebServer(std::unique_ptr<Server> server);
    std::unique_ptr<Server> server;
};

}  // namespace vekhost
