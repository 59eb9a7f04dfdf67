// The local cloud: the AI cloud API, the model store and the runtime store over HTTP on 127.0.0.1,
// served from a site directory, with switchable faults. Runs in-process for tests and inside the
// standalone vekcloud program.
#pragma once

#include <vekcloud/faults.h>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vekcloud {

struct CloudOptions {
    std::filesystem::path siteDirectory;
    // Where the runtime store's packages are; empty means the site's "runtimes" folder.
    std::filesystem::path runtimesDirectory;
    // 0 picks a free port.
    uint16_t port = 0;
    // When not empty, the only system id the cloud knows; otherwise any non-empty one.
    std::string systemId;
    // When not empty, the only "Authorization" value accepted; otherwise any non-empty one.
    std::string token;
    // Receives one line per request and the site's warnings; may be empty.
    std::function<void(std::string_view)> log;
};

struct RecordedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name, ignoring case.
    std::optional<std::string> header(std::string_view name) const;
};

// Started, stopped and switched from one thread; requests are served on the cloud's own threads.
class LocalCloud {
public:
    // The runtime store's base path, as the default artifact store lays it out.
    static constexpr std::string_view kRuntimeStorePath = "/artifactory/vekai_open/OAAX/runtimes/2.0.0";
    // Requests are remembered up to this number, the oldest forgotten first.
    static constexpr size_t kRememberedRequests = 1000;

    explicit LocalCloud(CloudOptions options);
    ~LocalCloud();
    LocalCloud(const LocalCloud&) = delete;
    LocalCloud& operator=(const LocalCloud&) = delete;

    // Binds and serves; false with the reason in `error` when the site is missing or the port is taken.
    bool start(std::string& error);
    // Requests in progress are cut short, delays included.
    void stop();

    uint16_t port() const;
    // "http://127.0.0.1:<port>", the value for the plugin's cloud address.
    std::string baseUrl() const;
    // The runtime store's base address, ending with "/".
    std::string runtimeStoreUrl() const;

    void setFault(const std::string& pathPrefix, const Fault& fault);
    void clearFault(const std::string& pathPrefix);
    void clearFaults();
    // Stops listening, so that connections are refused (requests in progress are cut short), or
    // listens again on the same port. False when listening again fails.
    bool setRefusingConnections(bool refusing);

    std::vector<RecordedRequest> requests() const;
    void clearRequests();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace vekcloud
