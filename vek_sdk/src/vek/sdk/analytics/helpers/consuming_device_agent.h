// Base of a device agent that consumes the host's data packets: routes each packet to the
// matching virtual push, keeps the handler and settings, and delivers metadata to the host.
#pragma once

#include <vek/sdk/analytics/i_device_agent.h>
#include <vek/sdk/helpers/handler_and_settings.h>
#include <vek/sdk/helpers/log_utils.h>
#include <vek/sdk/helpers/ref_countable.h>
#include <vek/sdk/i_device_info.h>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vek::sdk::analytics {

class ConsumingDeviceAgent : public RefCountable<IConsumingDeviceAgent2> {
public:
    using MetadataPacketList = std::vector<IMetadataPacket*>;

    void setHandler(IDeviceAgent::IHandler* handler) override;
    void finalize() override {}

    // Delivers one packet to the handler at once; the caller keeps its reference.
    void pushMetadataPacket(IMetadataPacket* metadataPacket);
    void pushManifest(const std::string& manifest);
    void pushIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent::Level level, const std::string& caption,
                                        const std::string& description);
    std::string settingValue(const std::string& name) const;
    std::map<std::string, std::string> currentSettings() const;

protected:
    ConsumingDeviceAgent(const IDeviceInfo* deviceInfo, bool enableOutput, std::string instanceId = {});
    ~ConsumingDeviceAgent() override;

    virtual std::string manifestString() const = 0;
    virtual bool pushCompressedVideoFrame(ICompressedVideoPacket1*) { return false; }
    virtual bool pushUncompressedVideoFrame(IUncompressedVideoFrame1*) { return false; }
    virtual bool pushCustomMetadataPacket(ICustomMetadataPacket*) { return false; }
    // Packets added here are owned by the list and delivered after a successful push.
    virtual bool pullMetadataPackets(MetadataPacketList*) { return true; }
    virtual Result<const ISettingsResponse*> settingsReceived() { return {}; }

    void doSetSettings(Result<const ISettingsResponse*>* outResult, const IStringMap* values) override;
    void getIntegrationSideSettings(Result<const ISettingsResponse*>* outResult) const override;
    void getManifest(Result<const IString*>* outResult) const override;
    void doSetNeededMetadataTypes(Result<void>* outResult, const IMetadataTypes* types) override;
    void doPushDataPacket(Result<void>* outResult, IDataPacket* dataPacket) override;
    void doGetSettingsOnActiveSettingChange(Result<const IActiveSettingChangedResponse*>* outResult,
                                            const IActiveSettingChangedAction* action) override;

    const std::string deviceIdText;
    LogUtils logUtils;

private:
    HandlerAndSettings<IDeviceAgent::IHandler> host{logUtils};
};

}  // namespace vek::sdk::analytics
