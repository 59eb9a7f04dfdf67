// How the values a user saves on a device's settings page become device settings: the mapping
// onto pipeline nodes, the settings cache file, cloud write-back bodies and button names.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "corvane/vekai_corvane_utils.h"

namespace Utils {
// Decimal text to int like std::stoi (leading blanks, sign, digits, rest ignored); logs and gives
// the fallback when no number can be read or it does not fit.
int safeStoi(const std::string& text, int fallback);
}  // namespace Utils

// True when a and b differ by less than 0.000001.
bool vekai_float_nearly_equal(float a, float b);

namespace DeviceSettings {

using Values = std::map<std::string, std::string>;

inline constexpr const char* kCustomPipeline = "Custom";

// Lays the user's values over the pipeline the cloud gave the device; true when the
// sensitivity of at least one node changed.
bool applyUserValues(DeviceAgentSettings_t& settings, const Values& values);

std::string cacheFilePath(const std::string& cacheDir, const std::string& deviceId);
// Empty when the file is missing or unreadable.
Values loadCache(const std::string& path);
// Writes every value except the device's on/off switch and pipeline choice; false, with a log
// line, when the file cannot be written.
bool saveCache(const std::string& path, const Values& values);

// The device's stored cloud parameters with every known node's "modelNMS" replaced by its
// current sensitivity, as a PATCH body; nothing when the stored text has no pipeline list.
std::optional<std::string> nmsPatchBody(const std::string& storedParameters,
                                        std::vector<pipeline_stage_parameters_t>& stages);
// Clears the device's pipeline choice in the cloud.
std::string customPipelineBody();

// Every class a node can show: its model's, then its external postprocessor's, once each, as a
// compact JSON array.
std::string allClassesValue(const pipeline_stage_parameters_t& node);

// What a button press or active item on the page asks for; argument is the stage key, or the
// runtime name of a library choice.
struct ActiveSetting {
    enum class Kind {
        SelectAll,
        DeselectAll,
        ManageDevice,
        ReselectRuntime,
        CancelRuntimeDownload,
        LibraryChoice,
        ReferenceRun,
        ResetSingleDevice,
        ResetAllDevices,
        ClearCache,
        ModelDownloadRetry,
        Other,
    };
    Kind kind = Kind::Other;
    std::string argument;
};
ActiveSetting classifyActiveSetting(const std::string& name);

}  // namespace DeviceSettings
