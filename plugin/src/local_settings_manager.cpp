#include "local_settings_manager.h"

#include <rapidjson/document.h>

#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace SettingsManager {

std::string constructEngineManifestString() {
    rapidjson::Document document(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();

    rapidjson::Value banner(rapidjson::kObjectType);
    banner.AddMember("type", "Banner", allocator);
    banner.AddMember("icon", "info", allocator);
    banner.AddMember("text", "Enable the plugin and press Apply to start working with the plugin.",
                     allocator);
    rapidjson::Value items(rapidjson::kArrayType);
    items.PushBack(banner, allocator);
    rapidjson::Value model(rapidjson::kObjectType);
    model.AddMember("type", "Settings", allocator);
    model.AddMember("items", items, allocator);

    document.AddMember("capabilities", "needUncompressedVideoFrames_yuv420", allocator);
    document.AddMember("preferredStream", "secondary", allocator);
    document.AddMember("deviceAgentSettingsModel", model, allocator);

    std::string manifest = Utils::finaliseDocument(document);
    vekai_vlog("Engine manifest string: %s\n", manifest.c_str());
    return manifest;
}

}  // namespace SettingsManager
