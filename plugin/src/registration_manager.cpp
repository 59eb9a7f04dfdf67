#include "registration_manager.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <vek/network/http_client.h>
#include <vek/sdk/helpers/string.h>
#include <chrono>

#include "api_manager.h"
#include "engine.h"
#include "ini_manager.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

using vek::network::http::HttpClient;

std::unique_ptr<HttpClient> cloudClient(const std::string& token) {
    auto client = std::make_unique<HttpClient>(vek::network::ssl::kDefaultCertificateCheck);
    client->setAllTimeouts(std::chrono::milliseconds(static_cast<int64_t>(ini().HTTPRequestTimeout) * 1000));
    client->addAdditionalHeader("User-Agent", std::string("VEKAI-Plugin/") +
                                                  vek::vms_server_plugins::analytics::vekai::kPluginVersion);
    client->addAdditionalHeader("Authorization", token);
    return client;
}

std::string cloudToken(const RegistrationManager::UtilityProvider& utilityProvider) {
    const char* token = utilityProvider->cloudToken();
    return token ? token : "";
}

std::string compact(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// "<prefix>" + URL + " Code: " + status + " Line: " + status line (+ " Body: " + body).
std::string failureText(const char* prefix, const std::string& url, HttpClient& client) {
    const auto response = client.response();
    std::string text = std::string(prefix) + url +
                       " Code: " + std::to_string(response ? response->statusLine.statusCode : 0) +
                       " Line: " + (response ? response->statusLine.toString() : std::string());
    if (const auto body = client.fetchEntireMessageBody())
        text += " Body: " + *body;
    return text;
}

// Keeps the client registered in the handle for the duration of a fetch.
class FetchRegistration {
public:
    FetchRegistration(std::mutex& mutex, HttpClient*& slot, HttpClient* client) : mutex(mutex), slot(slot) {
        std::lock_guard lock(mutex);
        slot = client;
    }
    ~FetchRegistration() {
        std::lock_guard lock(mutex);
        slot = nullptr;
    }

private:
    std::mutex& mutex;
    HttpClient*& slot;
};

}  // namespace

void RegistrationManager::FetchCancellationHandle::cancel() {
    std::lock_guard lock(mutex);
    cancelled = true;
    if (client)
        client->pleaseStop();
}

bool RegistrationManager::FetchCancellationHandle::isCancelled() const {
    std::lock_guard lock(mutex);
    return cancelled;
}

void RegistrationManager::checkCloudConnection(const UtilityProvider& utilityProvider) {
    if (getState() == kNotChecked)
        setState(kCheckInProgress);
    if (!utilityProvider) {
        vekai_vlog("Warning! Utility provider is null, cannot check cloud connection.\n");
        return;
    }
    const char* token = utilityProvider->cloudToken();
    if (!token)
        vekai_vlog("Warning! Cloud token is NULL. This could indicate an incompatible VMS.\n");
    if (token && *token) {
        vekai_vlog_verbose("Got cloud token.\n");
        setState(kConnected);
    } else {
        vekai_vlog("Couldn't get cloud token. Assuming not connected to cloud.\n");
        setState(kNotConnected);
    }
}

RegistrationManager::AvailablePipeline RegistrationManager::toAvailablePipeline(
    const std::string& elementJson) {
    rapidjson::Document element;
    element.Parse(elementJson.c_str(), elementJson.size());
    std::string id;
    std::string name;
    if (!element.HasParseError() && element.IsObject()) {
        if (element.HasMember("uuid") && element["uuid"].IsString())
            id = element["uuid"].GetString();
        if (element.HasMember("name") && element["name"].IsString())
            name = element["name"].GetString();
    }

    auto parameters = Utils::createEmptyParametersObject();
    auto& allocator = parameters.document->GetAllocator();
    rapidjson::Value& definition = *parameters.vekAI;
    if (!element.HasParseError() && element.IsObject()) {
        for (const auto& member : element.GetObject()) {
            const std::string_view key(member.name.GetString(), member.name.GetStringLength());
            if (key == "name" || key == "uuid")
                continue;
            definition.AddMember(rapidjson::Value(member.name, allocator),
                                 rapidjson::Value(member.value, allocator), allocator);
        }
        if (element.HasMember("uuid") && element["uuid"].IsString())
            definition.AddMember("selectedPipeline", rapidjson::Value(id.c_str(), allocator), allocator);
    }
    return {id, name, Utils::finaliseDocument(*parameters.document)};
}

std::vector<RegistrationManager::AvailablePipeline> RegistrationManager::fetchDeviceAvailablePipelines(
    const UtilityProvider& utilityProvider, const std::string& deviceId, FetchCancellationHandle* handle) {
    if (!utilityProvider)
        return {};
    const auto client = cloudClient(cloudToken(utilityProvider));
    const std::string systemId = vek::sdk::takeString(utilityProvider->cloudSystemId());
    const std::string url =
        std::string(ini().CloudAPI) + "/system/" + systemId + "/device/" + deviceId + "/available-pipelines";

    std::optional<FetchRegistration> registration;
    if (handle) {
        {
            std::lock_guard lock(handle->mutex);
            if (handle->cancelled)
                return {};
        }
        registration.emplace(handle->mutex, handle->client, client.get());
    }

    const bool answered = client->doGet(vek::Url(url));
    if (!answered && !client->response()) {
        vekai_vlog("Couldn't get a response from endpoint: %s\n", url.c_str());
        return {};
    }
    if (!answered || client->response()->statusLine.statusCode != 200) {
        vekai_vlog("%s\n", failureText("Failed to fetch pipelines! Endpoint:", url, *client).c_str());
        return {};
    }
    const auto body = client->fetchEntireMessageBody();
    if (!body) {
        vekai_vlog("Failed to fetch available pipelines! Body can not be read.\n");
        return {};
    }
    rapidjson::Document document;
    if (document.Parse(body->c_str(), body->size()).HasParseError() || !document.IsArray())
        return {};
    std::vector<AvailablePipeline> pipelines;
    for (const auto& element : document.GetArray()) {
        auto pipeline = toAvailablePipeline(compact(element));
        vekai_vlog("Got available pipeline: %s:\n%s\n", std::get<1>(pipeline).c_str(),
                   std::get<2>(pipeline).c_str());
        pipelines.push_back(std::move(pipeline));
    }
    return pipelines;
}

void RegistrationManager::resetDevicePipelines(const UtilityProvider& utilityProvider,
                                               const std::vector<std::string>& deviceIds) {
    if (!utilityProvider) {
        vekai_vlog("Warning! Utility provider is null, cannot reset device pipelines.\n");
        return;
    }
    const std::string systemId = vek::sdk::takeString(utilityProvider->cloudSystemId());
    const char* serverId = utilityProvider->serverId();

    rapidjson::Document request(rapidjson::kObjectType);
    auto& allocator = request.GetAllocator();
    rapidjson::Value devices(rapidjson::kArrayType);
    for (const auto& id : deviceIds)
        devices.PushBack(rapidjson::Value(id.c_str(), allocator), allocator);
    request.AddMember("SystemId", rapidjson::Value(systemId.c_str(), allocator), allocator);
    request.AddMember("ServerId", rapidjson::Value(serverId ? serverId : "", allocator), allocator);
    request.AddMember("Devices", devices, allocator);
    const std::string body = Utils::finaliseDocument(request);

    const auto client = cloudClient(cloudToken(utilityProvider));
    vekai_vlog("Resetting configuration of %zu devices. String: %s\n", deviceIds.size(), body.c_str());
    const std::string url = std::string(ini().CloudAPI) + "/reset/" + systemId;
    const bool answered = client->doPost(vek::Url(url), "application/json", body);
    if (!answered && !client->response()) {
        vekai_vlog("Couldn't get a response from endpoint: %s\n", url.c_str());
        return;
    }
    if (!answered || client->response()->statusLine.statusCode != 200) {
        vekai_vlog("%s\n", failureText("Failed to configure devices! Endpoint:", url, *client).c_str());
        return;
    }
    const auto answer = client->fetchEntireMessageBody();
    if (!answer)
        return;
    rapidjson::Document document;
    if (document.Parse(answer->c_str(), answer->size()).HasParseError() || !document.IsObject() ||
        !document.HasMember("Devices") || !document["Devices"].IsObject())
        return;
    for (const auto& device : document["Devices"].GetObject()) {
        auto parameters = Utils::createEmptyParametersObject();
        auto& parametersAllocator = parameters.document->GetAllocator();
        (*parameters.document)["parameters"]["vekAI"].CopyFrom(device.value, parametersAllocator);
        const std::string text = Utils::finaliseDocument(*parameters.document);
        const std::string deviceId(device.name.GetString(), device.name.GetStringLength());
        vekai_vlog_verbose("Patching parameters to device: %s : %s\n", deviceId.c_str(), text.c_str());
        APIManager::patchDeviceParameters(utilityProvider, text, deviceId);
    }
}
