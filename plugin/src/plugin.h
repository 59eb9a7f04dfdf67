// The library's plugin object: serves the plugin manifest and creates the one engine, after
// settling the working directory and starting logging.
#pragma once

#include <vek/sdk/analytics/helpers/integration.h>
#include <mutex>
#include <string>

namespace vek::vms_server_plugins::analytics::vekai {

class Engine;

class Plugin : public vek::sdk::analytics::Integration {
public:
    Plugin();

    // Called by the engine's destructor so that a later request creates a new engine.
    void engineDestroyed(const Engine* engine);

protected:
    std::string manifestString() const override;
    void doObtainEngine(vek::sdk::Result<vek::sdk::analytics::IEngine*>* outResult) override;

private:
    std::mutex engineMutex;
    Engine* engine = nullptr;
};

}  // namespace vek::vms_server_plugins::analytics::vekai
