// The server's device list as the loop reads it: assigned models for the installed runtime, each
// device's pipeline tree against those models, the sensitivity write-back and the device manifest
// built from it.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>

#include "device_settings.h"
#include "fuzz_support.h"
#include "local_settings_manager.h"
#include "messaging_manager.h"
#include "model_assignment.h"
#include "utils/bounded_json.h"

namespace {

std::string compact(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

const rapidjson::Value* pipelinesOf(const rapidjson::Value& device) {
    if (!device.IsObject())
        return nullptr;
    const auto parameters = device.FindMember("parameters");
    if (parameters == device.MemberEnd() || !parameters->value.IsObject())
        return nullptr;
    const auto vekAI = parameters->value.FindMember("vekAI");
    if (vekAI == parameters->value.MemberEnd() || !vekAI->value.IsObject())
        return nullptr;
    const auto pipelines = vekAI->value.FindMember("pipelines");
    return pipelines == vekAI->value.MemberEnd() ? nullptr : &pipelines->value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rapidjson::Document devices;
    if (Utils::parseBoundedJson(devices, std::string_view(reinterpret_cast<const char*>(data), size))
            .HasParseError())
        return 0;
    const std::string root = fuzz::scratch().path.string();
    const ModelAssignment::DownloadContext context{"Generic CPU", "application/x-onnx", root + "/model_files",
                                                   root + "/keys"};
    MessagingManager messages;
    ModelAssignment::ModelMap models;
    ModelAssignment::parseAssignedModels(devices, context, models, messages);
    if (!devices.IsArray())
        return 0;
    const vekai::ExternalPreprocessorTable noPreprocessors;
    const vekai::ExternalPostprocessorTable noPostprocessors;
    for (const auto& device : devices.GetArray()) {
        const rapidjson::Value* pipelines = pipelinesOf(device);
        if (!pipelines)
            continue;
        auto parsed = ModelAssignment::parsePipelineNodes(pipelines, "", "device", models, noPreprocessors,
                                                          noPostprocessors, messages);
        DeviceSettings::nmsPatchBody(compact(device), parsed.stages);
        DeviceAgentSettings_t settings;
        settings.stages = std::move(parsed.stages);
        SettingsManager::generateDeviceAgentManifest(settings, noPostprocessors);
    }
    return 0;
}
