// The handlers the host gives the engine and each device agent: metadata packets go to the
// recorder, diagnostic events and pushed manifests to the host's log.
#pragma once

#include <vek/sdk/analytics/i_device_agent.h>
#include <vek/sdk/analytics/i_engine.h>
#include <vek/sdk/helpers/ref_countable.h>
#include <vekhost/metadata_recorder.h>
#include <memory>
#include <string>

namespace vekhost {

class DeviceAgentHandler : public vek::sdk::RefCountable<vek::sdk::analytics::IDeviceAgent::IHandler> {
public:
    DeviceAgentHandler(std::shared_ptr<MetadataRecorder> recorder, int camera, std::string cameraName);

    void handleMetadata(vek::sdk::analytics::IMetadataPacket* metadataPacket) override;
    void handleIntegrationDiagnosticEvent(vek::sdk::IIntegrationDiagnosticEvent* event) override;
    void pushManifest(const vek::sdk::IString* manifest) override;

private:
    const std::shared_ptr<MetadataRecorder> recorder;
    const int camera;
    const std::string cameraName;
};

class EngineHandler : public vek::sdk::RefCountable<vek::sdk::analytics::IEngine0::IHandler> {
public:
    void handleIntegrationDiagnosticEvent(vek::sdk::IIntegrationDiagnosticEvent* event) override;
    void pushManifest(const vek::sdk::IString* manifest) override;
};

// "level: caption: description" of a plugin's diagnostic event.
std::string describeDiagnosticEvent(const vek::sdk::IIntegrationDiagnosticEvent& event);

}  // namespace vekhost
