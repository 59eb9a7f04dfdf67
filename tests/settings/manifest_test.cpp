#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "local_settings_manager.h"
#include "utils/plugin_utils.h"

namespace {

std::shared_ptr<ModelDetails_t> model(const std::string& id, std::vector<std::string> classes) {
    auto details = std::make_shared<ModelDetails_t>();
    details->id = id;
    details->boxesClassNames = std::move(classes);
    return details;
}

pipeline_stage_parameters_t stage(const std::string& id, std::shared_ptr<ModelDetails_t> stageModel,
                                  const std::string& postprocessor = {}) {
    pipeline_stage_parameters_t node;
    node.stageId = id;
    node.model = std::move(stageModel);
    node.postprocessor = postprocessor;
    return node;
}

const std::string kBuiltInEvents = R"({"id":"vek.vekai.fps","name":"Frames per second"},)"
                                   R"({"id":"vek.vekai.counted","name":"Objects counted"},)"
                                   R"({"id":"vek.vekai.loiter_alarm","name":"Loiterer detected"},)"
                                   R"({"id":"vek.vekai.category","name":"Category detected"},)"
                                   R"({"id":"vek.vekai.linecrossing","name":"Line crossing detected"},)"
                                   R"({"id":"vek.vekai.dumping","name":"Illegal dumping detected"})";
const std::string kBuiltInSupported = R"({"eventTypeId":"vek.vekai.fps","attributes":[]},)"
                                      R"({"eventTypeId":"vek.vekai.counted","attributes":[]},)"
                                      R"({"eventTypeId":"vek.vekai.loiter_alarm","attributes":[]},)"
                                      R"({"eventTypeId":"vek.vekai.category","attributes":[]},)"
                                      R"({"eventTypeId":"vek.vekai.linecrossing","attributes":[]},)"
                                      R"({"eventTypeId":"vek.vekai.dumping","attributes":[]})";

TEST(EngineDocuments, ManifestIsExactAndStable) {
    const std::string expected =
        R"({"capabilities":"needUncompressedVideoFrames_yuv420","preferredStream":"secondary",)"
        R"("deviceAgentSettingsModel":{"type":"Settings","items":[{"type":"Banner","icon":"info",)"
        R"("text":"Enable the plugin and press Apply to start working with the plugin."}]}})";
    EXPECT_EQ(SettingsManager::constructEngineManifestString(), expected);
    EXPECT_EQ(SettingsManager::constructEngineManifestString(), expected);
}

TEST(EngineDocuments, SettingsPageShowsTheDocumentationLinkOnlyForTheDefaultCustomization) {
    const std::string withLink = SettingsManager::constructEngineSettingsModelString(1);
    EXPECT_EQ(
        withLink,
        "{\n    \"type\": \"Settings\",\n    \"items\": [\n        {\n            \"type\": \"Label\",\n"
        "            \"text\": \"<a href=\\\"https://docs.corvane.cloud/documentation/corvane\\\" "
        "target=\\\"_blank\\\">Corvane documentation</a>\"\n        }\n    ]\n}");
    for (int customization : {0, 2})
        EXPECT_EQ(SettingsManager::constructEngineSettingsModelString(customization),
                  "{\n    \"type\": \"Settings\",\n    \"items\": []\n}");
}

TEST(DeviceManifest, WithoutPipelineDeclaresOnlyTheBuiltInEvents) {
    EXPECT_EQ(SettingsManager::generateDeviceAgentManifest(DeviceAgentSettings_t{},
                                                           vekai::ExternalPostprocessorTable{}),
              R"({"typeLibrary":{"eventTypes":[)" + kBuiltInEvents +
                  R"(],"objectTypes":[]},"supportedTypes":[)" + kBuiltInSupported + "]}");
}

TEST(DeviceManifest, ModelClassesAreDeclaredOnceAndBaseTypesOnlySupported) {
    DeviceAgentSettings_t settings;
    auto detector = stage("root", model("m1", {"person", "traffic light", "person"}));
    detector.children.push_back(stage("child", model("m2", {"Person", "dog", "forklift"})));
    settings.stages.push_back(detector);

    EXPECT_EQ(SettingsManager::generateDeviceAgentManifest(settings, vekai::ExternalPostprocessorTable{}),
              R"({"typeLibrary":{"eventTypes":[)" + kBuiltInEvents +
                  R"(],"objectTypes":[{"id":"vek.vekai.traffic_light","name":"traffic light"},)"
                  R"({"id":"vek.vekai.forklift","name":"forklift"}]},"supportedTypes":[)" +
                  kBuiltInSupported +
                  R"(,{"objectTypeId":"vek.base.Person","attributes":[]},)"
                  R"({"objectTypeId":"vek.vekai.traffic_light","attributes":[]},)"
                  R"({"objectTypeId":"vek.base.Dog","attributes":[]},)"
                  R"({"objectTypeId":"vek.vekai.forklift","attributes":[]}]})");
}

TEST(DeviceManifest, ExternalPostprocessorsAddTheirEventsAndNewClassesOnly) {
    vekai::ExternalPostprocessorTable table;
    vekai::ExternalPostprocessor_t helmets;
    helmets.name = "Helmets";
    helmets.events = {{"acme.helmet.missing", "Helmet missing"}, {"acme.helmet.missing", "Again"}};
    helmets.objects = {{"person", "A person"}, {"helmet_off", "No helmet"}};
    table.emplace("Helmets", std::move(helmets));
    vekai::ExternalPostprocessor_t unused;
    unused.events = {{"acme.unused", "Unused"}};
    table.emplace("Unused", std::move(unused));

    DeviceAgentSettings_t settings;
    settings.stages.push_back(stage("root", model("m1", {"person"}), "Helmets"));
    settings.stages.push_back(stage("second", model("m2", {"bag"}), "Illegal Dumping"));

    EXPECT_EQ(
        SettingsManager::generateDeviceAgentManifest(settings, table),
        R"({"typeLibrary":{"eventTypes":[)" + kBuiltInEvents +
            R"(,{"id":"acme.helmet.missing","name":"Helmet missing"}],"objectTypes":[)"
            R"({"id":"vek.vekai.anomaly","name":"anomaly"},{"id":"vek.vekai.helmet_off","name":"No helmet"}]},)"
            R"("supportedTypes":[)" +
            kBuiltInSupported +
            R"(,{"eventTypeId":"acme.helmet.missing","attributes":[]},)"
            R"({"objectTypeId":"vek.base.Person","attributes":[]},)"
            R"({"objectTypeId":"vek.base.Bag","attributes":[]},)"
            R"({"objectTypeId":"vek.vekai.anomaly","attributes":[]},)"
            R"({"objectTypeId":"vek.vekai.helmet_off","attributes":[]}]})");
}

TEST(ObjectTypeIds, FollowTheSanitisingAndBaseTypeRules) {
    const std::pair<const char*, const char*> cases[] = {
        {"person", "vek.base.Person"},
        {"PERSON", "vek.base.Person"},
        {"traffic light", "vek.vekai.traffic_light"},
        {".hidden", "vek.vekai._hidden"},
        {"a.b-c", "vek.vekai.a.b_c"},
        {"", "vek.vekai."},
        {"licenseplate", "vek.base.LicensePlate"},
        {"caf\xc3\xa9", "vek.vekai.caf__"},
    };
    for (const auto& [className, typeId] : cases)
        EXPECT_EQ(Utils::toObjectTypeID(className), typeId) << className;
    EXPECT_TRUE(Utils::isBaseObjectTypeID("vek.base.Dog"));
    EXPECT_FALSE(Utils::isBaseObjectTypeID("vek.vekai.dog"));
}

}  // namespace
