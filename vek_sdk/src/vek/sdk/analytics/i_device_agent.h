// One camera's analytics agent as the host sees it: settings, manifest, handler and the
// data packets the host pushes.
#pragma once

#include <vek/sdk/analytics/i_data_packet.h>
#include <vek/sdk/analytics/i_metadata_packet.h>
#include <vek/sdk/i_integration.h>
#include <vek/sdk/i_settings_response.h>

namespace vek::sdk::analytics {

class IMetadataTypes : public Interface<IMetadataTypes, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IMetadataTypes"}; }
    // Each returns a new reference or null.
    virtual const IStringList* eventTypeIds() const = 0;
    virtual const IStringList* objectTypeIds() const = 0;
};

class IDeviceAgent : public Interface<IDeviceAgent, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IDeviceAgent"}; }

    class IHandler : public Interface<IHandler, IRefCountable> {
    public:
        static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IDeviceAgent::IHandler"}; }
        virtual void handleMetadata(IMetadataPacket* metadataPacket) = 0;
        virtual void handleIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent* event) = 0;
        virtual void pushManifest(const IString* manifest) = 0;
    };

    Result<const ISettingsResponse*> setSettings(const IStringMap* values) {
        Result<const ISettingsResponse*> result;
        doSetSettings(&result, values);
        return result;
    }
    Result<const ISettingsResponse*> integrationSideSettings() const {
        Result<const ISettingsResponse*> result;
        getIntegrationSideSettings(&result);
        return result;
    }
    Result<const IString*> manifest() const {
        Result<const IString*> result;
        getManifest(&result);
        return result;
    }
    Result<void> setNeededMetadataTypes(const IMetadataTypes* types) {
        Result<void> result;
        doSetNeededMetadataTypes(&result, types);
        return result;
    }

protected:
    virtual void doSetSettings(Result<const ISettingsResponse*>* outResult, const IStringMap* values) = 0;
    virtual void getIntegrationSideSettings(Result<const ISettingsResponse*>* outResult) const = 0;
    virtual void getManifest(Result<const IString*>* outResult) const = 0;

public:
    virtual void setHandler(IHandler* handler) = 0;

protected:
    virtual void doSetNeededMetadataTypes(Result<void>* outResult, const IMetadataTypes* types) = 0;
};

class IConsumingDeviceAgent : public Interface<IConsumingDeviceAgent, IDeviceAgent> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IConsumingDeviceAgent"}; }

    Result<void> pushDataPacket(IDataPacket* dataPacket) {
        Result<void> result;
        doPushDataPacket(&result, dataPacket);
        return result;
    }

protected:
    virtual void doPushDataPacket(Result<void>* outResult, IDataPacket* dataPacket) = 0;
};

class IConsumingDeviceAgent1 : public Interface<IConsumingDeviceAgent1, IConsumingDeviceAgent> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IConsumingDeviceAgent1"}; }
    // The host is done with the agent; no further packets follow.
    virtual void finalize() = 0;
};

class IConsumingDeviceAgent2 : public Interface<IConsumingDeviceAgent2, IConsumingDeviceAgent1> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IConsumingDeviceAgent2"}; }

    Result<const IActiveSettingChangedResponse*> settingsOnActiveSettingChange(
        const IActiveSettingChangedAction* action) {
        Result<const IActiveSettingChangedResponse*> result;
        doGetSettingsOnActiveSettingChange(&result, action);
        return result;
    }

protected:
    virtual void doGetSettingsOnActiveSettingChange(Result<const IActiveSettingChangedResponse*>* outResult,
                                                    const IActiveSettingChangedAction* action) = 0;
};

}  // namespace vek::sdk::analytics
