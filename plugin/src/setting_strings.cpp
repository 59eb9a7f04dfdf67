#include "setting_strings.h"

#include <charconv>

namespace SettingStrings {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Reads "<digits><separator><stage>" after a fixed prefix.
std::optional<MaskSettingName> parseIndexed(std::string_view name, std::string_view prefix,
                                            std::string_view separator) {
    if (!startsWith(name, prefix))
        return std::nullopt;
    std::string_view rest = name.substr(prefix.size());
    int index = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), index);
    if (error != std::errc() || end == rest.data() || index < 0)
        return std::nullopt;
    rest.remove_prefix(static_cast<size_t>(end - rest.data()));
    if (!startsWith(rest, separator))
        return std::nullopt;
    return MaskSettingName{index, std::string(rest.substr(separator.size()))};
}

std::optional<std::string> processorSettingOf(std::string_view name, const std::string& stageId,
                                              const char* infix) {
    const std::string prefix = stageId + infix;
    if (!startsWith(name, prefix))
        return std::nullopt;
    return std::string(name.substr(prefix.size()));
}

}  // namespace

std::string forStage(const char* prefix, const std::string& stageId) {
    return prefix + stageId;
}

std::optional<std::string> stageOf(std::string_view name, const char* prefix) {
    if (!startsWith(name, prefix))
        return std::nullopt;
    return std::string(name.substr(std::string_view(prefix).size()));
}

std::string selectAllButton(const std::string& stageId) {
    return std::string(SelectAll) + "_" + stageId;
}

std::string deselectAllButton(const std::string& stageId) {
    return std::string(DeselectAll) + "_" + stageId;
}

std::string maskTypeTemplate(const std::string& stageId) {
    return std::string(MaskType) + "#_" + stageId;
}

std::string polygonTemplate(const std::string& stageId) {
    return std::string(Polygon) + "#.figure_" + stageId;
}

std::string maskTypeName(int maskIndex, const std::string& stageId) {
    return std::string(MaskType) + std::to_string(maskIndex) + "_" + stageId;
}

std::string polygonName(int maskIndex, const std::string& stageId) {
    return std::string(Polygon) + std::to_string(maskIndex) + ".figure_" + stageId;
}

std::optional<MaskSettingName> parseMaskTypeName(std::string_view name) {
    return parseIndexed(name, MaskType, "_");
}

std::optional<MaskSettingName> parsePolygonName(std::string_view name) {
    return parseIndexed(name, Polygon, ".figure_");
}

std::string preprocessorSettingName(const std::string& stageId, const std::string& settingName) {
    return stageId + PreprocessorSetting + settingName;
}

std::string postprocessorSettingName(const std::string& stageId, const std::string& settingName) {
    return stageId + PostprocessorSetting + settingName;
}

std::optional<std::string> preprocessorSettingOf(std::string_view name, const std::string& stageId) {
    return processorSettingOf(name, stageId, PreprocessorSetting);
}

std::optional<std::string> postprocessorSettingOf(std::string_view name, const std::string& stageId) {
    return processorSettingOf(name, stageId, PostprocessorSetting);
}

}  // namespace SettingStrings
