// The library-level object the host creates first: it gives the manifest and the engine.
#pragma once

#include <vek/sdk/i_string.h>
#include <vek/sdk/i_utility_provider.h>
#include <vek/sdk/result.h>

namespace vek::sdk {

class IIntegrationDiagnosticEvent : public Interface<IIntegrationDiagnosticEvent, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::IIntegrationDiagnosticEvent"}; }
    enum class Level : int { info = 0, warning = 1, error = 2 };
    virtual Level level() const = 0;
    virtual const char* caption() const = 0;
    virtual const char* description() const = 0;
};

class IIntegration : public Interface<IIntegration, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::IIntegration"}; }

    Result<const IString*> manifest() const {
        Result<const IString*> result;
        getManifest(&result);
        return result;
    }
    virtual void setUtilityProvider(IUtilityProvider* utilityProvider) = 0;

protected:
    virtual void getManifest(Result<const IString*>* outResult) const = 0;
};

}  // namespace vek::sdk
