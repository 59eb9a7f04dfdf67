// Builders of the JSON documents the host shows: the engine manifest and settings, the device
// agent manifest and the device settings page.
#pragma once

#include <memory>
#include <string>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_external_processors.h"

class CorvaneInterface;
namespace vek::vms_server_plugins::analytics::vekai {
class Engine;
}

namespace SettingsManager {

std::string constructEngineManifestString();
// The engine's own settings page, pretty-printed; empty when it cannot be written.
std::string constructEngineSettingsModelString(int serverCustomization);

// What the device can produce: built-in events, the events and classes of the external
// postprocessors its pipeline uses, and the object classes of its models.
std::string generateDeviceAgentManifest(const DeviceAgentSettings_t& settings,
                                        const CorvaneInterface& corvane);
std::string generateDeviceAgentManifest(const DeviceAgentSettings_t& settings,
                                        const vekai::ExternalPostprocessorTable& externalPostprocessors);

// The device's settings page as the engine sees it now (registration, runtime, notices,
// configuration) over the given device settings.
std::string createDeviceAgentSettingsModelString(
    vek::vms_server_plugins::analytics::vekai::Engine& engine,
    const std::shared_ptr<const DeviceAgentSettings_t>& settings);

}  // namespace SettingsManager
