// The plain C entry points the host looks up in the plugin library.
#pragma once

#include <vek/sdk/i_string.h>

namespace vek::sdk {
class LibContext;
class IIntegration;
}  // namespace vek::sdk

extern "C" {
vek::sdk::IIntegration* createVekPlugin();
vek::sdk::LibContext* vekLibContext();
const char* vekSdkVersion();
void vekSetUnitTestOptions(const vek::sdk::IStringMap* options);
}

namespace vek::sdk {
using CreatePluginFunction = IIntegration* (*)();
using SdkVersionFunction = const char* (*)();
}  // namespace vek::sdk
