// Answers to actions and to active-setting changes.
#pragma once

#include <vek/sdk/helpers/settings_response.h>
#include <string>

namespace vek::sdk::analytics {

class ActionResponse : public RefCountable<IActionResponse> {
public:
    const char* actionUrl() const override { return url.c_str(); }
    const char* messageToUser() const override { return message.c_str(); }
    bool useProxy() const override { return proxy; }
    bool useDeviceCredentials() const override { return deviceCredentials; }

    void setActionUrl(std::string value) { url = std::move(value); }
    void setMessageToUser(std::string value) { message = std::move(value); }
    void setUseProxy(bool value) { proxy = value; }
    void setUseDeviceCredentials(bool value) { deviceCredentials = value; }

private:
    std::string url;
    std::string message;
    bool proxy = false;
    bool deviceCredentials = false;
};

class ActiveSettingChangedResponse : public RefCountable<IActiveSettingChangedResponse> {
public:
    const IActionResponse* actionResponse() const override { return share(action); }
    const ISettingsResponse* settingsResponse() const override { return share(settings); }

    void setActionResponse(Ptr<ActionResponse> value) { action = std::move(value); }
    void setSettingsResponse(Ptr<SettingsResponse> value) { settings = std::move(value); }

private:
    template <class T>
    static const T* share(const Ptr<T>& object) {
        if (object)
            object->addRef();
        return object.get();
    }

    Ptr<ActionResponse> action;
    Ptr<SettingsResponse> settings;
};

}  // namespace vek::sdk::analytics
