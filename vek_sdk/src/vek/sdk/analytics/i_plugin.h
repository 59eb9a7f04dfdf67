// The analytics plugin: the integration object that gives the host its engine.
#pragma once

#include <vek/sdk/analytics/i_engine.h>
#include <vek/sdk/i_integration.h>

namespace vek::sdk::analytics {

class IPlugin : public Interface<IPlugin, IIntegration> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::analytics::IPlugin"}; }

    Result<IEngine*> obtainEngine() {
        Result<IEngine*> result;
        doObtainEngine(&result);
        return result;
    }

protected:
    virtual void doObtainEngine(Result<IEngine*>* outResult) = 0;
};

}  // namespace vek::sdk::analytics
