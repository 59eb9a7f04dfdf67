#include <vek/sdk/analytics/helpers/engine.h>

#include <vek/sdk/helpers/lib_context.h>
#include <vek/sdk/helpers/settings_response.h>
#include <vek/sdk/helpers/string.h>

namespace vek::sdk::analytics {

namespace {

std::string enginePrefix(const std::string& instanceId) {
    std::string prefix = "[";
    prefix += LibContext::instance().name();
    if (!instanceId.empty())
        prefix += "_" + instanceId;
    return prefix + "_engine] ";
}

}  // namespace

Engine::Engine(bool enableOutput, std::string instanceId) : logUtils(enableOutput, enginePrefix(instanceId)) {
    logUtils.output("Created");
}

Engine::~Engine() {
    logUtils.output("Destroyed");
}

void Engine::setEngineInfo(const IEngineInfo* engineInfo) {
    if (engineInfo)
        logUtils.output(std::string("Engine info: ") + engineInfo->name());
}

void Engine::setHandler(IEngine0::IHandler* newHandler) {
    host.setHandler(newHandler);
}

void Engine::pushManifest(const std::string& manifest) {
    host.pushManifest(manifest);
}

void Engine::pushIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent::Level level,
                                            const std::string& caption, const std::string& description) {
    host.pushIntegrationDiagnosticEvent(level, caption, description);
}

std::string Engine::settingValue(const std::string& name) const {
    return host.settingValue(name);
}

std::map<std::string, std::string> Engine::currentSettings() const {
    return host.currentSettings();
}

Result<IActionResponse*> Engine::executeAction(const std::string& actionId, const Uuid&, const Uuid&, int64_t,
                                               const std::map<std::string, std::string>&) {
    return error<IActionResponse*>(ErrorCode::notImplemented, "Action " + actionId + " is not supported");
}

void Engine::doSetSettings(Result<const ISettingsResponse*>* outResult, const IStringMap* values) {
    std::map<std::string, std::string> converted;
    if (!toStdMap(values, &converted)) {
        *outResult =
            error<const ISettingsResponse*>(ErrorCode::otherError, "Unable to convert the input string map");
        return;
    }
    host.storeSettings(std::move(converted));
    *outResult = settingsReceived();
}

void Engine::getIntegrationSideSettings(Result<const ISettingsResponse*>* outResult) const {
    *outResult = {};
}

void Engine::getManifest(Result<const IString*>* outResult) const {
    *outResult = static_cast<const IString*>(new String(manifestString()));
}

void Engine::isCompatible(Result<bool>* outResult, const IDeviceInfo*) const {
    *outResult = true;
}

void Engine::doExecuteAction(Result<IActionResponse*>* outResult, const IAction* action) {
    if (!action) {
        *outResult = error<IActionResponse*>(ErrorCode::invalidParams, "No action given");
        return;
    }
    std::map<std::string, std::string> params;
    toStdMap(action->params(), &params);
    *outResult = executeAction(action->actionId() ? action->actionId() : "", action->objectTrackId(),
                               action->deviceId(), action->timestampUs(), params);
}

void Engine::doGetSettingsOnActiveSettingChange(Result<const IActiveSettingChangedResponse*>* outResult,
                                                const IActiveSettingChangedAction*) {
    *outResult = {};
}

}  // namespace vek::sdk::analytics
