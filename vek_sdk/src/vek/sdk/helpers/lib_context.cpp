#include <vek/sdk/helpers/lib_context.h>

#include <vek/sdk/entry_points.h>
#include <vek/sdk/helpers/string.h>

namespace vek::sdk {

LibContext& LibContext::instance() {
    static LibContext context;
    return context;
}

std::string LibContext::name() const {
    std::lock_guard lock(mutex);
    return libName;
}

void LibContext::setName(const std::string& newName) {
    std::lock_guard lock(mutex);
    libName = newName;
}

IRefCountableRegistry* LibContext::refCountableRegistry() const {
    return registry.load();
}

void LibContext::setRefCountableRegistry(IRefCountableRegistry* newRegistry) {
    registry.store(newRegistry);
}

std::map<std::string, std::string> LibContext::unitTestOptions() const {
    std::lock_guard lock(mutex);
    return testOptions;
}

void LibContext::setUnitTestOptions(std::map<std::string, std::string> options) {
    std::lock_guard lock(mutex);
    testOptions = std::move(options);
}

namespace detail {

void registerRefCountable(const IRefCountable* object) {
    if (auto* registry = LibContext::instance().refCountableRegistry())
        registry->notifyCreated(object);
}

void unregisterRefCountable(const IRefCountable* object) {
    if (auto* registry = LibContext::instance().refCountableRegistry())
        registry->notifyDestroyed(object);
}

}  // namespace detail
}  // namespace vek::sdk

extern "C" {

vek::sdk::LibContext* vekLibContext() {
    return &vek::sdk::LibContext::instance();
}

const char* vekSdkVersion() {
    return "6.1.4 R1";
}

void vekSetUnitTestOptions(const vek::sdk::IStringMap* options) {
    if (!options)
        return;
    std::map<std::string, std::string> converted;
    if (vek::sdk::toStdMap(options, &converted))
        vek::sdk::LibContext::instance().setUnitTestOptions(std::move(converted));
}
}
