// The AI cloud's answer bodies: the available pipelines of a device and the per-device
// configurations of a reset, each turned into the documents the plugin writes to the server.
#include <rapidjson/document.h>

#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "registration_manager.h"

namespace {

// What the plugin writes must be JSON the server can read.
void requireJson(const std::string& text) {
    rapidjson::Document document;
    if (document.Parse(text.c_str(), text.size()).HasParseError())
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    for (const auto& pipeline : RegistrationManager::parseAvailablePipelines(body))
        requireJson(std::get<2>(pipeline));
    for (const auto& [deviceId, patch] : RegistrationManager::resetDevicePatches(body))
        requireJson(patch);
    return 0;
}
