#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "corvane/vekai_external_processors.h"
#include "device_settings_model.h"

namespace {

using DeviceSettingsModel::EngineState;

std::shared_ptr<ModelDetails_t> makeModel(const std::string& id, const std::string& name,
                                          std::vector<std::string> classes) {
    auto model = std::make_shared<ModelDetails_t>();
    model->id = id;
    model->name = name;
    model->boxesClassNames = std::move(classes);
    return model;
}

struct Fixture {
    vekai::ExternalPostprocessor_t counter;
    vekai::ExternalPreprocessor_t resizer;
    DeviceAgentSettings_t settings;

    Fixture() {
        counter.name = "Counter";
        counter.userSettings =
            R"([{"type":"SpinBox","name":"threshold","caption":"T","minValue":0},)"
            R"({"type":"GroupBox","items":[{"type":"TextField","name":"label"}]},)"
            R"({"type":"Repeater","count":2,"template":{"type":"TextField","name":"zone#"}}])";
        counter.objects = {{"bag", "Bag"}};
        resizer.name = "Resizer";
        resizer.userSettings = R"({"type":"not an array"})";

        pipeline_stage_parameters_t root;
        root.stageId = "s1";
        root.model = makeModel("m1", "Detector", {"person", "car"});
        root.postprocessor = "Counter";
        root.externalPostprocessor = &counter;
        pipeline_stage_parameters_t child;
        child.stageId = "s1c2";
        child.model = makeModel("m2", "Classifier", {});
        child.chainMethod = 2;
        child.postprocessor = "LineCrossing";
        child.externalPreprocessor = &resizer;
        root.children.push_back(child);
        settings.stages.push_back(root);
        settings.availablePipelines = {{"p1", "People", "{}"}, {"p2", "Cars", "{}"}};
        settings.selectedPipeline = "p1";
        settings.parametersReceived = true;
    }
};

EngineState installed() {
    EngineState state;
    state.cloudState = 5;
    state.runtimeState = RuntimeState::INSTALLED;
    state.installedRuntime = "cpu";
    state.serverCustomization = 1;
    return state;
}

std::string golden(const std::string& name) {
    std::ifstream file(std::string(DEVICE_SETTINGS_GOLDEN_DIR) + "/" + name);
    std::stringstream text;
    text << file.rdbuf();
    std::string content = text.str();
    while (!content.empty() && content.back() == '\n')
        content.pop_back();
    return content;
}

// Set VEK_UPDATE_GOLDEN=1 to rewrite the files after a deliberate change of the page.
void expectGolden(const std::string& name, const std::string& model) {
    if (std::getenv("VEK_UPDATE_GOLDEN")) {
        std::ofstream(std::string(DEVICE_SETTINGS_GOLDEN_DIR) + "/" + name) << model << "\n";
        return;
    }
    EXPECT_EQ(model, golden(name)) << name;
}

rapidjson::Document parse(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str());
    EXPECT_FALSE(document.HasParseError());
    return document;
}

const rapidjson::Value* findNamed(const rapidjson::Value& value, const std::string& name) {
    if (value.IsObject()) {
        auto member = value.FindMember("name");
        if (member != value.MemberEnd() && member->value.IsString() && name == member->value.GetString())
            return &value;
        for (auto& child : value.GetObject())
            if (const auto* found = findNamed(child.value, name))
                return found;
    } else if (value.IsArray()) {
        for (auto& child : value.GetArray())
            if (const auto* found = findNamed(child, name))
                return found;
    }
    return nullptr;
}

TEST(DeviceSettingsModel, GoldenPages) {
    Fixture fixture;
    struct Case {
        const char* file;
        EngineState state;
        DeviceAgentSettings_t settings;
    };
    EngineState notRegistered = installed();
    notRegistered.cloudState = 2;
    notRegistered.messages["DISK"] = {MESSAGE_TYPE::WARNING, "Disk almost full"};
    EngineState awaiting = installed();
    awaiting.runtimeState = RuntimeState::AWAITING_SELECTION;
    awaiting.candidateRuntimes = {"cpu", "cuda"};
    EngineState cancelled = installed();
    cancelled.runtimeState = RuntimeState::FAILED;
    cancelled.downloadCancelled = true;
    DeviceAgentSettings_t waiting;
    // Models are shared between copies of settings, so this page gets a pipeline of its own.
    Fixture failing;
    DeviceAgentSettings_t failedModel = failing.settings;
    failedModel.stages[0].model->status = 4;
    failedModel.stages[0].model->errors.push_back("bad checksum");
    failedModel.stages[0].children[0].model->status = 1;
    failedModel.stages[0].children[0].model->downloadProgress = 37;

    const Case cases[] = {
        {"not_registered.json", notRegistered, fixture.settings},
        {"awaiting_runtime_selection.json", awaiting, waiting},
        {"download_cancelled.json", cancelled, waiting},
        {"waiting_for_parameters.json", installed(), waiting},
        {"two_level_pipeline.json", installed(), fixture.settings},
        {"model_failed_and_downloading.json", installed(), failedModel},
    };
    for (const auto& c : cases)
        expectGolden(c.file, DeviceSettingsModel::build(c.state, c.settings));
}

TEST(DeviceSettingsModel, NotRegisteredHidesEveryDeviceItemAndShowsRecovery) {
    Fixture fixture;
    EngineState state = installed();
    state.cloudState = 2;
    state.messages["DISK"] = {MESSAGE_TYPE::WARNING, "Disk almost full"};
    const auto page = parse(DeviceSettingsModel::build(state, fixture.settings));
    for (const char* name : {"selectedPipeline", "manageDevice", "model_nms_s1", "lineCrossingLine_s1c2"})
        EXPECT_FALSE((*findNamed(page, name))["visible"].GetBool()) << name;
    for (const char* name : {"resetSingleDeviceButton", "resetAllDevicesButton", "clearCacheButton"})
        EXPECT_TRUE((*findNamed(page, name))["visible"].GetBool()) << name;
    EXPECT_EQ(findNamed(page, "deviceActiveSwitch"), nullptr);
    EXPECT_EQ(findNamed(page, "modelDownloadRetryButton"), nullptr);
}

TEST(DeviceSettingsModel, RecoveryButtonsFollowConfigurationAndModelFailure) {
    Fixture fixture;
    EngineState state = installed();
    state.alwaysShowRecoveryButtons = true;
    auto page = parse(DeviceSettingsModel::build(state, fixture.settings));
    EXPECT_TRUE((*findNamed(page, "clearCacheButton"))["visible"].GetBool());
    EXPECT_EQ(findNamed(page, "modelDownloadRetryButton"), nullptr);

    fixture.settings.stages[0].model->status = 4;
    page = parse(DeviceSettingsModel::build(installed(), fixture.settings));
    EXPECT_FALSE((*findNamed(page, "clearCacheButton"))["visible"].GetBool())
        << "failure without error texts";

    fixture.settings.stages[0].model->errors.push_back("bad checksum");
    page = parse(DeviceSettingsModel::build(installed(), fixture.settings));
    EXPECT_TRUE((*findNamed(page, "clearCacheButton"))["visible"].GetBool());
    EXPECT_NE(findNamed(page, "modelDownloadRetryButton"), nullptr);
}

TEST(DeviceSettingsModel, PipelineNoLongerOfferedShowsCustom) {
    Fixture fixture;
    fixture.settings.selectedPipeline = "gone";
    const auto page = parse(DeviceSettingsModel::build(installed(), fixture.settings));
    const auto& combo = *findNamed(page, "selectedPipeline");
    EXPECT_STREQ(combo["defaultValue"].GetString(), "Custom");
    const auto& range = combo["range"];
    ASSERT_EQ(range.Size(), 3u);
    EXPECT_STREQ(range[2].GetString(), "Custom");
    EXPECT_STREQ(combo["itemCaptions"]["Custom"].GetString(), "Custom");
    EXPECT_FALSE((*findNamed(page, "model_nms_s1"))["visible"].GetBool());
}

TEST(DeviceSettingsModel, ExternalSettingsGetStagePrefixesAtEveryLevel) {
    Fixture fixture;
    const auto page = parse(DeviceSettingsModel::build(installed(), fixture.settings));
    for (const char* name : {"s1_postprocessor_setting_threshold", "s1_postprocessor_setting_label",
                             "s1_postprocessor_setting_zone#"})
        EXPECT_NE(findNamed(page, name), nullptr) << name;
    EXPECT_EQ(findNamed(page, "threshold"), nullptr);
}

TEST(DeviceSettingsModel, SameInputsGiveTheSameText) {
    Fixture fixture;
    EXPECT_EQ(DeviceSettingsModel::build(installed(), fixture.settings),
              DeviceSettingsModel::build(installed(), fixture.settings));
}

}  // namespace
