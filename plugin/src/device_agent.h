// One camera's agent: receives the host's frames, hands them to inference and returns the
// resulting metadata packets while it lives.
#pragma once

#include <vek/sdk/analytics/helpers/consuming_device_agent.h>
#include <memory>
#include <string>

namespace vek::vms_server_plugins::analytics::vekai {

class Engine;

class DeviceAgent : public vek::sdk::analytics::ConsumingDeviceAgent {
public:
    DeviceAgent(const vek::sdk::IDeviceInfo* deviceInfo, Engine* engine, const std::string& workDir);
    ~DeviceAgent() override;

    // The device id as lower-case hyphenated UUID text.
    const std::string& deviceId() const { return id; }
    const std::string& deviceName() const { return name; }

protected:
    std::string manifestString() const override;
    bool pushUncompressedVideoFrame(vek::sdk::analytics::IUncompressedVideoFrame1* frame) override;
    bool pullMetadataPackets(MetadataPacketList* packets) override;
    void doSetNeededMetadataTypes(vek::sdk::Result<void>* outResult,
                                  const vek::sdk::analytics::IMetadataTypes* types) override;

private:
    Engine* const engine;
    const std::string workDir;
    const std::string cacheDir;
    const std::string id;
    const std::string name;
};

}  // namespace vek::vms_server_plugins::analytics::vekai
