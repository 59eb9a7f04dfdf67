#include <vekhost/agent_handlers.h>

#include <vekhost/host_log.h>

namespace vekhost {
namespace {

using vek::sdk::IIntegrationDiagnosticEvent;

const char* levelName(IIntegrationDiagnosticEvent::Level level) {
    switch (level) {
        case IIntegrationDiagnosticEvent::Level::info:
            return "info";
        case IIntegrationDiagnosticEvent::Level::warning:
            return "warning";
        case IIntegrationDiagnosticEvent::Level::error:
            return "error";
    }
    return "unknown level";
}

std::string textOrEmpty(const char* text) {
    return text ? text : "";
}

}  // namespace

std::string describeDiagnosticEvent(const IIntegrationDiagnosticEvent& event) {
    return std::string(levelName(event.level())) + ": " + textOrEmpty(event.caption()) + ": " +
           textOrEmpty(event.description());
}

DeviceAgentHandler::DeviceAgentHandler(std::shared_ptr<MetadataRecorder> recorder, int camera,
                                       std::string cameraName)
    : recorder(std::move(recorder)), camera(camera), cameraName(std::move(cameraName)) {}

void DeviceAgentHandler::handleMetadata(vek::sdk::analytics::IMetadataPacket* metadataPacket) {
    if (!metadataPacket) {
        logWarning(cameraName + ": the plugin handed over a null metadata packet");
        return;
    }
    recorder->recordPacket(camera, metadataPacket);
}

void DeviceAgentHandler::handleIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent* event) {
    if (!event)
        return;
    recorder->recordDiagnosticEvent(camera);
    logInfo(cameraName + " diagnostic event " + describeDiagnosticEvent(*event));
}

void DeviceAgentHandler::pushManifest(const vek::sdk::IString* manifest) {
    recorder->recordPushedManifest(camera);
    logVerbose(cameraName + " pushed a new manifest: " + (manifest ? textOrEmpty(manifest->str()) : ""));
}

void EngineHandler::handleIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent* event) {
    if (event)
        logInfo("engine diagnostic event " + describeDiagnosticEvent(*event));
}

void EngineHandler::pushManifest(const vek::sdk::IString* manifest) {
    logVerbose("engine pushed a new manifest: " + (manifest ? textOrEmpty(manifest->str()) : ""));
}

}  // namespace vekhost
