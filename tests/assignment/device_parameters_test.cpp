// A device's entry of the server's device list as its agent and the engine take it: malformed
// entries keep the agent's previous settings with the line that says why, a bad node costs only
// itself, and a list that is not JSON or has an element without an id changes nothing.
#include <gtest/gtest.h>

#include <vek/sdk/analytics/i_plugin.h>
#include <vek/sdk/entry_points.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "../engine/test_host.h"
#include "device_agent.h"
#include "engine.h"
#include "ini_manager.h"
#include "messaging_manager.h"
#include "model_assignment.h"

using namespace vek::sdk;
using namespace vek::sdk::analytics;
using vek::vms_server_plugins::analytics::vekai::DeviceAgent;
using VekEngine = vek::vms_server_plugins::analytics::vekai::Engine;

namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

rapidjson::Document parse(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    EXPECT_FALSE(document.HasParseError()) << text;
    return document;
}

std::string modelText(const std::string& id) {
    return replaced(
        R"({"UUID":"{id}","UpdatedAt":"2024-05-02T00:00:00","Name":"{id}","Downloads":[],)"
        R"("InputDriverDetails":{"width":64,"height":64,"channels":3,"vars":[1,1,1],"means":[0,0,0],"order":0},)"
        R"("NamedInput":[],"NamedOutput":[]})",
        "{id}", id);
}

constexpr const char* kNode = R"({"modelUUID":"{model}","modelNMS":0.5,"resizingMethod":"Crop","chains":[]})";

std::string node(const std::string& model) {
    return replaced(kNode, "{model}", model);
}

struct AssignmentFixture : ::testing::Test {
    testhost::TempDir home{"vek-home"};
    testhost::TempDir data{"vek-data"};
    Ptr<IEngine> engine;
    Ptr<IDeviceAgent> agent;
    MessagingManager messages;
    std::map<std::string, std::shared_ptr<ModelDetails_t>> models;

    void SetUp() override {
        // Verbose lines are written, and every line reaches the file at once.
        ini().logVerbosityLevel = 2;
        auto plugin = Ptr<IIntegration>(createVekPlugin()).queryInterface<IPlugin>();
        const Ptr<testhost::UtilityProvider> provider(
            new testhost::UtilityProvider(home.path.string(), data.path.string()));
        plugin->setUtilityProvider(provider.get());
        engine = Ptr<IEngine>(plugin->obtainEngine().value);
        ASSERT_TRUE(engine);
        const Ptr<testhost::DeviceInfo> info(
            new testhost::DeviceInfo("0123abcd456789ef0a1b2c3d4e5f0001", "Cam"));
        agent = Ptr<IDeviceAgent>(engine->obtainDeviceAgent(info.get()).value);
        ASSERT_TRUE(agent);
        ModelAssignment::DownloadContext context{"Generic CPU", "application/x-onnx", "/cache/m", "/cache/k"};
        ModelAssignment::parseAssignedModels(
            parse(R"([{"id":"any","parameters":{"vekAI":{"PluginEnabled":true,"models":[)" + modelText("A") +
                  "," + modelText("B") + R"(],"pipelines":[]}}}])"),
            context, models, messages);
    }

    VekEngine& vekEngine() { return *static_cast<VekEngine*>(engine.get()); }
    DeviceAgent& vekAgent() { return *static_cast<DeviceAgent*>(agent.get()); }
    const std::string& id() { return vekAgent().deviceId(); }

    // The agent's entry of the device list, "{id}" standing for its id.
    void apply(const std::string& entry) {
        const auto document = parse(replaced(entry, "{id}", id()));
        vekAgent().processDeviceParameters(document, models, {}, {}, messages);
    }

    std::vector<std::string> stageIds() {
        std::vector<std::string> ids;
        for (const auto& stage : vekAgent().currentDeviceSettings()->stages)
            ids.push_back(stage.stageId);
        return ids;
    }

    std::string log() {
        std::ifstream in(data.path / "vek_corvane" / "vekai_plugin_start.log");
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }
};

struct EntryCase {
    const char* what;
    std::string entry;
    // A line the log must hold; "{id}" stands for the device id.
    std::string logLine;
};

void PrintTo(const EntryCase& row, std::ostream* out) {
    *out << row.what;
}

const std::string kFirst = R"({"id":"{id}","parameters":{"vekAI":{"deviceAdmin":"https://admin/first",)"
                           R"("selectedPipeline":"first","models":[],"pipelines":[)" +
                           node("A") + "]}}}";

// Entries after which the agent keeps the settings of kFirst.
const EntryCase kKeptCases[] = {
    {"no parameters", R"({"id":"{id}"})",
     "Notice: Device {id} processing parameters but not initialized yet."},
    {"parameters an array", R"({"id":"{id}","parameters":[]})",
     "Notice: Device {id} processing parameters but not initialized yet."},
    {"vekAI empty", R"({"id":"{id}","parameters":{"vekAI":{}}})",
     "Notice: Device {id} processing parameters but not initialized yet."},
    {"no pipelines", R"({"id":"{id}","parameters":{"vekAI":{"deviceAdmin":"https://admin/x","models":[]}}})",
     "Notice: Device {id} processing parameters but not initialized yet."},
    {"no deviceAdmin", R"({"id":"{id}","parameters":{"vekAI":{"pipelines":[]}}})",
     "Error! Device {id} does not have an Admin URL!"},
    {"deviceAdmin a number", R"({"id":"{id}","parameters":{"vekAI":{"deviceAdmin":7,"pipelines":[]}}})",
     "Error! Device {id} does not have an Admin URL!"},
    {"pipelines an object",
     R"({"id":"{id}","parameters":{"vekAI":{"deviceAdmin":"https://admin/x","pipelines":{}}}})",
     "Error! Device agent received invalid pipeline structure."},
};

class MalformedEntry : public AssignmentFixture, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(MalformedEntry, KeepsThePreviousSettings) {
    const EntryCase& row = GetParam();
    apply(kFirst);
    const auto before = vekAgent().currentDeviceSettings();
    ASSERT_TRUE(before->parametersReceived);
    apply(row.entry);
    EXPECT_EQ(vekAgent().currentDeviceSettings(), before);
    EXPECT_NE(log().find(replaced(row.logLine, "{id}", id())), std::string::npos) << log();
    EXPECT_TRUE(messages.getMessages().empty());
}

INSTANTIATE_TEST_SUITE_P(Entries, MalformedEntry, ::testing::ValuesIn(kKeptCases));

TEST_F(AssignmentFixture, AnEntryWithABadNodeKeepsTheOthersAndTheNextCleanEntryRemovesTheNotice) {
    apply(
        R"({"id":"{id}","parameters":{"vekAI":{"deviceAdmin":"https://admin/a","selectedPipeline":7,"pipelines":[)" +
        node("A") + R"(,{"modelUUID":"B"},)" + node("B") + "]}}}");
    const auto settings = vekAgent().currentDeviceSettings();
    EXPECT_TRUE(settings->parametersReceived);
    EXPECT_EQ(stageIds(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(settings->selectedPipeline, "Custom") << "a selected pipeline that is not a text";
    EXPECT_EQ(settings->deviceAdminUrl, "https://admin/a");
    EXPECT_EQ(settings->stages[0].model, models.at("A"));
    ASSERT_EQ(messages.getMessages().count("PARSE_PIPELINE"), 1u);

    apply(
        R"({"id":"{id}","parameters":{"vekAI":{"deviceAdmin":"https://admin/b","selectedPipeline":"p2","pipelines":[)" +
        node("B") + "]}}}");
    EXPECT_EQ(stageIds(), std::vector<std::string>{"B"});
    EXPECT_EQ(vekAgent().currentDeviceSettings()->selectedPipeline, "p2");
    EXPECT_EQ(messages.getMessages().count("PARSE_PIPELINE"), 0u);
}

TEST_F(AssignmentFixture, TheConfiguredAdminOverrideServesADeviceWithoutItsOwnAddress) {
    const char* saved = ini().DeviceAdminOverride;
    ini().DeviceAdminOverride = "https://override";
    apply(R"({"id":"{id}","parameters":{"vekAI":{"pipelines":[]}}})");
    ini().DeviceAdminOverride = saved;
    const auto settings = vekAgent().currentDeviceSettings();
    EXPECT_TRUE(settings->parametersReceived);
    EXPECT_EQ(settings->deviceAdminUrl, "https://override/system//device/" + id());
}

TEST_F(AssignmentFixture, TheEngineSkipsAListThatIsNotJsonAndAnElementWithoutId) {
    const std::string good = "[" + replaced(kFirst, "{id}", id()) + "]";
    vekEngine().processDevicesParameters(good);
    const auto before = vekAgent().currentDeviceSettings();
    ASSERT_TRUE(before->parametersReceived);

    vekEngine().processDevicesParameters("[{\"id\":");
    EXPECT_NE(log().find("Error: Failed to parse devices parameters JSON."), std::string::npos);
    EXPECT_EQ(vekAgent().currentDeviceSettings(), before);

    const std::string withoutId = "[" + replaced(kFirst, R"("id":"{id}",)", "") + "]";
    EXPECT_NO_THROW(vekEngine().processDevicesParameters(withoutId));
    EXPECT_NE(log().find("Warning! Skipping a device element without a string id."), std::string::npos);
    EXPECT_EQ(vekAgent().currentDeviceSettings(), before);
}

TEST_F(AssignmentFixture, TheEngineGivesEachAgentItsOwnEntryAndKeepsModelsOfDevicesWithoutAgents) {
    const std::string list =
        "[" +
        replaced(
            R"({"id":"other","parameters":{"vekAI":{"PluginEnabled":true,"deviceAdmin":"https://admin/o",)"
            R"("models":[)" +
                modelText("B") + R"(],"pipelines":[)" + node("B") + "]}}}",
            "{id}", id()) +
        "," +
        replaced(
            R"({"id":"{id}","parameters":{"vekAI":{"PluginEnabled":true,"deviceAdmin":"https://admin/mine",)"
            R"("models":[)" +
                modelText("A") + R"(],"pipelines":[)" + node("A") + "]}}}",
            "{id}", id()) +
        "]";
    vekEngine().processDevicesParameters(list);
    const auto assigned = vekEngine().getAssignedModelsCopy();
    EXPECT_EQ(assigned.size(), 2u);
    EXPECT_EQ(assigned.count("A"), 1u);
    EXPECT_EQ(assigned.count("B"), 1u);
    const auto settings = vekAgent().currentDeviceSettings();
    EXPECT_EQ(settings->deviceAdminUrl, "https://admin/mine");
    ASSERT_EQ(stageIds(), std::vector<std::string>{"A"});
    EXPECT_EQ(settings->stages[0].model, assigned.at("A")) << "the pipeline runs the engine's record";
}

}  // namespace
