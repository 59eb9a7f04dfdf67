#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "corvane/vekai_external_processors.h"
#include "device_settings.h"

namespace {

using DeviceSettings::applyUserValues;
using DeviceSettings::Values;

struct Pipeline {
    vekai::ExternalPostprocessor_t bags;
    DeviceAgentSettings_t settings;

    Pipeline() {
        bags.name = "Bags";
        bags.objects = {{"bag", "Bag"}};
        pipeline_stage_parameters_t root;
        root.stageId = "s1";
        root.model = std::make_shared<ModelDetails_t>();
        root.model->id = "m1";
        root.model->boxesClassNames = {"person", "car"};
        root.nms = 0.5f;
        root.externalPostprocessor = &bags;
        pipeline_stage_parameters_t child;
        child.stageId = "s1m2";
        child.chainMethod = 2;
        child.postprocessor = "Illegal Dumping";
        pipeline_stage_parameters_t grandChild;
        grandChild.stageId = "s1m2m3";
        grandChild.postprocessor = "LoiteringDetection";
        child.children.push_back(grandChild);
        root.children.push_back(child);
        settings.stages.push_back(root);
    }

    pipeline_stage_parameters_t& root() { return settings.stages[0]; }
    pipeline_stage_parameters_t& child() { return settings.stages[0].children[0]; }
    pipeline_stage_parameters_t& grandChild() { return settings.stages[0].children[0].children[0]; }
};

std::string figure(const std::string& points) {
    return R"({"figure":{"points":)" + points + "}}";
}

TEST(UserValues, SensitivityPercentBecomesNmsAndOnlyRealChangesCount) {
    const struct {
        std::string value;
        float nms;
    } cases[] = {{"42", 0.58f}, {"100", 0.0f}, {"abc", 0.58f}, {"42.7", 0.58f}, {"1", 0.99f}};
    for (const auto& c : cases) {
        Pipeline pipeline;
        EXPECT_TRUE(applyUserValues(pipeline.settings, {{"model_nms_s1", c.value}})) << c.value;
        EXPECT_FLOAT_EQ(pipeline.root().nms, c.nms) << c.value;
        EXPECT_FALSE(applyUserValues(pipeline.settings, {{"model_nms_s1", c.value}})) << "same again";
    }
    Pipeline untouched;
    EXPECT_FALSE(applyUserValues(untouched.settings, {}));
    EXPECT_FLOAT_EQ(untouched.root().nms, 0.5f) << "the cloud value stays without a user value";
    EXPECT_TRUE(vekai_float_nearly_equal(0.5f, 0.5000005f));
    EXPECT_FALSE(vekai_float_nearly_equal(0.5f, 0.50001f));
}

TEST(UserValues, SafeStoiReadsLikeStoiAndFallsBack) {
    const std::pair<std::string, int> cases[] = {{"  -12xyz", -12}, {"+7", 7}, {"42.7", 42},
                                                 {"abc", 9},        {"", 9},   {"99999999999", 9}};
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(Utils::safeStoi(text, 9), expected) << text;
}

TEST(UserValues, DeviceIsActiveOnlyWhenTheSwitchSaysTrue) {
    const std::pair<Values, bool> cases[] = {
        {{{"deviceActiveSwitch", "true"}}, true},
        {{{"deviceActiveSwitch", "false"}}, false},
        {{{"deviceActiveSwitch", "True"}}, false},
        {{}, false},
    };
    for (const auto& [values, active] : cases) {
        Pipeline pipeline;
        pipeline.settings.active = !active;
        applyUserValues(pipeline.settings, values);
        EXPECT_EQ(pipeline.settings.active, active);
    }
}

TEST(UserValues, CropIsClampedOrderedAndResetByBadShapes) {
    using Crop = std::array<float, 4>;
    const std::pair<std::string, Crop> cases[] = {
        {figure("[[0.8,0.9],[0.1,-0.2]]"), {0.1f, 0.0f, 0.8f, 0.9f}},
        {figure("[[0,1],[1,0]]"), {0, 0, 1, 1}},
        {figure("[[0.2,0.3],[0.4]]"), {0.2f, 0.3f, 1, 1}},
        {figure("[[0.2,0.3],[0.4,0.5],[0.6,0.7]]"), {0, 0, 1, 1}},
        {"not json", {0, 0, 1, 1}},
        {R"({"figure":{}})", {0, 0, 1, 1}},
        {figure(R"([["a",0.3],[0.5,2]])"), {0, 0.3f, 0.5f, 1}},
    };
    for (const auto& [value, crop] : cases) {
        Pipeline pipeline;
        pipeline.root().crop = {0.3f, 0.3f, 0.4f, 0.4f};
        applyUserValues(pipeline.settings, {{"cropBox_s1", value}});
        for (int i = 0; i < 4; ++i)
            EXPECT_FLOAT_EQ(pipeline.root().crop[i], crop[i]) << value << " coordinate " << i;
    }
}

TEST(UserValues, ShownClassesFollowTheListAndKeepExternalClasses) {
    const struct {
        std::optional<std::string> value;
        std::map<std::string, bool> classes;
    } cases[] = {
        {R"(["person"])", {{"person", true}, {"car", false}, {"bag", true}}},
        {R"(["dog"])", {{"person", false}, {"car", false}, {"dog", true}, {"bag", true}}},
        {R"({"person":true})", {{"bag", true}}},
        {"[oops", {{"bag", true}}},
        {std::nullopt, {{"person", true}, {"car", true}, {"bag", true}}},
        {"[]", {{"person", false}, {"car", false}, {"bag", true}}},
    };
    for (const auto& c : cases) {
        Pipeline pipeline;
        Values values;
        if (c.value)
            values["visualise_classes_s1"] = *c.value;
        applyUserValues(pipeline.settings, values);
        EXPECT_EQ(pipeline.root().activeClasses, c.classes) << c.value.value_or("absent");
    }
}

TEST(UserValues, MasksAreReadInOrderUntilTheFirstMissingType) {
    const std::string square = figure("[[0,0],[1,0],[1,1],[7]]");
    Pipeline pipeline;
    applyUserValues(pipeline.settings, {{"maskType_1_s1", "exclusive"},
                                        {"polygon1.figure_s1", square},
                                        {"maskType_3_s1", "inclusive"},
                                        {"polygon3.figure_s1", square}});
    ASSERT_EQ(pipeline.root().masks.size(), 1u);
    EXPECT_EQ(pipeline.root().masks[0].maskType, 1);
    EXPECT_EQ(pipeline.root().masks[0].polygon, (std::vector<float>{0, 0, 1, 0, 1, 1}));

    applyUserValues(pipeline.settings, {{"maskType_1_s1", "Exclusive"},
                                        {"maskType_2_s1", "inclusive"},
                                        {"polygon2.figure_s1", square},
                                        {"maskType_3_s1", "exclusive"},
                                        {"polygon3.figure_s1", "{broken"}});
    ASSERT_EQ(pipeline.root().masks.size(), 1u) << "no polygon for 1, a broken one for 3";
    EXPECT_EQ(pipeline.root().masks[0].maskType, 0);
}

TEST(UserValues, CrossingLineTakesTheFirstTwoPoints) {
    const std::pair<std::string, std::optional<std::array<float, 4>>> cases[] = {
        {figure("[[0.1,0.2],[1.5,-0.5],[9,9]]"), std::array<float, 4>{0.1f, 0.2f, 1.5f, -0.5f}},
        {figure("[[0.1],5]"), std::array<float, 4>{0.1f, 0, 0, 0}},
        {figure("[[0.1,0.2]]"), std::nullopt},
        {"{}", std::nullopt},
        {"nope", std::nullopt},
    };
    for (const auto& [value, line] : cases) {
        Pipeline pipeline;
        pipeline.root().crossingLine = std::array<float, 4>{1, 1, 1, 1};
        applyUserValues(pipeline.settings, {{"lineCrossingLine_s1", value}});
        EXPECT_EQ(pipeline.root().crossingLine, line) << value;
    }
}

TEST(UserValues, EventSettingsOnlyForTheirPostprocessors) {
    Pipeline pipeline;
    pipeline.root().loiterSettings = LoiterDetectionSettings_t{true, 5, "x"};
    applyUserValues(pipeline.settings, {});
    EXPECT_FALSE(pipeline.root().loiterSettings.has_value());
    ASSERT_TRUE(pipeline.grandChild().loiterSettings.has_value());
    EXPECT_EQ(pipeline.grandChild().loiterSettings->timeThresholdSeconds, 30);
    EXPECT_EQ(pipeline.grandChild().loiterSettings->objectClass, "person");
    ASSERT_TRUE(pipeline.child().dumpingSettings.has_value());
    EXPECT_EQ(pipeline.child().dumpingSettings->timeThresholdUs, 60000000);
    EXPECT_EQ(pipeline.child().dumpingSettings->objectType, "object");
    EXPECT_FALSE(pipeline.child().loiterSettings.has_value());

    applyUserValues(pipeline.settings, {{"dumpingDetectionTimeThreshold_s1m2", "15"},
                                        {"dumpingDetectionObjectType_s1m2", "bag"},
                                        {"loiterDetectionTimeThreshold_s1m2m3", "7"},
                                        {"loiterDetectionObjectClass_s1m2m3", "car"}});
    EXPECT_EQ(pipeline.child().dumpingSettings->timeThresholdUs, 15000000);
    EXPECT_EQ(pipeline.child().dumpingSettings->objectType, "bag");
    EXPECT_DOUBLE_EQ(pipeline.child().dumpingSettings->distanceThreshold, 0.1);
    EXPECT_DOUBLE_EQ(pipeline.child().dumpingSettings->iouThreshold, 0.75);
    EXPECT_EQ(pipeline.grandChild().loiterSettings->timeThresholdSeconds, 7);
    EXPECT_EQ(pipeline.grandChild().loiterSettings->objectClass, "car");
}

TEST(UserValues, ProcessorSettingsGoToTheirStageOnly) {
    Pipeline pipeline;
    pipeline.root().postprocessorSettings = {{"fromCloud", "1"}, {"threshold", "0.1"}};
    applyUserValues(pipeline.settings, {{"s1_postprocessor_setting_threshold", "0.9"},
                                        {"s1_preprocessor_setting_size", "640"},
                                        {"s1m2_postprocessor_setting_threshold", "0.2"}});
    EXPECT_EQ(pipeline.root().postprocessorSettings,
              (std::map<std::string, std::string>{{"fromCloud", "1"}, {"threshold", "0.9"}}));
    EXPECT_EQ(pipeline.root().preprocessorSettings, (std::map<std::string, std::string>{{"size", "640"}}));
    EXPECT_EQ(pipeline.child().postprocessorSettings,
              (std::map<std::string, std::string>{{"threshold", "0.2"}}));
}

TEST(UserValues, SelectAllListsModelThenExternalClassesOnce) {
    Pipeline pipeline;
    pipeline.root().model->boxesClassNames = {"person", "car", "person"};
    EXPECT_EQ(DeviceSettings::allClassesValue(pipeline.root()), R"(["person","car","bag"])");
    EXPECT_EQ(DeviceSettings::allClassesValue(pipeline.child()), "[]");
}

TEST(UserValues, NmsPatchRewritesEveryKnownNodeDownTheChains) {
    Pipeline pipeline;
    pipeline.root().nms = 0.25f;
    pipeline.child().nms = 0.5f;
    pipeline.grandChild().nms = 0.75f;
    const std::string stored =
        R"({"parameters":{"vekAI":{"selectedPipeline":"p","pipelines":[)"
        R"({"modelUUID":"s1","modelNMS":0.1,"x":1,"chains":[{"modelUUID":"m2","modelNMS":0.2,)"
        R"("chains":[{"modelUUID":"m3","modelNMS":0.3}]}]},)"
        R"({"modelUUID":"other","modelNMS":0.9},{"noId":true,"chains":[{"modelUUID":"m2"}]}]}}})";
    const auto body = DeviceSettings::nmsPatchBody(stored, pipeline.settings.stages);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(*body,
              R"({"parameters":{"vekAI":{"pipelines":[)"
              R"({"modelUUID":"s1","x":1,"modelNMS":0.25,"chains":[{"modelUUID":"m2","modelNMS":0.5,)"
              R"("chains":[{"modelUUID":"m3","modelNMS":0.75}]}]},)"
              R"({"modelUUID":"other","modelNMS":0.9},{"noId":true,"chains":[{"modelUUID":"m2"}]}]}}})");
}

TEST(UserValues, NmsPatchIsWithheldWithoutAStoredPipelineList) {
    Pipeline pipeline;
    for (const char* stored : {"", "not json", R"({"parameters":{"vekAI":{}}})", R"({"parameters":[]})"})
        EXPECT_FALSE(DeviceSettings::nmsPatchBody(stored, pipeline.settings.stages).has_value()) << stored;
}

TEST(UserValues, CustomPipelineBodyClearsTheChoice) {
    EXPECT_EQ(DeviceSettings::customPipelineBody(), R"({"parameters":{"vekAI":{"selectedPipeline":null}}})");
}

TEST(UserValues, ActiveSettingNamesMapToTheirTargets) {
    using Kind = DeviceSettings::ActiveSetting::Kind;
    const struct {
        const char* name;
        Kind kind;
        const char* argument;
    } cases[] = {
        {"selectAllButton_s1m2", Kind::SelectAll, "s1m2"},
        {"deSelectAllButton_s1", Kind::DeselectAll, "s1"},
        {"manageDevice", Kind::ManageDevice, ""},
        {"reselectRuntimeButton", Kind::ReselectRuntime, ""},
        {"cancelRuntimeDownloadButton", Kind::CancelRuntimeDownload, ""},
        {"libraryChoice_cuda", Kind::LibraryChoice, "cuda"},
        {"libraryChoice_", Kind::LibraryChoice, ""},
        {"triggerReferenceRunButton_s1", Kind::ReferenceRun, "s1"},
        {"resetSingleDeviceButton", Kind::ResetSingleDevice, ""},
        {"resetAllDevicesButton", Kind::ResetAllDevices, ""},
        {"clearCacheButton", Kind::ClearCache, ""},
        {"modelDownloadRetryButton", Kind::ModelDownloadRetry, ""},
        {"selectAllButton", Kind::Other, ""},
        {"model_nms_s1", Kind::Other, ""},
    };
    for (const auto& c : cases) {
        const auto setting = DeviceSettings::classifyActiveSetting(c.name);
        EXPECT_EQ(setting.kind, c.kind) << c.name;
        EXPECT_EQ(setting.argument, c.argument) << c.name;
    }
}

}  // namespace
