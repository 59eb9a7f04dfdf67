// Builders of the JSON documents the host shows: the engine manifest and, later, the device
// agent manifest and settings model.
#pragma once

#include <string>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_external_processors.h"

class CorvaneInterface;

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

}  // namespace SettingsManager
