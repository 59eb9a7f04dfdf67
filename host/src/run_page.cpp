#include <vekhost/run_page.h>

#include <fstream>

namespace vekhost {

RunPage::RunPage(PluginHost& host, std::shared_ptr<FrameAnnotator> annotator, HostWebBackend::Tiles counters)
    : host(host), annotator(std::move(annotator)), counters(std::move(counters)) {}

RunPage::~RunPage() {
    stop();
}

Status RunPage::serve(int port, const std::optional<std::filesystem::path>& addressFile, std::ostream& out) {
    backend = std::make_unique<HostWebBackend>(host, annotator, [this] { return tiles(); });
    auto served = WebServer::start(*backend, port);
    if (!served)
        return Failure{served.error()};
    server = std::move(served.value());
    out << "Web page: " << server->address() << "\n";
    out.flush();
    if (addressFile) {
        std::ofstream file(*addressFile, std::ios::trunc);
        file << server->address() << "\n";
        if (!file.flush())
            return Failure{"cannot write the web page's address to " + addressFile->string()};
    }
    return success();
}

void RunPage::lookAtPages() {
    for (int camera = 0; camera < host.cameraCount(); ++camera) {
        auto page = host.deviceSettings(camera);
        if (!page)
            continue;
        reporter.report(host.camera(camera).name, page->model);
        std::lock_guard lock(noticesMutex);
        notices[camera] = pageNotices(page->model);
    }
}

void RunPage::stop() {
    server.reset();
}

std::vector<CameraTile> RunPage::tiles() const {
    std::vector<CameraTile> result = counters();
    std::lock_guard lock(noticesMutex);
    for (size_t camera = 0; camera < result.size(); ++camera) {
        if (annotator)
            result[camera].crossings = annotator->crossings(result[camera].id);
        const auto found = notices.find(static_cast<int>(camera));
        if (found != notices.end())
            result[camera].notices = found->second;
    }
    return result;
}

}  // namespace vekhost
