// The plugin's one engine as the host sees it: settings, manifest, device agents and actions.
#pragma once

#include <vek/sdk/analytics/i_device_agent.h>
#include <vek/sdk/i_device_info.h>

namespace vek::sdk::analytics {

class IEngineInfo : public Interface<IEngineInfo, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IEngineInfo"}; }
    virtual const char* id() const = 0;
    virtual const char* name() const = 0;
};

class IEngine0 : public Interface<IEngine0, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IEngine"}; }

    class IHandler : public Interface<IHandler, IRefCountable> {
    public:
        static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IEngine::IHandler"}; }
        virtual void handleIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent* event) = 0;
        virtual void pushManifest(const IString* manifest) = 0;
    };

    virtual void setEngineInfo(const IEngineInfo* engineInfo) = 0;

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
    Result<bool> isCompatible(const IDeviceInfo* deviceInfo) const {
        Result<bool> result;
        isCompatible(&result, deviceInfo);
        return result;
    }
    Result<IDeviceAgent*> obtainDeviceAgent(const IDeviceInfo* deviceInfo) {
        Result<IDeviceAgent*> result;
        doObtainDeviceAgent(&result, deviceInfo);
        return result;
    }
    Result<IActionResponse*> executeAction(const IAction* action) {
        Result<IActionResponse*> result;
        doExecuteAction(&result, action);
        return result;
    }

protected:
    virtual void doSetSettings(Result<const ISettingsResponse*>* outResult, const IStringMap* values) = 0;
    virtual void getIntegrationSideSettings(Result<const ISettingsResponse*>* outResult) const = 0;
    virtual void getManifest(Result<const IString*>* outResult) const = 0;
    virtual void isCompatible(Result<bool>* outResult, const IDeviceInfo* deviceInfo) const = 0;
    virtual void doObtainDeviceAgent(Result<IDeviceAgent*>* outResult, const IDeviceInfo* deviceInfo) = 0;
    virtual void doExecuteAction(Result<IActionResponse*>* outResult, const IAction* action) = 0;

public:
    virtual void setHandler(IHandler* handler) = 0;
};

class IEngine1 : public Interface<IEngine1, IEngine0> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IEngine1"}; }

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

using IEngine = IEngine1;

}  // namespace vek::sdk::analytics
