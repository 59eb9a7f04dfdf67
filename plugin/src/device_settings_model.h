// The per-camera settings page: a JSON settings model rebuilt from the system state as seen from
// one device, plus the helpers that give external processors' items stage-specific names.
#pragma once

#include <rapidjson/document.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "accl_manager/runtimes_manager.h"
#include "corvane/vekai_corvane_utils.h"
#include "messaging_manager.h"

namespace DeviceSettingsModel {

// Everything outside the device's own settings that the page reflects.
struct EngineState {
    int32_t cloudState = 0;
    RuntimeState runtimeState = RuntimeState::NONE;
    std::vector<std::string> candidateRuntimes;
    bool downloadCancelled = false;
    std::string installedRuntime;
    int serverCustomization = 0;
    std::unordered_map<std::string, Message_t> messages;
    bool alwaysShowRecoveryButtons = false;
};

// The compact model text; reads its inputs and changes nothing.
std::string build(const EngineState& engine, const DeviceAgentSettings_t& settings);

void addTroubleshootingDocsLink(rapidjson::Document& document, rapidjson::Value& items);

// Renames every item of an external processor's own settings model to
// stageId + infix + its name, through nested "items" and "template".
void prefixExternalSettingNames(rapidjson::Document& document, rapidjson::Value& items, const char* infix,
                                const std::string& stageId);
void prefixExternalSettingItem(rapidjson::Document& document, rapidjson::Value& item, const char* infix,
                               const std::string& stageId, const std::string& prefix);

}  // namespace DeviceSettingsModel
