#include "utils/plugin_utils.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <vek/branding/branding.h>
#include <filesystem>

#include "vekai_utilities/vekai_utils.h"

namespace Utils {

std::string joinPaths(std::initializer_list<std::string> pieces) {
    std::filesystem::path joined;
    for (const auto& piece : pieces)
        joined /= piece;
    return joined.string();
}

ParametersDocument createEmptyParametersObject() {
    ParametersDocument result;
    result.document = std::make_unique<rapidjson::Document>(rapidjson::kObjectType);
    auto& allocator = result.document->GetAllocator();
    rapidjson::Value parameters(rapidjson::kObjectType);
    parameters.AddMember("vekAI", rapidjson::Value(rapidjson::kObjectType), allocator);
    result.document->AddMember("parameters", parameters, allocator);
    result.vekAI = &(*result.document)["parameters"]["vekAI"];
    return result;
}

int getServerCustomization() {
    const std::string name = vek::branding::customizationName();
    if (name == "kestrel")
        return 0;
    return name == "default" ? 1 : 2;
}

std::string finaliseDocument(const rapidjson::Document& document) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    if (!document.Accept(writer) || !writer.IsComplete()) {
        vekai_vlog("Error creating settings model string\n");
        return "{}";
    }
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace Utils
