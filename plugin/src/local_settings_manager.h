// Builders of the JSON documents the host shows: the engine manifest and, later, the device
// agent manifest and settings model.
#pragma once

#include <string>

namespace SettingsManager {

std::string constructEngineManifestString();

}  // namespace SettingsManager
