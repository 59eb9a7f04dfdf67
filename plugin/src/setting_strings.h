// The names under which settings models declare their items and the host hands values and
// button presses back; stage-scoped names are built and parsed only here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace SettingStrings {

inline constexpr const char* DeviceActive = "deviceActiveSwitch";
inline constexpr const char* SelectedPipeline = "selectedPipeline";
inline constexpr const char* ManageDevice = "manageDevice";
inline constexpr const char* ReselectRuntime = "reselectRuntimeButton";
inline constexpr const char* CancelRuntimeDownload = "cancelRuntimeDownloadButton";
inline constexpr const char* LibraryChoice = "libraryChoice_";
inline constexpr const char* ResetSingleDevice = "resetSingleDeviceButton";
inline constexpr const char* ResetAllDevices = "resetAllDevicesButton";
inline constexpr const char* ClearCache = "clearCacheButton";
inline constexpr const char* ModelDownloadRetry = "modelDownloadRetryButton";
inline constexpr const char* ModelNms = "model_nms_";
inline constexpr const char* CropBox = "cropBox_";
inline constexpr const char* LineCrossingLine = "lineCrossingLine_";
inline constexpr const char* LoiterTimeThreshold = "loiterDetectionTimeThreshold_";
inline constexpr const char* LoiterObjectClass = "loiterDetectionObjectClass_";
inline constexpr const char* DumpingObjectType = "dumpingDetectionObjectType_";
inline constexpr const char* DumpingTimeThreshold = "dumpingDetectionTimeThreshold_";
inline constexpr const char* ReferenceRun = "triggerReferenceRunButton_";
inline constexpr const char* VisualisationClasses = "visualise_classes_";
inline constexpr const char* SelectAll = "selectAllButton";
inline constexpr const char* DeselectAll = "deSelectAllButton";
inline constexpr const char* MaskType = "maskType_";
inline constexpr const char* Polygon = "polygon";
inline constexpr const char* PreprocessorSetting = "_preprocessor_setting_";
inline constexpr const char* PostprocessorSetting = "_postprocessor_setting_";

// A prefix constant followed by the stage key, e.g. "model_nms_" + stage.
std::string forStage(const char* prefix, const std::string& stageId);
// The stage key when the name starts with the prefix, else nothing.
std::optional<std::string> stageOf(std::string_view name, const char* prefix);

// "selectAllButton" / "deSelectAllButton", "_", stage key.
std::string selectAllButton(const std::string& stageId);
std::string deselectAllButton(const std::string& stageId);

// Mask group names: the model declares them with "#" as the repeat index; the host returns the
// index in its place.
std::string maskTypeTemplate(const std::string& stageId);
std::string polygonTemplate(const std::string& stageId);
std::string maskTypeName(int maskIndex, const std::string& stageId);
std::string polygonName(int maskIndex, const std::string& stageId);
struct MaskSettingName {
    int maskIndex = 0;
    std::string stageId;
};
std::optional<MaskSettingName> parseMaskTypeName(std::string_view name);
std::optional<MaskSettingName> parsePolygonName(std::string_view name);

// Stage key + "_preprocessor_setting_" / "_postprocessor_setting_" + the processor's own name.
std::string preprocessorSettingName(const std::string& stageId, const std::string& settingName);
std::string postprocessorSettingName(const std::string& stageId, const std::string& settingName);
// The processor's own name when the name is this stage's processor setting, else nothing.
std::optional<std::string> preprocessorSettingOf(std::string_view name, const std::string& stageId);
std::optional<std::string> postprocessorSettingOf(std::string_view name, const std::string& stageId);

}  // namespace SettingStrings
