// Responses the plugin gives to settings, actions and active-setting changes, and the
// diagnostic events it raises.
#pragma once

#include <vek/sdk/helpers/string.h>
#include <vek/sdk/i_integration.h>
#include <vek/sdk/i_settings_response.h>
#include <string>

namespace vek::sdk {

class SettingsResponse : public RefCountable<ISettingsResponse> {
public:
    SettingsResponse() = default;
    explicit SettingsResponse(std::string model) : settingsModel(std::move(model)) {}

    IStringMap* values() const override { return share(settingValues); }
    IStringMap* errors() const override { return share(settingErrors); }
    IString* model() const override { return settingsModel.empty() ? nullptr : new String(settingsModel); }

    void setValue(const std::string& name, const std::string& value) { settingValues->setItem(name, value); }
    void setError(const std::string& name, const std::string& text) { settingErrors->setItem(name, text); }
    void setValues(Ptr<StringMap> values) { settingValues = std::move(values); }
    void setModel(std::string model) { settingsModel = std::move(model); }

private:
    static IStringMap* share(const Ptr<StringMap>& map) {
        map->addRef();
        return map.get();
    }

    Ptr<StringMap> settingValues{new StringMap()};
    Ptr<StringMap> settingErrors{new StringMap()};
    std::string settingsModel;
};

class IntegrationDiagnosticEvent : public RefCountable<IIntegrationDiagnosticEvent> {
public:
    IntegrationDiagnosticEvent(Level level, std::string caption, std::string description)
        : eventLevel(level), eventCaption(std::move(caption)), eventDescription(std::move(description)) {}
    Level level() const override { return eventLevel; }
    const char* caption() const override { return eventCaption.c_str(); }
    const char* description() const override { return eventDescription.c_str(); }

private:
    Level eventLevel;
    std::string eventCaption;
    std::string eventDescription;
};

// An error result carrying its message as a host string.
template <class Value>
Result<Value> error(ErrorCode code, const std::string& message) {
    return Result<Value>(Error{code, new String(message)});
}

}  // namespace vek::sdk
