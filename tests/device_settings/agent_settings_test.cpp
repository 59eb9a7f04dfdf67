#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <vek/sdk/analytics/i_plugin.h>
#include <vek/sdk/entry_points.h>
#include <vek/sdk/helpers/ref_countable.h>
#include <vek/sdk/helpers/string.h>
#include <vek/sdk/i_settings_response.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "../engine/test_host.h"
#include "device_agent.h"
#include "engine.h"

using namespace vek::sdk;
using namespace vek::sdk::analytics;
using vek::vms_server_plugins::analytics::vekai::DeviceAgent;
using VekEngine = vek::vms_server_plugins::analytics::vekai::Engine;

namespace {

constexpr const char* kDeviceId = "0123abcd-4567-89ef-0a1b-2c3d4e5f0001";

struct Request {
    std::string path;
    std::string method;
    std::string body;
};

// Plays the server's REST API for one device: GET answers with the stored device, PATCH is
// recorded and answered with a short body; everything else fails.
class RecordingProvider : public testhost::UtilityProvider {
public:
    RecordingProvider(std::string home, std::string data)
        : testhost::UtilityProvider(std::move(home), std::move(data)) {}

    void sendHttpRequest(HttpDomainName, const char* path, const char* method, const char*, const char* body,
                         IHttpRequestCompletionHandler* callback) const override {
        const std::string devicePath = std::string("/rest/v4/devices/") + kDeviceId;
        std::string answer;
        {
            std::lock_guard lock(mutex);
            if (path == devicePath && std::string(method) == "GET") {
                answer = storedDevice;
            } else if (path == devicePath && std::string(method) == "PATCH") {
                // The agent's own status reports are not what these tests look at.
                const std::string text = body ? body : "";
                if (text.find("PluginEnabled") == std::string::npos)
                    patches.push_back(text);
                answer = R"({"ok":true})";
            }
        }
        if (!callback)
            return;
        if (answer.empty())
            callback->execute(Result<IString*>(Error{ErrorCode::notImplemented, nullptr}));
        else
            callback->execute(Result<IString*>(
                new String("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n" + answer + "\n")));
    }

    std::vector<std::string> takePatches() {
        std::lock_guard lock(mutex);
        return std::exchange(patches, {});
    }

    mutable std::mutex mutex;
    std::string storedDevice;
    mutable std::vector<std::string> patches;
};

class Action : public RefCountable<IActiveSettingChangedAction> {
public:
    Action(std::string name, const std::map<std::string, std::string>& values)
        : name(std::move(name)), values(new StringMap(values)) {}
    const char* activeSettingName() const override { return name.c_str(); }
    const char* settingsModel() const override { return ""; }
    const IStringMap* settingsValues() const override { return values.get(); }
    const IStringMap* params() const override { return noParams.get(); }

private:
    std::string name;
    Ptr<StringMap> values;
    Ptr<StringMap> noParams{new StringMap()};
};

struct Page {
    std::map<std::string, std::string> values;
    std::string model;
    std::string actionUrl;
    bool empty = true;
};

Page pageOf(const ISettingsResponse* response) {
    Page page;
    if (!response)
        return page;
    page.empty = false;
    page.model = takeString(response->model());
    const Ptr<IStringMap> values(response->values());
    toStdMap(values.get(), &page.values);
    return page;
}

class AgentSettings : public ::testing::Test {
protected:
    void SetUp() override {
        provider = Ptr<RecordingProvider>(new RecordingProvider(home.path.string(), data.path.string()));
        plugin = Ptr<IIntegration>(createVekPlugin()).queryInterface<IPlugin>();
        plugin->setUtilityProvider(provider.get());
        engine = Ptr<IEngine>(plugin->obtainEngine().value);
        ASSERT_TRUE(engine);
        startAgent();
        // Stands in for the loop's passes, so that waits for processed parameters end at once.
        notifier = std::thread([this] {
            while (!stopNotifier.load()) {
                vekEngine().notifyDevicesParametersProcessed();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }

    void TearDown() override {
        stopNotifier.store(true);
        notifier.join();
        agent.reset();
        engine.reset();
    }

    void startAgent() {
        agent.reset();
        const Ptr<testhost::DeviceInfo> info(new testhost::DeviceInfo(kDeviceId, "Cam"));
        agent = Ptr<IDeviceAgent>(engine->obtainDeviceAgent(info.get()).value);
        ASSERT_TRUE(agent);
    }

    VekEngine& vekEngine() { return *static_cast<VekEngine*>(engine.get()); }
    DeviceAgent& vekAgent() { return *static_cast<DeviceAgent*>(agent.get()); }

    // A device with parameters, two offered pipelines and a one-stage pipeline "s1".
    void giveParameters(const std::string& selected = "p1") {
        auto settings = std::make_shared<DeviceAgentSettings_t>();
        settings->parametersReceived = true;
        settings->deviceAdminUrl = "https://cloud.example/device/1";
        settings->availablePipelines = {
            {"p1", "People", R"({"parameters":{"vekAI":{"selectedPipeline":"p1"}}})"},
            {"p2", "Cars", R"({"parameters":{"vekAI":{"selectedPipeline":"p2"}}})"}};
        settings->selectedPipeline = selected;
        pipeline_stage_parameters_t stage;
        stage.stageId = "s1";
        stage.model = std::make_shared<ModelDetails_t>();
        stage.model->id = "s1";
        stage.model->name = "Detector";
        stage.model->boxesClassNames = {"person", "car"};
        stage.nms = 0.5f;
        settings->stages.push_back(stage);
        vekAgent().setSettings(settings);
    }

    Page save(const std::map<std::string, std::string>& values) {
        const Ptr<StringMap> map(new StringMap(values));
        auto result = agent->setSettings(map.get());
        EXPECT_TRUE(result.isOk());
        const Ptr<const ISettingsResponse> response(result.value);
        return pageOf(response.get());
    }

    Page page() {
        auto result = agent->integrationSideSettings();
        EXPECT_TRUE(result.isOk());
        const Ptr<const ISettingsResponse> response(result.value);
        return pageOf(response.get());
    }

    Page press(const std::string& name, const std::map<std::string, std::string>& values = {}) {
        const Ptr<Action> action(new Action(name, values));
        auto result =
            agent.queryInterface<IConsumingDeviceAgent2>()->settingsOnActiveSettingChange(action.get());
        EXPECT_TRUE(result.isOk());
        Page shown;
        if (!result.value)
            return shown;
        const Ptr<const IActiveSettingChangedResponse> response(result.value);
        const Ptr<const ISettingsResponse> settings(response->settingsResponse());
        shown = pageOf(settings.get());
        const Ptr<const IActionResponse> open(response->actionResponse());
        if (open) {
            shown.empty = false;
            shown.actionUrl = open->actionUrl();
        }
        return shown;
    }

    std::string cacheFileText() const {
        std::ifstream file(data.path / "vek_corvane" / "cache" /
                           (std::string(kDeviceId) + "_settings_cache.txt"));
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    testhost::TempDir home{"vek-home"};
    testhost::TempDir data{"vek-data"};
    Ptr<RecordingProvider> provider;
    Ptr<IPlugin> plugin;
    Ptr<IEngine> engine;
    Ptr<IDeviceAgent> agent;
    std::atomic<bool> stopNotifier{false};
    std::thread notifier;
};

TEST_F(AgentSettings, ValuesSurviveSaveRestartAndLoad) {
    giveParameters();
    const std::map<std::string, std::string> values = {
        {"deviceActiveSwitch", "true"},
        {"selectedPipeline", "p1"},
        {"model_nms_s1", "42"},
        {"s1_postprocessor_setting_note", "first line\nmodel_nms_s1=1"},
        {"visualise_classes_s1", R"(["person"])"},
    };
    const Page saved = save(values);
    EXPECT_EQ(saved.values, values);
    EXPECT_TRUE(vekAgent().currentDeviceSettings()->active);
    EXPECT_EQ(cacheFileText().find("deviceActiveSwitch"), std::string::npos);
    EXPECT_EQ(cacheFileText().find("selectedPipeline"), std::string::npos);

    startAgent();
    const Page restored = page();
    EXPECT_EQ(restored.values.at("model_nms_s1"), "42");
    EXPECT_EQ(restored.values.at("s1_postprocessor_setting_note"), "first line\nmodel_nms_s1=1");
    EXPECT_EQ(restored.values.at("visualise_classes_s1"), R"(["person"])");
    EXPECT_EQ(restored.values.count("deviceActiveSwitch"), 0u);
    EXPECT_FALSE(vekAgent().currentDeviceSettings()->active)
        << "a restarted device waits for the host's values";
}

TEST_F(AgentSettings, SensitivityChangeIsWrittenToTheDeviceParametersOnce) {
    giveParameters();
    provider->storedDevice =
        std::string(R"({"id":")") + kDeviceId +
        R"(","parameters":{"vekAI":{"pipelines":[{"modelUUID":"s1","modelNMS":0.5,"name":"keep"}]}}})";
    save({{"model_nms_s1", "70"}});
    EXPECT_FLOAT_EQ(vekAgent().currentDeviceSettings()->stages[0].nms, 0.3f);
    const auto patches = provider->takePatches();
    ASSERT_EQ(patches.size(), 1u);
    rapidjson::Document body;
    body.Parse(patches[0].c_str());
    const auto& node = body["parameters"]["vekAI"]["pipelines"][0];
    EXPECT_STREQ(node["name"].GetString(), "keep");
    EXPECT_FLOAT_EQ(static_cast<float>(node["modelNMS"].GetDouble()), 0.3f);

    save({{"model_nms_s1", "70"}});
    EXPECT_TRUE(provider->takePatches().empty()) << "an unchanged sensitivity is not written again";
}

TEST_F(AgentSettings, PipelineChoiceIsWrittenToTheCloud) {
    giveParameters("p1");
    save({{"selectedPipeline", "p2"}});
    EXPECT_EQ(provider->takePatches(),
              (std::vector<std::string>{R"({"parameters":{"vekAI":{"selectedPipeline":"p2"}}})"}));

    save({{"selectedPipeline", "p2"}});
    EXPECT_TRUE(provider->takePatches().empty()) << "the same choice again";

    save({{"selectedPipeline", "Custom"}});
    EXPECT_EQ(provider->takePatches(),
              (std::vector<std::string>{R"({"parameters":{"vekAI":{"selectedPipeline":null}}})"}));
    EXPECT_EQ(vekAgent().currentDeviceSettings()->selectedPipeline, "Custom");
}

TEST_F(AgentSettings, PipelineChoiceThatCouldNotBeWrittenIsTriedAgain) {
    giveParameters("p1");
    auto unlisted = std::make_shared<DeviceAgentSettings_t>(*vekAgent().currentDeviceSettings());
    unlisted->availablePipelines.clear();
    vekAgent().setSettings(unlisted);
    save({{"selectedPipeline", "p2"}});
    EXPECT_TRUE(provider->takePatches().empty()) << "the offered pipelines are not known yet";

    giveParameters("p1");
    save({{"selectedPipeline", "p2"}});
    EXPECT_EQ(provider->takePatches(),
              (std::vector<std::string>{R"({"parameters":{"vekAI":{"selectedPipeline":"p2"}}})"}));
}

TEST_F(AgentSettings, PageOffersTheCurrentPipelineChoice) {
    giveParameters("gone");
    EXPECT_EQ(page().values.at("selectedPipeline"), "Custom");
    giveParameters("p2");
    EXPECT_EQ(page().values.at("selectedPipeline"), "p2");
}

TEST_F(AgentSettings, ButtonsReachTheirTargetsAndThePageShowsTheEffect) {
    giveParameters();
    auto& runtimes = vekEngine().getRuntimesManager();
    auto& messages = vekEngine().getMessagingManager();
    const auto hasMessage = [&](const char* key) { return messages.getMessages().count(key) > 0; };

    Page shown = press("selectAllButton_s1", {{"visualise_classes_s1", "[]"}});
    EXPECT_EQ(shown.values.at("visualise_classes_s1"), R"(["person","car"])");
    shown = press("deSelectAllButton_s1", {{"visualise_classes_s1", R"(["car"])"}});
    EXPECT_EQ(shown.values.at("visualise_classes_s1"), "[]");

    shown = press("manageDevice");
    EXPECT_EQ(shown.actionUrl, "https://cloud.example/device/1");
    EXPECT_TRUE(shown.model.empty());

    press("reselectRuntimeButton");
    EXPECT_EQ(runtimes.getState(), RuntimeState::RESELECT_REQUESTED);

    runtimes.cancelDownloadRequested.store(false);
    press("cancelRuntimeDownloadButton");
    EXPECT_TRUE(runtimes.cancelDownloadRequested.load());

    messages.addMessage("NVIDIA_RESTART_REQUIRED", "restart", MESSAGE_TYPE::WARNING);
    press("libraryChoice_cuda");
    EXPECT_EQ(runtimes.userSelectedRuntime, "cuda");
    EXPECT_EQ(runtimes.getState(), RuntimeState::SELECTED);
    EXPECT_FALSE(hasMessage("NVIDIA_RESTART_REQUIRED"));

    shown = press("resetSingleDeviceButton");
    EXPECT_TRUE(hasMessage("RESET_DEVICE"));
    EXPECT_NE(shown.model.find("Device reset in progress"), std::string::npos);

    shown = press("clearCacheButton");
    EXPECT_TRUE(hasMessage("CLEAR_CACHE"));
    EXPECT_NE(shown.model.find("Plugin is clearing the cache"), std::string::npos);

    shown = press("modelDownloadRetryButton");
    EXPECT_NE(shown.model.find("Plugin will retry model downloads"), std::string::npos);

    EXPECT_TRUE(press("triggerReferenceRunButton_s1").empty) << "a reference run answers nothing";
    EXPECT_EQ(press("somethingElse", {{"a", "1"}}).values, (std::map<std::string, std::string>{{"a", "1"}}));
}

}  // namespace
