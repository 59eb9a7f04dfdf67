#include <vek/sdk/analytics/helpers/integration.h>

#include <vek/sdk/helpers/lib_context.h>
#include <vek/sdk/helpers/string.h>
#include <cassert>

namespace vek::sdk::analytics {

namespace {

std::string integrationPrefix() {
    std::string prefix = "[";
    prefix += LibContext::instance().name();
    prefix += "] ";
    return prefix;
}

}  // namespace

Integration::Integration(std::string integrationManifest, bool enableOutput)
    : logUtils(enableOutput, integrationPrefix()), integrationManifest(std::move(integrationManifest)) {
    logUtils.output("Created");
}

Integration::~Integration() {
    logUtils.output("Destroyed");
}

void Integration::setUtilityProvider(IUtilityProvider* utilityProvider) {
    std::lock_guard lock(providerMutex);
    provider = shareToPtr(utilityProvider);
}

Ptr<IUtilityProvider> Integration::utilityProvider() const {
    std::lock_guard lock(providerMutex);
    return provider;
}

std::string Integration::manifestString() const {
    if (integrationManifest.empty()) {
        logUtils.error(
            "Either manifestString() should be overridden, or the constructor with the integrationManifest "
            "argument (deprecated) should be called.");
        assert(false);
    }
    return integrationManifest;
}

void Integration::getManifest(Result<const IString*>* outResult) const {
    *outResult = static_cast<const IString*>(new String(manifestString()));
}

}  // namespace vek::sdk::analytics
