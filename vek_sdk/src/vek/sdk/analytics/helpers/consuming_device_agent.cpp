#include <vek/sdk/analytics/helpers/consuming_device_agent.h>

#include <vek/sdk/helpers/lib_context.h>
#include <vek/sdk/helpers/settings_response.h>
#include <vek/sdk/helpers/string.h>

namespace vek::sdk::analytics {

namespace {

std::string agentPrefix(const std::string& instanceId, const std::string& deviceId) {
    std::string prefix = "[";
    prefix += LibContext::instance().name();
    if (!instanceId.empty())
        prefix += "_" + instanceId;
    return prefix + "_device" + "_" + deviceId + "] ";
}

std::string idOf(const IDeviceInfo* deviceInfo) {
    return (deviceInfo && deviceInfo->id()) ? deviceInfo->id() : "";
}

}  // namespace

ConsumingDeviceAgent::ConsumingDeviceAgent(const IDeviceInfo* deviceInfo, bool enableOutput,
                                           std::string instanceId)
    : deviceIdText(idOf(deviceInfo)), logUtils(enableOutput, agentPrefix(instanceId, deviceIdText)) {
    logUtils.output("Created");
}

ConsumingDeviceAgent::~ConsumingDeviceAgent() {
    logUtils.output("Destroyed");
}

void ConsumingDeviceAgent::setHandler(IDeviceAgent::IHandler* newHandler) {
    host.setHandler(newHandler);
}

void ConsumingDeviceAgent::pushMetadataPacket(IMetadataPacket* metadataPacket) {
    if (!metadataPacket) {
        logUtils.error("INTERNAL ERROR: null metadata packet; ignoring it");
        return;
    }
    const auto target = host.currentHandler();
    if (!target) {
        logUtils.error("INTERNAL ERROR: setHandler() was not called; ignoring the packet");
        return;
    }
    logUtils.output("Pushing metadata packet with timestamp " +
                    std::to_string(metadataPacket->timestampUs()));
    target->handleMetadata(metadataPacket);
}

void ConsumingDeviceAgent::pushManifest(const std::string& manifest) {
    host.pushManifest(manifest);
}

void ConsumingDeviceAgent::pushIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent::Level level,
                                                          const std::string& caption,
                                                          const std::string& description) {
    host.pushIntegrationDiagnosticEvent(level, caption, description);
}

std::string ConsumingDeviceAgent::settingValue(const std::string& name) const {
    return host.settingValue(name);
}

std::map<std::string, std::string> ConsumingDeviceAgent::currentSettings() const {
    return host.currentSettings();
}

void ConsumingDeviceAgent::doSetSettings(Result<const ISettingsResponse*>* outResult,
                                         const IStringMap* values) {
    std::map<std::string, std::string> converted;
    if (!toStdMap(values, &converted)) {
        *outResult = error<const ISettingsResponse*>(ErrorCode::otherError, "Settings are invalid");
        return;
    }
    logUtils.output("Received settings");
    host.storeSettings(std::move(converted));
    *outResult = settingsReceived();
}

void ConsumingDeviceAgent::getIntegrationSideSettings(Result<const ISettingsResponse*>* outResult) const {
    *outResult = {};
}

void ConsumingDeviceAgent::getManifest(Result<const IString*>* outResult) const {
    *outResult = static_cast<const IString*>(new String(manifestString()));
}

void ConsumingDeviceAgent::doSetNeededMetadataTypes(Result<void>* outResult, const IMetadataTypes*) {
    *outResult = {};
}

void ConsumingDeviceAgent::doPushDataPacket(Result<void>* outResult, IDataPacket* dataPacket) {
    *outResult = {};
    if (!dataPacket) {
        logUtils.error("Null data packet; ignored.");
        return;
    }
    if (dataPacket->timestampUs() < 0) {
        logUtils.error("dataPacket has invalid timestamp " + std::to_string(dataPacket->timestampUs()) +
                       "; discarding the packet.");
        return;
    }

    bool pushed = false;
    if (auto compressed = toPtr(dataPacket->queryInterface<ICompressedVideoPacket1>())) {
        pushed = pushCompressedVideoFrame(compressed.get());
        if (!pushed)
            logUtils.error("pushCompressedVideoFrame() failed.");
    } else if (auto uncompressed = toPtr(dataPacket->queryInterface<IUncompressedVideoFrame1>())) {
        pushed = pushUncompressedVideoFrame(uncompressed.get());
        if (!pushed)
            logUtils.error("pushUncompressedVideoFrame() failed.");
    } else if (auto custom = toPtr(dataPacket->queryInterface<ICustomMetadataPacket>())) {
        pushed = pushCustomMetadataPacket(custom.get());
        if (!pushed)
            logUtils.error("pushCustomMetadataPacket() failed.");
    } else {
        logUtils.error("Unsupported frame supplied; ignored.");
        return;
    }
    if (!pushed || !host.currentHandler())
        return;

    MetadataPacketList packets;
    if (!pullMetadataPackets(&packets))
        logUtils.error("pullMetadataPackets() failed.");
    for (IMetadataPacket* packet : packets) {
        pushMetadataPacket(packet);
        if (packet)
            packet->releaseRef();
    }
}

void ConsumingDeviceAgent::doGetSettingsOnActiveSettingChange(
    Result<const IActiveSettingChangedResponse*>* outResult, const IActiveSettingChangedAction*) {
    *outResult = {};
}

}  // namespace vek::sdk::analytics
