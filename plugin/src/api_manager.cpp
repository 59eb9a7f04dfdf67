#include "api_manager.h"

#include <vek/sdk/helpers/ref_countable.h>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>

#include "ini_manager.h"
#include "utils/bounded_json.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

using vek::sdk::IHttpRequestCompletionHandler;
using vek::sdk::IString;
using vek::sdk::Result;

std::mutex& requestMutex() {
    static std::mutex mutex;
    return mutex;
}

struct RequestOutcome {
    bool failed = false;
    std::string errorMessage;
    std::optional<std::string> value;
};

// Hands the host's one answer to the waiting caller; a late or repeated answer is dropped.
class VEKAICompletionHandler : public vek::sdk::RefCountable<IHttpRequestCompletionHandler> {
public:
    void execute(Result<IString*> response) override {
        RequestOutcome outcome;
        if (response.error.errorCode != vek::sdk::ErrorCode::noError || response.error.errorMessage) {
            outcome.failed = true;
            if (response.error.errorMessage) {
                outcome.errorMessage =
                    response.error.errorMessage->str() ? response.error.errorMessage->str() : "";
                response.error.errorMessage->releaseRef();
            }
        }
        if (response.value) {
            if (!outcome.failed)
                outcome.value = response.value->str() ? response.value->str() : "";
            response.value->releaseRef();
        }
        std::lock_guard lock(mutex);
        if (answered)
            return;
        answered = true;
        promise.set_value(std::move(outcome));
    }

    std::future<RequestOutcome> future() { return promise.get_future(); }

private:
    std::mutex mutex;
    bool answered = false;
    std::promise<RequestOutcome> promise;
};

const char* kDevicesPath = "/rest/v4/devices/";
const char* kServerPath = "/rest/v4/servers/this";

enum class DeviceClass { Initialized, Uninitialized };

std::vector<std::string> classifyDevices(const APIManager::UtilityProvider& utilityProvider,
                                         DeviceClass wanted) {
    const std::string response = APIManager::getDevicesParameters(utilityProvider);
    if (response.empty()) {
        vekai_vlog("Warning! Could not patch default device parameters.\n");
        return {};
    }
    rapidjson::Document devices;
    if (Utils::parseBoundedJson(devices, response).HasParseError() || !devices.IsArray())
        return {};

    std::vector<std::string> ids;
    for (const auto& device : devices.GetArray()) {
        if (!device.IsObject() || !device.HasMember("id") || !device["id"].IsString())
            continue;
        const std::string id = device["id"].GetString();
        const bool activated = device.MemberCount() > 0 && device.HasMember("parameters") &&
                               device["parameters"].IsObject() && device["parameters"].MemberCount() > 0 &&
                               device["parameters"].HasMember("vekAI");
        if (!activated) {
            vekai_vlog_verbose("Device %s not activated yet. Ignoring.\n", id.c_str());
            continue;
        }
        const auto& vekAI = device["parameters"]["vekAI"];
        const bool isObject = vekAI.IsObject();
        const bool hasModels = isObject && vekAI.HasMember("models");
        const bool hasPipelines = isObject && vekAI.HasMember("pipelines");
        if (wanted == DeviceClass::Initialized) {
            if (isObject && vekAI.MemberCount() > 0 && (hasModels || hasPipelines))
                ids.push_back(id);
            else
                vekai_vlog_verbose("Device %s has no configuration. Ignoring.\n", id.c_str());
        } else {
            if (!hasModels || !hasPipelines)
                ids.push_back(id);
            else
                vekai_vlog_verbose("Device %s has configuration. Ignoring.\n", id.c_str());
        }
    }
    return ids;
}

// The status code of a response that begins with an HTTP status line; 0 for any other text.
int statusCodeOf(const std::string& response) {
    if (response.rfind("HTTP/", 0) != 0)
        return 0;
    const size_t space = response.find(' ');
    if (space == std::string::npos || space + 4 > response.size())
        return 0;
    int code = 0;
    for (size_t i = space + 1; i < space + 4; ++i) {
        if (response[i] < '0' || response[i] > '9')
            return 0;
        code = code * 10 + (response[i] - '0');
    }
    return code;
}

}  // namespace

std::string APIManager::extractMessageBody(const std::string& response) {
    size_t lineStart = 0;
    while (lineStart <= response.size()) {
        const size_t lineEnd = response.find('\n', lineStart);
        const std::string_view line(response.data() + lineStart,
                                    (lineEnd == std::string::npos ? response.size() : lineEnd) - lineStart);
        if (line.empty() || line == "\r") {
            if (lineEnd == std::string::npos)
                return {};
            const size_t bodyStart = lineEnd + 1;
            const size_t bodyEnd = response.find('\n', bodyStart);
            return response.substr(bodyStart,
                                   bodyEnd == std::string::npos ? std::string::npos : bodyEnd - bodyStart);
        }
        if (lineEnd == std::string::npos)
            break;
        lineStart = lineEnd + 1;
    }
    return response;
}

std::string APIManager::doRequest(const std::string& path, const std::string& method,
                                  const std::string& mimeType, const std::string& body,
                                  const UtilityProvider& utilityProvider) {
    if (!utilityProvider) {
        vekai_vlog("Warning! doRequest called with invalid utility provider.\n");
        return {};
    }
    std::lock_guard lock(requestMutex());
    const vek::sdk::Ptr<VEKAICompletionHandler> handler(new VEKAICompletionHandler());
    auto answer = handler->future();
    utilityProvider->sendHttpRequest(vek::sdk::HttpDomainName::vms, path.c_str(), method.c_str(),
                                     mimeType.c_str(), body.c_str(), handler.get());

    std::string response;
    const int timeoutSeconds = ini().HTTPRequestTimeout;
    if (answer.wait_for(std::chrono::seconds(timeoutSeconds)) != std::future_status::ready) {
        vekai_vlog("Warning! Timed out waiting for HTTP request completion after %d second(s).\n",
                   timeoutSeconds);
    } else {
        RequestOutcome outcome = answer.get();
        if (outcome.failed)
            vekai_vlog("Http request failed: %s\n", outcome.errorMessage.c_str());
        else if (outcome.value)
            response = std::move(*outcome.value);
        else
            response = "Error: Result has no value.";
    }
    if (response.empty()) {
        vekai_vlog("Warning! Could not get response from API.\n");
        return {};
    }
    // An error answer's body is the server's complaint, not the resource: callers would take it
    // for a device list or parameters.
    if (const int status = statusCodeOf(response); status != 0 && (status < 200 || status > 299)) {
        vekai_vlog("Warning! %s %s was answered with status %d: %s\n", method.c_str(), path.c_str(), status,
                   extractMessageBody(response).c_str());
        return {};
    }
    return extractMessageBody(response);
}

void APIManager::doRequestFireAndForget(const std::string& path, const std::string& method,
                                        const std::string& mimeType, const std::string& body,
                                        const UtilityProvider& utilityProvider) {
    if (!utilityProvider) {
        vekai_vlog("Warning! doRequestFireAndForget called with invalid utility provider.\n");
        return;
    }
    std::lock_guard lock(requestMutex());
    const vek::sdk::Ptr<VEKAICompletionHandler> handler(new VEKAICompletionHandler());
    utilityProvider->sendHttpRequest(vek::sdk::HttpDomainName::vms, path.c_str(), method.c_str(),
                                     mimeType.c_str(), body.c_str(), handler.get());
}

std::unique_ptr<rapidjson::Document> APIManager::getServerParameters(const UtilityProvider& utilityProvider) {
    const std::string response = doRequest(kServerPath, "GET", "", "", utilityProvider);
    if (response.empty())
        return nullptr;
    auto document = std::make_unique<rapidjson::Document>();
    if (Utils::parseBoundedJson(*document, response).HasParseError())
        return nullptr;
    return document;
}

std::string APIManager::patchServerParameters(const UtilityProvider& utilityProvider,
                                              const std::string& body) {
    return doRequest(kServerPath, "PATCH", "application/json", body, utilityProvider);
}

void APIManager::addRuntimeInformation(rapidjson::Document& document, rapidjson::Value& vekAIObject,
                                       const std::string& name, const std::string& mimeType) {
    auto& allocator = document.GetAllocator();
    rapidjson::Value mimeTypes(rapidjson::kArrayType);
    mimeTypes.PushBack(rapidjson::Value(mimeType.c_str(), allocator), allocator);
    rapidjson::Value runtime(rapidjson::kObjectType);
    runtime.AddMember("mimetypes", mimeTypes, allocator);
    runtime.AddMember("name", rapidjson::Value(name.c_str(), allocator), allocator);
    rapidjson::Value information(rapidjson::kArrayType);
    information.PushBack(runtime, allocator);
    vekAIObject.AddMember("runtimeInformation", information, allocator);
}

void APIManager::patchRuntimeInformation(const UtilityProvider& utilityProvider, const std::string& name,
                                         const std::string& mimeType) {
    auto parameters = Utils::createEmptyParametersObject();
    addRuntimeInformation(*parameters.document, *parameters.vekAI, name, mimeType);
    patchServerParameters(utilityProvider, Utils::finaliseDocument(*parameters.document));
}

std::string APIManager::getDeviceParameters(const UtilityProvider& utilityProvider,
                                            const std::string& deviceId) {
    return doRequest(kDevicesPath + deviceId, "GET", "", "", utilityProvider);
}

std::string APIManager::patchDeviceParameters(const UtilityProvider& utilityProvider, const std::string& body,
                                              const std::string& deviceId) {
    return doRequest(kDevicesPath + deviceId, "PATCH", "application/json", body, utilityProvider);
}

void APIManager::patchDeviceParametersFireAndForget(const UtilityProvider& utilityProvider,
                                                    const std::string& body, const std::string& deviceId) {
    doRequestFireAndForget(kDevicesPath + deviceId, "PATCH", "application/json", body, utilityProvider);
}

std::string APIManager::getDevicesParameters(const UtilityProvider& utilityProvider) {
    if (!utilityProvider) {
        vekai_vlog("Warning! getDevicesParameters called with invalid utility provider.\n");
        return {};
    }
    const char* serverId = utilityProvider->serverId();
    if (!serverId || !*serverId) {
        vekai_vlog("Error! The server has no id; cannot list its devices.\n");
        return {};
    }
    return doRequest(std::string("/rest/v4/devices?serverId=") + serverId, "GET", "", "", utilityProvider);
}

std::vector<std::string> APIManager::getInitializedDevices(const UtilityProvider& utilityProvider) {
    return classifyDevices(utilityProvider, DeviceClass::Initialized);
}

std::vector<std::string> APIManager::getUninitializedDevices(const UtilityProvider& utilityProvider) {
    return classifyDevices(utilityProvider, DeviceClass::Uninitialized);
}
