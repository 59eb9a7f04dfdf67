// A minimal in-process stand-in for the server: a utility provider over temporary directories
// and device infos, for tests that drive the engine directly.
#pragma once

#include <vek/sdk/helpers/ref_countable.h>
#include <vek/sdk/helpers/string.h>
#include <vek/sdk/i_device_info.h>
#include <vek/sdk/i_utility_provider.h>
#include <vektest/temp_dir.h>
#include <filesystem>
#include <string>

namespace testhost {

class UtilityProvider : public vek::sdk::RefCountable<vek::sdk::IUtilityProvider7> {
public:
    UtilityProvider(std::string home, std::string data) : home(std::move(home)), data(std::move(data)) {}
    vek::sdk::IString* homeDir() const override { return new vek::sdk::String(home); }
    const char* serverId() const override { return "5f0c2f55-98e1-4c35-a8ce-6a4a1a7a0001"; }
    vek::sdk::IString* cloudSystemId() const override { return nullptr; }
    void sendHttpRequest(vek::sdk::HttpDomainName, const char*, const char*, const char*, const char*,
                         vek::sdk::IHttpRequestCompletionHandler* callback) const override {
        if (callback)
            callback->execute(vek::sdk::Result<vek::sdk::IString*>(
                vek::sdk::Error{vek::sdk::ErrorCode::notImplemented, nullptr}));
    }
    const char* cloudToken() const override { return ""; }
    vek::sdk::IString* dataDir() const override { return new vek::sdk::String(data); }

private:
    std::string home;
    std::string data;
};

class DeviceInfo : public vek::sdk::RefCountable<vek::sdk::IDeviceInfo> {
public:
    DeviceInfo(std::string id, std::string name) : deviceId(std::move(id)), deviceName(std::move(name)) {}
    const char* id() const override { return deviceId.c_str(); }
    const char* name() const override { return deviceName.c_str(); }

private:
    std::string deviceId;
    std::string deviceName;
};

// Temporary directories for the tests that drive the engine.
using TempDir = vektest::TempDir;

inline int threadCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

}  // namespace testhost
