// What a person watching a run sees beside the status lines: the devices' notices (downloads, long
// steps) told on the console as they change, and the loopback web page with the cameras.
#pragma once

#include <vekhost/frame_annotator.h>
#include <vekhost/page_notices.h>
#include <vekhost/plugin_host.h>
#include <vekhost/web_host_backend.h>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>

namespace vekhost {

class RunPage {
public:
    // The counters give each camera's tile without crossings and notices, which are added here.
    RunPage(PluginHost& host, std::shared_ptr<FrameAnnotator> annotator, HostWebBackend::Tiles counters);
    ~RunPage();

    // Serves the page on 127.0.0.1:PORT, prints its address and writes it to the file when given.
    Status serve(int port, const std::optional<std::filesystem::path>& addressFile, std::ostream& out);
    // Reads every camera's settings page and tells its new notices.
    void lookAtPages();
    // Ends the page; call before the plugin is released.
    void stop();

private:
    std::vector<CameraTile> tiles() const;

    PluginHost& host;
    const std::shared_ptr<FrameAnnotator> annotator;
    const HostWebBackend::Tiles counters;
    NoticeReporter reporter;
    mutable std::mutex noticesMutex;
    std::map<int, std::vector<std::string>> notices;
    std::unique_ptr<HostWebBackend> backend;
    std::unique_ptr<WebServer> server;
};

}  // namespace vekhost
