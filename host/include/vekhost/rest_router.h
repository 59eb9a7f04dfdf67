// The media server's REST API as the host emulates it: the server's own resource and its devices,
// each with a "parameters" store that PATCH deep-merges into, kept in a JSON file when one is
// given so that a restarted host hands the plugin back what it wrote.
#pragma once

#include <rapidjson/document.h>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace vekhost {

struct RestRequest {
    std::string method;
    std::string pathWithQuery;
    std::string mimeType;
    std::string body;
};

struct RestResponse {
    int status = 0;
    // One line of compact JSON.
    std::string body;
};

// A fault of the emulated server for tests: while set, every request waits `delay` (longer than the
// plugin's time-out, a server that hangs) and, when `status` is not 0, is answered with that error.
struct RestFault {
    int status = 0;
    std::chrono::milliseconds delay{0};
};

class RestRouter {
public:
    explicit RestRouter(std::string serverId = {},
                        std::optional<std::filesystem::path> storePath = std::nullopt);

    RestResponse handle(const RestRequest& request);

    // Makes a camera known to the server, as adding it in the server's user interface would.
    void addDevice(const std::string& id, const std::string& name);
    // The device's (or, for an empty id, the server's) parameters as compact JSON, "{}" when absent.
    std::string parametersOf(const std::string& deviceId) const;
    // Replaces the fault every later request meets; none clears it.
    void setFault(std::optional<RestFault> fault);

private:
    rapidjson::Value* findDevice(const std::string& id);
    rapidjson::Value& deviceEntry(const std::string& id);
    void load();
    void save() const;
    // After a change: reclaims what it replaced and saves. Pointers into the store become invalid.
    void commitChange();

    const std::string serverId;
    const std::optional<std::filesystem::path> storePath;
    mutable std::mutex mutex;
    // {"server": {...}, "devices": [{...}, ...]}
    rapidjson::Document store;
    std::optional<RestFault> fault;
};

}  // namespace vekhost
