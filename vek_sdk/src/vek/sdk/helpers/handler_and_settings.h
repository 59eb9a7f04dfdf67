// What an engine and a device agent both keep for the host: its handler, to which manifests and
// diagnostic events are forwarded, and the settings map it last received.
#pragma once

#include <vek/sdk/helpers/log_utils.h>
#include <vek/sdk/helpers/settings_response.h>
#include <vek/sdk/helpers/string.h>
#include <map>
#include <mutex>
#include <string>

namespace vek::sdk {

template <class Handler>
class HandlerAndSettings {
public:
    explicit HandlerAndSettings(const LogUtils& logUtils) : logUtils(logUtils) {}

    void setHandler(Handler* newHandler) {
        std::lock_guard lock(mutex);
        handler = shareToPtr(newHandler);
    }
    Ptr<Handler> currentHandler() const {
        std::lock_guard lock(mutex);
        return handler;
    }

    void pushManifest(const std::string& manifest) const {
        const auto target = currentHandler();
        if (!target) {
            logUtils.error("INTERNAL ERROR: setHandler() was not called; ignoring the manifest");
            return;
        }
        const Ptr<String> text(new String(manifest));
        target->pushManifest(text.get());
    }

    void pushIntegrationDiagnosticEvent(IIntegrationDiagnosticEvent::Level level, const std::string& caption,
                                        const std::string& description) const {
        const auto target = currentHandler();
        if (!target) {
            logUtils.error("INTERNAL ERROR: setHandler() was not called; ignoring the diagnostic event " +
                           caption);
            return;
        }
        const Ptr<IntegrationDiagnosticEvent> event(
            new IntegrationDiagnosticEvent(level, caption, description));
        target->handleIntegrationDiagnosticEvent(event.get());
    }

    void storeSettings(std::map<std::string, std::string> values) {
        std::lock_guard lock(mutex);
        settings = std::move(values);
    }
    std::string settingValue(const std::string& name) const {
        std::lock_guard lock(mutex);
        const auto found = settings.find(name);
        if (found == settings.end()) {
            logUtils.error("ERROR: Requested setting " + name + " is missing; implying empty string.");
            return {};
        }
        return found->second;
    }
    std::map<std::string, std::string> currentSettings() const {
        std::lock_guard lock(mutex);
        return settings;
    }

private:
    const LogUtils& logUtils;
    mutable std::mutex mutex;
    Ptr<Handler> handler;
    std::map<std::string, std::string> settings;
};

}  // namespace vek::sdk
