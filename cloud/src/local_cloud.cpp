#include "vekcloud/local_cloud.h"

#include <httplib.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "vekcloud/body_source.h"
#include "vekcloud/model_encryption.h"
#include "vekcloud/runtime_store.h"
#include "vekcloud/site.h"

namespace vekcloud {

namespace {

constexpr std::string_view kUserAgentPrefix = "VEKAI-Plugin/";

// What a route answers, before faults are applied to it.
struct Answer {
    int status = 200;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    std::unique_ptr<BodySource> body;
};

Answer textAnswer(int status, std::string contentType, std::string text) {
    Answer answer;
    answer.status = status;
    answer.contentType = std::move(contentType);
    answer.body = std::make_unique<TextBody>(std::move(text));
    return answer;
}

Answer jsonAnswer(int status, std::string json) {
    return textAnswer(status, "application/json", std::move(json));
}

// {"error":"..."}
Answer errorAnswer(int status, const std::string& message) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("error");
    writer.String(message.c_str(), static_cast<rapidjson::SizeType>(message.size()));
    writer.EndObject();
    return jsonAnswer(status, std::string(buffer.GetString(), buffer.GetSize()));
}

Answer documentAnswer(const SiteDocument& document) {
    switch (document.kind) {
        case SiteDocument::Kind::found:
            return jsonAnswer(200, document.text);
        case SiteDocument::Kind::missing:
            return errorAnswer(404, document.text);
        case SiteDocument::Kind::invalid:
            break;
    }
    return errorAnswer(500, "site error: " + document.text);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(
        a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    const auto found = std::ranges::find_if(
        headers, [&](const auto& header) { return equalsIgnoringCase(header.first, name); });
    if (found == headers.end()) {
        return std::nullopt;
    }
    return found->second;
}

struct LocalCloud::Impl {
    using Route = std::function<Answer(const httplib::Request&, const Fault&)>;

    explicit Impl(CloudOptions cloudOptions)
        : options(std::move(cloudOptions)),
          site(options.siteDirectory, [this](std::string_view line) { log(line); }),
          runtimes(options.runtimesDirectory.empty() ? options.siteDirectory / "runtimes"
                                                     : options.runtimesDirectory) {}

    bool listen(std::string& error);
    void shutdown();
    void registerRoutes(httplib::Server& server);
    httplib::Server::Handler handler(Route route);
    void send(httplib::Response& response, Answer answer, const Fault& fault);
    // Waits unless the cloud stops meanwhile; false when it does.
    bool pause(std::chrono::milliseconds duration);
    void record(const httplib::Request& request);
    void log(std::string_view line) const;
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port); }
    bool knowsSystem(const std::string& systemId) const;
    std::optional<Answer> refuseCloudRequest(const httplib::Request& request) const;
    std::optional<ModelKey> modelKey(const std::string& modelId);

    Answer availablePipelines(const httplib::Request& request);
    Answer reset(const httplib::Request& request);
    Answer modelDownload(const httplib::Request& request);
    Answer storedModel(const httplib::Request& request, const Fault& fault);
    Answer runtimePackage(const httplib::Request& request, const Fault& fault);

    const CloudOptions options;
    const Site site;
    const RuntimeStore runtimes;
    FaultTable faults;
    uint16_t port = 0;

    std::unique_ptr<httplib::Server> server;
    std::thread serving;

    std::mutex stopMutex;
    std::condition_variable stopChanged;
    bool stopping = false;

    mutable std::mutex stateMutex;
    std::map<std::string, ModelKey> modelKeys;
    std::deque<RecordedRequest> recorded;
};

namespace {

// Sends a body piece by piece, applying the body faults on the way.
class BodyStream {
public:
    using Pause = std::function<bool(std::chrono::milliseconds)>;

    BodyStream(std::unique_ptr<BodySource> source, const Fault& fault, Pause pause)
        : source(std::move(source)), fault(fault), pause(std::move(pause)) {}

    uint64_t size() const { return source->size(); }

    bool write(size_t offset, httplib::DataSink& sink) {
        if (offset != sent) {
            return false;  // a range request; bodies are only produced from the start
        }
        if (fault.chunkDelay.count() > 0 && !pause(fault.chunkDelay)) {
            return false;
        }
        if (!source->next(piece) || piece.empty()) {
            return false;
        }
        if (fault.corruptAt && *fault.corruptAt >= sent && *fault.corruptAt - sent < piece.size()) {
            piece[*fault.corruptAt - sent] = static_cast<char>(~piece[*fault.corruptAt - sent]);
        }
        if (fault.truncateAfter && sent + piece.size() > *fault.truncateAfter) {
            const uint64_t kept = *fault.truncateAfter > sent ? *fault.truncateAfter - sent : 0;
            sink.write(piece.data(), kept);
            return false;  // closes the connection short of the announced length
        }
        sent += piece.size();
        return sink.write(piece.data(), piece.size());
    }

private:
    std::unique_ptr<BodySource> source;
    const Fault fault;
    const Pause pause;
    std::string piece;
    uint64_t sent = 0;
};

}  // namespace

bool LocalCloud::Impl::listen(std::string& error) {
    auto created = std::make_unique<httplib::Server>();
    registerRoutes(*created);
    if (port == 0) {
        const int bound = created->bind_to_any_port("127.0.0.1");
        if (bound <= 0) {
            error = "cannot bind a port on 127.0.0.1";
            return false;
        }
        port = static_cast<uint16_t>(bound);
    } else if (!created->bind_to_port("127.0.0.1", port)) {
        error = "cannot bind 127.0.0.1:" + std::to_string(port);
        return false;
    }
    {
        std::lock_guard lock(stopMutex);
        stopping = false;
    }
    server = std::move(created);
    serving = std::thread([running = server.get()] { running->listen_after_bind(); });
    // The server may also have run and ended already; waiting longer would not change that.
    for (int waited = 0; !server->is_running() && waited < 2000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void LocalCloud::Impl::shutdown() {
    if (!server) {
        return;
    }
    {
        std::lock_guard lock(stopMutex);
        stopping = true;
    }
    stopChanged.notify_all();
    server->stop();
    serving.join();
    server.reset();
}

bool LocalCloud::Impl::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(stopMutex);
    return !stopChanged.wait_for(lock, duration, [this] { return stopping; });
}

void LocalCloud::Impl::registerRoutes(httplib::Server& routes) {
    routes.Get(R"(/system/([^/]*)/device/([^/]*)/available-pipelines)",
               handler([this](const httplib::Request& request, const Fault&) {
                   return availablePipelines(request);
               }));
    routes.Post(R"(/reset/([^/]*))",
                handler([this](const httplib::Request& request, const Fault&) { return reset(request); }));
    routes.Get(R"(/models/([^/]+)/([^/]+))", handler([this](const httplib::Request& request, const Fault&) {
                   return modelDownload(request);
               }));
    routes.Get(R"(/storage/models/([^/]+)/([^/]+))",
               handler([this](const httplib::Request& request, const Fault& fault) {
                   return storedModel(request, fault);
               }));
    routes.Get(std::string(kRuntimeStorePath) + "/(.+)",
               handler([this](const httplib::Request& request, const Fault& fault) {
                   return runtimePackage(request, fault);
               }));
}

httplib::Server::Handler LocalCloud::Impl::handler(Route route) {
    return [this, route = std::move(route)](const httplib::Request& request, httplib::Response& response) {
        record(request);
        const Fault fault = faults.lookup(request.path).value_or(Fault{});
        if (fault.delay.count() > 0 && !pause(fault.delay)) {
            response.status = 503;
            return;
        }
        Answer answer = fault.status != 0 ? textAnswer(fault.status, "text/plain", "injected fault\n")
                                          : route(request, fault);
        log(request.method + " " + request.path + " -> " + std::to_string(answer.status));
        send(response, std::move(answer), fault);
    };
}

void LocalCloud::Impl::send(httplib::Response& response, Answer answer, const Fault& fault) {
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) {
        response.set_header(name, value);
    }
    if (fault.body) {
        answer.body = std::make_unique<TextBody>(*fault.body);
    }
    if (!answer.body || answer.body->size() == 0) {
        response.set_content("", answer.contentType);
        return;
    }
    auto stream =
        std::make_shared<BodyStream>(std::move(answer.body), fault,
                                     [this](std::chrono::milliseconds duration) { return pause(duration); });
    const auto size = static_cast<size_t>(stream->size());
    response.set_content_provider(
        size, answer.contentType,
        [stream](size_t offset, size_t, httplib::DataSink& sink) { return stream->write(offset, sink); });
}

void LocalCloud::Impl::record(const httplib::Request& request) {
    RecordedRequest entry{
        request.method, request.path, {request.headers.begin(), request.headers.end()}, request.body};
    std::lock_guard lock(stateMutex);
    recorded.push_back(std::move(entry));
    if (recorded.size() > kRememberedRequests) {
        recorded.pop_front();
    }
}

void LocalCloud::Impl::log(std::string_view line) const {
    if (options.log) {
        options.log(line);
    }
}

bool LocalCloud::Impl::knowsSystem(const std::string& systemId) const {
    return !systemId.empty() && (options.systemId.empty() || systemId == options.systemId);
}

std::optional<Answer> LocalCloud::Impl::refuseCloudRequest(const httplib::Request& request) const {
    const std::string token = request.get_header_value("Authorization");
    if (token.empty()) {
        return errorAnswer(401, "missing Authorization");
    }
    if (!options.token.empty() && token != options.token) {
        return errorAnswer(401, "unknown cloud token");
    }
    if (!request.get_header_value("User-Agent").starts_with(kUserAgentPrefix)) {
        return errorAnswer(400, "the User-Agent must begin with " + std::string(kUserAgentPrefix));
    }
    return std::nullopt;
}

std::optional<ModelKey> LocalCloud::Impl::modelKey(const std::string& modelId) {
    std::lock_guard lock(stateMutex);
    if (const auto known = modelKeys.find(modelId); known != modelKeys.end()) {
        return known->second;
    }
    const auto key = randomModelKey();
    if (key) {
        modelKeys.emplace(modelId, *key);
    }
    return key;
}

Answer LocalCloud::Impl::availablePipelines(const httplib::Request& request) {
    const std::string systemId = request.matches[1];
    const std::string deviceId = request.matches[2];
    if (auto refusal = refuseCloudRequest(request)) {
        return std::move(*refusal);
    }
    if (!knowsSystem(systemId)) {
        return errorAnswer(404, "unknown system '" + systemId + "'");
    }
    return documentAnswer(site.availablePipelines({baseUrl(), systemId, deviceId}));
}

Answer LocalCloud::Impl::reset(const httplib::Request& request) {
    const std::string systemId = request.matches[1];
    if (auto refusal = refuseCloudRequest(request)) {
        return std::move(*refusal);
    }
    if (!knowsSystem(systemId)) {
        return errorAnswer(404, "unknown system '" + systemId + "'");
    }
    if (!request.get_header_value("Content-Type").starts_with("application/json")) {
        return errorAnswer(415, "the reset request must be application/json");
    }
    rapidjson::Document body;
    body.Parse(request.body.data(), request.body.size());
    if (body.HasParseError() || !body.IsObject()) {
        return errorAnswer(400, "the reset request is not a JSON object");
    }
    const auto system = body.FindMember("SystemId");
    const auto server = body.FindMember("ServerId");
    const auto devices = body.FindMember("Devices");
    if (system == body.MemberEnd() || !system->value.IsString() || systemId != system->value.GetString()) {
        return errorAnswer(400, "\"SystemId\" must be the system id of the path");
    }
    if (server == body.MemberEnd() || !server->value.IsString()) {
        return errorAnswer(400, "\"ServerId\" must be a string");
    }
    if (devices == body.MemberEnd() || !devices->value.IsArray()) {
        return errorAnswer(400, "\"Devices\" must be an array of device ids");
    }
    std::vector<std::string> deviceIds;
    for (const auto& device : devices->value.GetArray()) {
        if (!device.IsString()) {
            return errorAnswer(400, "\"Devices\" must be an array of device ids");
        }
        deviceIds.emplace_back(device.GetString(), device.GetStringLength());
    }
    return documentAnswer(site.resetAnswer(deviceIds, {baseUrl(), systemId, ""}));
}

Answer LocalCloud::Impl::modelDownload(const httplib::Request& request) {
    const std::string modelId = request.matches[1];
    const std::string fileName = request.matches[2];
    if (auto refusal = refuseCloudRequest(request)) {
        return std::move(*refusal);
    }
    if (!site.modelFile(modelId, fileName)) {
        return errorAnswer(404, "no model file '" + fileName + "' for model '" + modelId + "'");
    }
    Answer answer = textAnswer(307, "text/plain", "");
    answer.headers.emplace_back("Location", baseUrl() + "/storage/models/" + modelId + "/" + fileName);
    return answer;
}

Answer LocalCloud::Impl::storedModel(const httplib::Request& request, const Fault& fault) {
    // The storage is reached by a redirect; the cloud token must never travel there.
    if (request.has_header("Authorization")) {
        return errorAnswer(403, "the storage does not accept an Authorization header");
    }
    const std::string modelId = request.matches[1];
    const auto file = site.modelFile(modelId, request.matches[2]);
    if (!file) {
        return errorAnswer(404, "no such model file");
    }
    const auto key = modelKey(modelId);
    auto body = key ? EncryptedModelBody::open(*file, *key) : nullptr;
    if (!body) {
        return errorAnswer(500, "the model file cannot be encrypted");
    }
    Answer answer;
    answer.contentType = "application/octet-stream";
    if (fault.wrongKey) {
        const auto otherKey = randomModelKey();
        answer.headers.emplace_back("X-Key", otherKey ? base64Encode(*otherKey) : std::string());
    } else if (!fault.missingKey) {
        answer.headers.emplace_back("X-Key", base64Encode(*key));
    }
    answer.body = std::move(body);
    return answer;
}

Answer LocalCloud::Impl::runtimePackage(const httplib::Request& request, const Fault& fault) {
    const auto package = runtimes.package(request.matches[1].str());
    if (!package) {
        return errorAnswer(404, "no runtime package at " + request.path);
    }
    auto checksum = md5Hex(*package);
    auto body = FileBody::open(*package);
    if (!checksum || !body) {
        return errorAnswer(500, "the runtime package cannot be read");
    }
    if (fault.wrongChecksum) {
        (*checksum)[0] = (*checksum)[0] == '0' ? '1' : '0';
    }
    Answer answer;
    answer.contentType = "application/gzip";
    answer.headers.emplace_back("X-Checksum-Md5", *checksum);
    answer.body = std::move(body);
    return answer;
}

LocalCloud::LocalCloud(CloudOptions options) : impl(std::make_unique<Impl>(std::move(options))) {
    impl->port = impl->options.port;
}

LocalCloud::~LocalCloud() {
    stop();
}

bool LocalCloud::start(std::string& error) {
    std::error_code ignored;
    if (!std::filesystem::is_directory(impl->options.siteDirectory, ignored)) {
        error = "the site directory " + impl->options.siteDirectory.string() + " does not exist";
        return false;
    }
    impl->shutdown();
    return impl->listen(error);
}

void LocalCloud::stop() {
    impl->shutdown();
}

uint16_t LocalCloud::port() const {
    return impl->port;
}

std::string LocalCloud::baseUrl() const {
    return impl->baseUrl();
}

std::string LocalCloud::runtimeStoreUrl() const {
    return impl->baseUrl() + std::string(kRuntimeStorePath) + "/";
}

void LocalCloud::setFault(const std::string& pathPrefix, const Fault& fault) {
    impl->faults.set(pathPrefix, fault);
}

void LocalCloud::clearFault(const std::string& pathPrefix) {
    impl->faults.clear(pathPrefix);
}

void LocalCloud::clearFaults() {
    impl->faults.clearAll();
}

bool LocalCloud::setRefusingConnections(bool refusing) {
    if (refusing) {
        impl->shutdown();
        return true;
    }
    if (impl->server) {
        return true;
    }
    std::string error;
    return impl->listen(error);
}

std::vector<RecordedRequest> LocalCloud::requests() const {
    std::lock_guard lock(impl->stateMutex);
    return {impl->recorded.begin(), impl->recorded.end()};
}

void LocalCloud::clearRequests() {
    std::lock_guard lock(impl->stateMutex);
    impl->recorded.clear();
}

}  // namespace vekcloud
