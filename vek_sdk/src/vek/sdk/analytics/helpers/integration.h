// Base of a plugin: keeps the host's utility provider and serves the manifest; the derived
// class creates the engine.
#pragma once

#include <vek/sdk/analytics/i_plugin.h>
#include <vek/sdk/helpers/log_utils.h>
#include <vek/sdk/helpers/ref_countable.h>
#include <mutex>
#include <string>

namespace vek::sdk::analytics {

class Integration : public RefCountable<IPlugin> {
public:
    void setUtilityProvider(IUtilityProvider* utilityProvider) override;
    // A new reference to the provider, or null when none was given.
    Ptr<IUtilityProvider> utilityProvider() const;

protected:
    // The manifest argument is the deprecated alternative to overriding manifestString().
    explicit Integration(std::string integrationManifest = {}, bool enableOutput = false);
    ~Integration() override;

    virtual std::string manifestString() const;
    void getManifest(Result<const IString*>* outResult) const override;

    LogUtils logUtils;

private:
    const std::string integrationManifest;
    mutable std::mutex providerMutex;
    Ptr<IUtilityProvider> provider;
};

}  // namespace vek::sdk::analytics
