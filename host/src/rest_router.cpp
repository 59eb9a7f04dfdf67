#include <vekhost/rest_router.h>

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <vekhost/host_log.h>
#include <fstream>
#include <sstream>
#include <thread>

namespace vekhost {
namespace {

constexpr const char* kServerPath = "/rest/v4/servers/this";
constexpr const char* kDevicesPath = "/rest/v4/devices/";
constexpr const char* kDeviceListPath = "/rest/v4/devices?serverId=";

std::string compact(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

RestResponse errorResponse(int status, const std::string& id, const std::string& text) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("error");
    writer.String(std::to_string(status));
    writer.Key("errorId");
    writer.String(id);
    writer.Key("errorString");
    writer.String(text);
    writer.EndObject();
    return {status, buffer.GetString()};
}

RestResponse notFound(const RestRequest& request) {
    return errorResponse(404, "notFound", "No resource for " + request.method + " " + request.pathWithQuery);
}

// Objects merge member by member; any other value replaces what was there.
void deepMerge(rapidjson::Value& target, const rapidjson::Value& patch,
               rapidjson::Document::AllocatorType& allocator) {
    if (!target.IsObject() || !patch.IsObject()) {
        target.CopyFrom(patch, allocator);
        return;
    }
    for (const auto& member : patch.GetObject()) {
        const auto existing = target.FindMember(member.name);
        if (existing == target.MemberEnd())
            target.AddMember(rapidjson::Value(member.name, allocator),
                             rapidjson::Value(member.value, allocator), allocator);
        else
            deepMerge(existing->value, member.value, allocator);
    }
}

rapidjson::Value resource(const std::string& id, const std::string& name, const std::string& serverId,
                          rapidjson::Document::AllocatorType& allocator) {
    rapidjson::Value entry(rapidjson::kObjectType);
    entry.AddMember("id", rapidjson::Value(id.c_str(), allocator), allocator);
    entry.AddMember("name", rapidjson::Value(name.c_str(), allocator), allocator);
    entry.AddMember("serverId", rapidjson::Value(serverId.c_str(), allocator), allocator);
    entry.AddMember("parameters", rapidjson::Value(rapidjson::kObjectType), allocator);
    return entry;
}

}  // namespace

RestRouter::RestRouter(std::string serverId, std::optional<std::filesystem::path> storePath)
    : serverId(std::move(serverId)), storePath(std::move(storePath)) {
    store.SetObject();
    auto& allocator = store.GetAllocator();
    store.AddMember("server", resource(this->serverId, "vekhost", this->serverId, allocator), allocator);
    store.AddMember("devices", rapidjson::Value(rapidjson::kArrayType), allocator);
    load();
}

void RestRouter::load() {
    if (!storePath || !std::filesystem::exists(*storePath))
        return;
    std::ifstream file(*storePath);
    std::stringstream text;
    text << file.rdbuf();
    rapidjson::Document saved;
    const std::string content = text.str();
    if (saved.Parse(content.c_str(), content.size()).HasParseError() || !saved.IsObject() ||
        !saved.HasMember("server") || !saved["server"].IsObject() || !saved.HasMember("devices") ||
        !saved["devices"].IsArray()) {
        logWarning("REST store " + storePath->string() + " is unreadable; starting empty");
        return;
    }
    store.CopyFrom(saved, store.GetAllocator());
}

void RestRouter::commitChange() {
    // The document's pool allocator keeps every value a change replaced until the document goes: a
    // fresh copy keeps a long run's store at its real size.
    rapidjson::Document compacted;
    compacted.CopyFrom(store, compacted.GetAllocator());
    store.Swap(compacted);
    save();
}

void RestRouter::save() const {
    if (!storePath)
        return;
    const std::filesystem::path temporary = storePath->string() + ".tmp";
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << compact(store) << "\n";
        if (!file.flush()) {
            logWarning("Could not write the REST store " + temporary.string());
            return;
        }
    }
    std::error_code failure;
    std::filesystem::rename(temporary, *storePath, failure);
    if (failure)
        logWarning("Could not replace the REST store " + storePath->string() + ": " + failure.message());
}

rapidjson::Value* RestRouter::findDevice(const std::string& id) {
    for (auto& device : store["devices"].GetArray()) {
        if (device.IsObject() && device.HasMember("id") && device["id"].IsString() &&
            id == device["id"].GetString())
            return &device;
    }
    return nullptr;
}

rapidjson::Value& RestRouter::deviceEntry(const std::string& id) {
    if (rapidjson::Value* existing = findDevice(id))
        return *existing;
    auto& allocator = store.GetAllocator();
    store["devices"].PushBack(resource(id, id, serverId, allocator), allocator);
    return store["devices"][store["devices"].Size() - 1];
}

void RestRouter::addDevice(const std::string& id, const std::string& name) {
    std::lock_guard lock(mutex);
    rapidjson::Value& device = deviceEntry(id);
    device["name"].SetString(name.c_str(), store.GetAllocator());
    commitChange();
}

std::string RestRouter::parametersOf(const std::string& deviceId) const {
    std::lock_guard lock(mutex);
    if (deviceId.empty())
        return compact(store["server"]["parameters"]);
    for (const auto& device : store["devices"].GetArray()) {
        if (device.HasMember("id") && device["id"].IsString() && deviceId == device["id"].GetString())
            return compact(device["parameters"]);
    }
    return "{}";
}

void RestRouter::setFault(std::optional<RestFault> value) {
    std::lock_guard lock(mutex);
    fault = value;
}

RestResponse RestRouter::handle(const RestRequest& request) {
    std::optional<RestFault> current;
    {
        std::lock_guard lock(mutex);
        current = fault;
    }
    if (current) {
        std::this_thread::sleep_for(current->delay);
        if (current->status != 0)
            return errorResponse(current->status, "injectedFault", "Injected fault");
    }
    std::lock_guard lock(mutex);
    const std::string& path = request.pathWithQuery;
    rapidjson::Value* target = nullptr;
    bool isList = false;
    if (path == kServerPath) {
        target = &store["server"];
    } else if (path.rfind(kDeviceListPath, 0) == 0) {
        isList = true;
    } else if (path.rfind(kDevicesPath, 0) == 0 && path.size() > std::string(kDevicesPath).size()) {
        const std::string id = path.substr(std::string(kDevicesPath).size());
        target = request.method == "PATCH" ? &deviceEntry(id) : findDevice(id);
        if (!target)
            return notFound(request);
    } else {
        return notFound(request);
    }

    if (request.method == "GET") {
        if (!isList)
            return {200, compact(*target)};
        const std::string wanted = path.substr(std::string(kDeviceListPath).size());
        rapidjson::Document list(rapidjson::kArrayType);
        for (const auto& device : store["devices"].GetArray()) {
            if (device.HasMember("serverId") && device["serverId"].IsString() &&
                wanted == device["serverId"].GetString())
                list.PushBack(rapidjson::Value(device, list.GetAllocator()), list.GetAllocator());
        }
        return {200, compact(list)};
    }
    if (request.method == "PATCH" && !isList) {
        rapidjson::Document patch;
        if (patch.Parse(request.body.c_str(), request.body.size()).HasParseError() || !patch.IsObject())
            return errorResponse(400, "invalidParameter", "The body is not a JSON object");
        deepMerge(*target, patch, store.GetAllocator());
        std::string merged = compact(*target);
        commitChange();
        return {200, std::move(merged)};
    }
    return errorResponse(405, "notAllowed", request.method + " is not allowed on " + path);
}

}  // namespace vekhost
