#include <vekhost/device_settings_store.h>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <vekhost/host_log.h>
#include <fstream>
#include <sstream>

namespace vekhost {

std::string pageJson(const DeviceSettingsPage& page) {
    rapidjson::Document document(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    rapidjson::Document model;
    model.Parse(page.model.c_str(), page.model.size());
    if (page.model.empty())
        document.AddMember("model", rapidjson::Value(rapidjson::kNullType), allocator);
    else if (model.HasParseError())
        document.AddMember("model", rapidjson::Value(page.model.c_str(), allocator), allocator);
    else
        document.AddMember("model", rapidjson::Value(model, allocator), allocator);
    rapidjson::Value values(rapidjson::kObjectType);
    for (const auto& [name, value] : page.values)
        values.AddMember(rapidjson::Value(name.c_str(), allocator),
                         rapidjson::Value(value.c_str(), allocator), allocator);
    document.AddMember("values", values, allocator);
    if (!page.actionUrl.empty())
        document.AddMember("actionUrl", rapidjson::Value(page.actionUrl.c_str(), allocator), allocator);
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

DeviceSettingsStore::DeviceSettingsStore(std::filesystem::path path) : file(std::move(path)) {
    std::ifstream input(file, std::ios::binary);
    if (!input)
        return;
    std::stringstream text;
    text << input.rdbuf();
    rapidjson::Document document;
    document.Parse(text.str().c_str());
    if (document.HasParseError() || !document.IsObject()) {
        logWarning("ignoring the unreadable device settings store " + file.string());
        return;
    }
    for (const auto& device : document.GetObject()) {
        if (!device.value.IsObject())
            continue;
        SettingValues& values = devices[device.name.GetString()];
        for (const auto& entry : device.value.GetObject())
            if (entry.value.IsString())
                values[entry.name.GetString()] = entry.value.GetString();
    }
}

SettingValues DeviceSettingsStore::values(const std::string& deviceId) const {
    std::lock_guard lock(mutex);
    auto found = devices.find(deviceId);
    return found == devices.end() ? SettingValues{} : found->second;
}

Status DeviceSettingsStore::store(const std::string& deviceId, const SettingValues& values) {
    std::lock_guard lock(mutex);
    devices[deviceId] = values;
    rapidjson::Document document(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    for (const auto& [id, deviceValues] : devices) {
        rapidjson::Value entries(rapidjson::kObjectType);
        for (const auto& [name, value] : deviceValues)
            entries.AddMember(rapidjson::Value(name.c_str(), allocator),
                              rapidjson::Value(value.c_str(), allocator), allocator);
        document.AddMember(rapidjson::Value(id.c_str(), allocator), entries, allocator);
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    // Written beside and renamed, so that a crash never leaves half a store.
    const std::filesystem::path temporary = file.string() + ".tmp";
    {
        std::ofstream output(temporary, std::ios::binary | std::ios::trunc);
        output.write(buffer.GetString(), static_cast<std::streamsize>(buffer.GetSize()));
        if (!output)
            return Failure{"cannot write the device settings store " + temporary.string()};
    }
    std::error_code error;
    std::filesystem::rename(temporary, file, error);
    if (error)
        return Failure{"cannot replace the device settings store " + file.string() + ": " + error.message()};
    return success();
}

}  // namespace vekhost
