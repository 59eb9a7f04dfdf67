// What the plugin answers to settings, actions and active-setting changes.
#pragma once

#include <vek/sdk/i_string.h>
#include <vek/sdk/uuid.h>
#include <cstdint>

namespace vek::sdk {

class ISettingsResponse : public Interface<ISettingsResponse, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::ISettingsResponse"}; }
    // Each returns a new reference or null.
    virtual IStringMap* values() const = 0;
    virtual IStringMap* errors() const = 0;
    virtual IString* model() const = 0;
};

namespace analytics {

class IActionResponse : public Interface<IActionResponse, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IActionResponse"}; }
    virtual const char* actionUrl() const = 0;
    virtual const char* messageToUser() const = 0;
    virtual bool useProxy() const = 0;
    virtual bool useDeviceCredentials() const = 0;
};

class IActiveSettingChangedResponse : public Interface<IActiveSettingChangedResponse, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() {
        return {"vek::sdk::analytics::IActiveSettingChangedResponse"};
    }
    // Each returns a new reference or null.
    virtual const IActionResponse* actionResponse() const = 0;
    virtual const ISettingsResponse* settingsResponse() const = 0;
};

class IAction : public Interface<IAction, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IAction"}; }
    virtual const char* actionId() const = 0;
    virtual Uuid objectTrackId() const = 0;
    virtual Uuid deviceId() const = 0;
    virtual int64_t timestampUs() const = 0;
    virtual const IStringMap* params() const = 0;
};

class IActiveSettingChangedAction : public Interface<IActiveSettingChangedAction, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() {
        return {"vek::sdk::analytics::IActiveSettingChangedAction"};
    }
    virtual const char* activeSettingName() const = 0;
    virtual const char* settingsModel() const = 0;
    virtual const IStringMap* settingsValues() const = 0;
    virtual const IStringMap* params() const = 0;
};

}  // namespace analytics
}  // namespace vek::sdk
