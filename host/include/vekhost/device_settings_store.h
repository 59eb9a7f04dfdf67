// The server's side of device settings pages: the values it keeps per device across runs and hands
// to the agent, and one page as the user sees it (model, values, an address to open).
#pragma once

#include <vekhost/outcome.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace vekhost {

using SettingValues = std::map<std::string, std::string>;

struct DeviceSettingsPage {
    std::string model;
    SettingValues values;
    // Set when a button asks the server to open an address instead of showing a page.
    std::string actionUrl;
};

// {"model": <the model as JSON, or null>, "values": {...}, "actionUrl": ...}; the model text is
// embedded as it stands when it is JSON, else as a string.
std::string pageJson(const DeviceSettingsPage& page);

// Values per device id in a JSON file; every change is written at once.
class DeviceSettingsStore {
public:
    explicit DeviceSettingsStore(std::filesystem::path file);

    SettingValues values(const std::string& deviceId) const;
    Status store(const std::string& deviceId, const SettingValues& values);

private:
    const std::filesystem::path file;
    mutable std::mutex mutex;
    std::map<std::string, SettingValues> devices;
};

}  // namespace vekhost
