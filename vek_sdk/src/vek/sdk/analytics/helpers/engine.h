// Base of an analytics engine: keeps the host handler and the settings map, converts host
// calls into a few virtual operations the derived engine overrides.
#pragma once

#include <vek/sdk/analytics/helpers/action_response.h>
#include <vek/sdk/analytics/i_engine.h>
#include <vek/sdk/helpers/handler_and_settings.h>
#include <vek/sdk/helpers/log_utils.h>
#include <vek/sdk/helpers/ref_countable.h>
#include <map>
#include <mutex>
#include <string>

namespace vek::sdk::analytics {

class Engine : public RefCountable<IEngine> {
public:
    void setEngineInfo(const IEngineInfo* engineInfo) override;
    void setHandler(IEngine0::IHandler* handler) override;

    void pushManifest(const std::string& manifest);
    void pushIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent::Level level, const std::string& caption,
                                        const std::string& description);
    std::string settingValue(const std::string& name) const;
    std::map<std::string, std::string> currentSettings() const;

protected:
    Engine(bool enableOutput, std::string instanceId = {});
    ~Engine() override;

    virtual std::string manifestString() const = 0;
    // Called after new settings were stored; may return a response or null.
    virtual Result<const ISettingsResponse*> settingsReceived() { return {}; }
    virtual Result<IActionResponse*> executeAction(const std::string& actionId, const Uuid& objectTrackId,
                                                   const Uuid& deviceId, int64_t timestampUs,
                                                   const std::map<std::string, std::string>& params);

    void doSetSettings(Result<const ISettingsResponse*>* outResult, const IStringMap* values) override;
    void getIntegrationSideSettings(Result<const ISettingsResponse*>* outResult) const override;
    void getManifest(Result<const IString*>* outResult) const override;
    void isCompatible(Result<bool>* outResult, const IDeviceInfo* deviceInfo) const override;
    void doExecuteAction(Result<IActionResponse*>* outResult, const IAction* action) override;
    void doGetSettingsOnActiveSettingChange(Result<const IActiveSettingChangedResponse*>* outResult,
                                            const IActiveSettingChangedAction* action) override;

    LogUtils logUtils;

private:
    HandlerAndSettings<IEngine0::IHandler> host{logUtils};
};

}  // namespace vek::sdk::analytics
