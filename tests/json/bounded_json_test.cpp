// The nesting bound on outside JSON: how depth is counted, and that the plugin's readers refuse a
// text nested deep enough to exhaust a thread's stack instead of crashing on it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "device_settings.h"
#include "model_assignment.h"
#include "registration_manager.h"
#include "utils/bounded_json.h"

namespace {

std::string nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonDepth, CountsBracketsOutsideStringsOnly) {
    const struct {
        std::string text;
        size_t maxDepth;
        bool within;
    } cases[] = {
        {"", 0, true},
        {"1", 0, true},
        {"[]", 0, false},
        {"[]", 1, true},
        {R"({"a":[{"b":[]}]})", 4, true},
        {R"({"a":[{"b":[]}]})", 3, false},
        {R"(["[[[[", "{{{{"])", 1, true},
        {R"(["\"[[[["])", 1, true},
        {R"(["\\", [[]]])", 2, false},
        {"]]]][", 1, true},
        {nested(256), 256, true},
        {nested(257), 256, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Utils::jsonDepthWithin(c.text, c.maxDepth), c.within) << c.text << " within " << c.maxDepth;
}

TEST(JsonDepth, TooDeepTextIsAParseErrorAndTheBoundItselfParses) {
    rapidjson::Document document;
    EXPECT_TRUE(Utils::parseBoundedJson(document, nested(Utils::kMaxJsonDepth + 1)).HasParseError());
    EXPECT_FALSE(Utils::parseBoundedJson(document, nested(Utils::kMaxJsonDepth)).HasParseError());
    EXPECT_TRUE(document.IsArray());
}

// A million levels overflowed the stack of whichever thread parsed them, taking the host with it.
constexpr size_t kHostileDepth = 1'000'000;

TEST(HostileNesting, CloudAnswersAreRefused) {
    const std::string text = nested(kHostileDepth);
    EXPECT_TRUE(RegistrationManager::parseAvailablePipelines(text).empty());
    EXPECT_TRUE(RegistrationManager::resetDevicePatches(R"({"Devices":{"cam":)" + text + "}}").empty());
}

TEST(HostileNesting, DeviceSettingValuesAreIgnored) {
    DeviceAgentSettings_t settings;
    pipeline_stage_parameters_t node;
    node.stageId = "s1";
    node.model = std::make_shared<ModelDetails_t>();
    settings.stages.push_back(node);
    const std::string text = R"({"figure":{"points":)" + nested(kHostileDepth) + "}}";
    DeviceSettings::applyUserValues(settings, {{"cropBox_s1", text}, {"lineCrossingLine_s1", text}});
    EXPECT_FALSE(settings.stages[0].crossingLine);
    EXPECT_FALSE(DeviceSettings::nmsPatchBody(nested(kHostileDepth), settings.stages));
}

TEST(HostileNesting, RawPostprocessingFileIsIgnored) {
    const auto path = std::filesystem::temp_directory_path() / "vek-hostile-raw_postprocessing.json";
    std::ofstream(path) << R"({"class_names":)" << nested(kHostileDepth) << "}";
    ModelAssignment::ModelMap models{{"m", std::make_shared<ModelDetails_t>()}};
    ModelAssignment::applyRawPostprocessingConfig(path.string(), models);
    EXPECT_FALSE(models.at("m")->rawPostprocessingEnabled);
    std::filesystem::remove(path);
}

}  // namespace
