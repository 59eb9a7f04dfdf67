#include <gtest/gtest.h>

#include <vek/sdk/analytics/i_plugin.h>
#include <vek/sdk/entry_points.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "device_agent.h"
#include "engine.h"
#include "test_host.h"

using namespace vek::sdk;
using namespace vek::sdk::analytics;
using vek::vms_server_plugins::analytics::vekai::DeviceAgent;
using VekEngine = vek::vms_server_plugins::analytics::vekai::Engine;

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

struct EngineFixture : ::testing::Test {
    testhost::TempDir home{"vek-home"};
    testhost::TempDir data{"vek-data"};
    std::filesystem::path workDir = data.path / "vek_corvane";
    Ptr<IPlugin> plugin;
    Ptr<IEngine> engine;

    void SetUp() override {
        plugin = Ptr<IIntegration>(createVekPlugin()).queryInterface<IPlugin>();
        ASSERT_TRUE(plugin);
        const Ptr<testhost::UtilityProvider> provider(
            new testhost::UtilityProvider(home.path.string(), data.path.string()));
        plugin->setUtilityProvider(provider.get());
        auto result = plugin->obtainEngine();
        ASSERT_TRUE(result.isOk());
        engine = Ptr<IEngine>(result.value);
    }

    VekEngine& vekEngine() { return *static_cast<VekEngine*>(engine.get()); }

    Ptr<IDeviceAgent> obtainAgent(const std::string& id) {
        const Ptr<testhost::DeviceInfo> info(new testhost::DeviceInfo(id, "Camera " + id));
        auto result = engine->obtainDeviceAgent(info.get());
        EXPECT_TRUE(result.isOk());
        return Ptr<IDeviceAgent>(result.value);
    }

    std::string startLog() { return readFile(workDir / "vekai_plugin_start.log"); }
};

TEST_F(EngineFixture, CreatesWorkingDirectoryAndLogsWithTheLineHeader) {
    ASSERT_TRUE(std::filesystem::is_directory(workDir));
    EXPECT_TRUE(std::filesystem::exists(workDir / "vekai_plugin.log"));
    engine.reset();  // below the verbose level lines reach the file when logging is finalised
    const std::regex header(R"(^AI Plugin: \d{13} \d{9}: Initialized engine\. Plugin version: 5\.0\.42$)");
    std::istringstream lines(startLog());
    bool found = false;
    for (std::string line; std::getline(lines, line);)
        found = found || std::regex_match(line, header);
    EXPECT_TRUE(found) << startLog();
}

TEST_F(EngineFixture, RepeatedEngineRequestSharesTheOneEngine) {
    auto again = plugin->obtainEngine();
    ASSERT_TRUE(again.isOk());
    EXPECT_EQ(again.value, engine.get());
    again.value->releaseRef();
}

TEST_F(EngineFixture, EngineReleasedBeforeAnyAgentJoinsNoThreadAndFinalisesLogging) {
    EXPECT_FALSE(vekEngine().isRuntimeLoopStarted());
    engine.reset();
    const std::string log = startLog();
    EXPECT_NE(log.find("Destroying Corvane Engine...\n"), std::string::npos);
    EXPECT_NE(log.find("Finalizing logging...\n"), std::string::npos);
    EXPECT_EQ(log.find("Waiting runtime loop to finish"), std::string::npos);
}

TEST_F(EngineFixture, FirstAgentStartsTheLoopOnceAndAgentsLeaveTheRegistry) {
    // The thread sanitizer starts a helper thread of its own with the program's first thread.
    std::thread([] {}).join();
    const int threadsBefore = testhost::threadCount();
    auto first = obtainAgent("0123abcd-4567-89ef-0a1b-2c3d4e5f0001");
    EXPECT_TRUE(vekEngine().isRuntimeLoopStarted());
    EXPECT_EQ(testhost::threadCount(), threadsBefore + 1);
    auto second = obtainAgent("0123abcd-4567-89ef-0a1b-2c3d4e5f0002");
    EXPECT_EQ(testhost::threadCount(), threadsBefore + 1);
    EXPECT_EQ(vekEngine().deviceAgentCount(), 2u);

    first.reset();
    EXPECT_EQ(vekEngine().deviceAgentCount(), 1u);
    second.reset();
    EXPECT_EQ(vekEngine().deviceAgentCount(), 0u);

    engine.reset();
    const std::string log = startLog();
    const auto waiting = log.find("Waiting runtime loop to finish...\n");
    const auto finished = log.find("Runtime loop sucessfully finished.\n");
    const auto finalizing = log.find("Finalizing logging...\n");
    ASSERT_NE(waiting, std::string::npos);
    EXPECT_LT(waiting, finished);
    EXPECT_LT(finished, finalizing);
    EXPECT_EQ(testhost::threadCount(), threadsBefore);
}

TEST_F(EngineFixture, AgentIdIsLowerCaseHyphenatedAndAStaleAgentKeepsItsSuccessorRegistered) {
    auto older = obtainAgent("{0123ABCD-4567-89EF-0A1B-2C3D4E5F0001}");
    EXPECT_EQ(static_cast<DeviceAgent*>(older.get())->deviceId(), "0123abcd-4567-89ef-0a1b-2c3d4e5f0001");
    auto newer = obtainAgent("0123abcd456789ef0a1b2c3d4e5f0001");
    EXPECT_EQ(vekEngine().deviceAgentCount(), 1u);
    older.reset();
    EXPECT_EQ(vekEngine().deviceAgentCount(), 1u);
    newer.reset();
    EXPECT_EQ(vekEngine().deviceAgentCount(), 0u);
}

TEST_F(EngineFixture, RefreshRequestWaitsForACompletedPass) {
    EXPECT_FALSE(vekEngine().requestImmediateDeviceParametersRefresh(0));

    std::jthread pass([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        vekEngine().notifyDevicesParametersProcessed();
    });
    EXPECT_TRUE(vekEngine().requestImmediateDeviceParametersRefresh(5));
}

TEST_F(EngineFixture, RequestsPostTheirNoticeAndClearWarnings) {
    struct Case {
        void (VekEngine::*request)();
        const char* key;
        const char* text;
    };
    const Case cases[] = {
        {&VekEngine::requestAllDeviceReset, "RESET_DEVICE",
         "Device reset in progress. Please wait a few moments and hit 'Refresh'."},
        {&VekEngine::requestClearCache, "CLEAR_CACHE",
         "Plugin is clearing the cache. Please wait a few moments and hit 'Refresh'."},
        {&VekEngine::requestRetryModelDownloads, "RETRY_DOWNLOADS",
         "Plugin will retry model downloads. Please wait a few moments and hit 'Refresh'."},
    };
    auto& messages = vekEngine().getMessagingManager();
    for (const auto& c : cases) {
        messages.addMessage("SOME_FAILURE", "failed", MESSAGE_TYPE::WARNING);
        (vekEngine().*c.request)();
        const auto current = messages.getMessages();
        EXPECT_EQ(current.count("SOME_FAILURE"), 0u) << c.key;
        ASSERT_EQ(current.count(c.key), 1u) << c.key;
        EXPECT_EQ(current.at(c.key).text, c.text);
        EXPECT_EQ(current.at(c.key).type, MESSAGE_TYPE::INFO);
    }
}

TEST_F(EngineFixture, RuntimeReselectionSetsTheStateAndDropsTheDocumentationNotice) {
    auto& messages = vekEngine().getMessagingManager();
    messages.addMessage("RUNTIME_DOCUMENTATION", "see docs", MESSAGE_TYPE::INFO);
    messages.addMessage("MISSING_AVX2_ERROR", "no avx2", MESSAGE_TYPE::WARNING);
    vekEngine().requestRuntimeReselection();
    EXPECT_EQ(vekEngine().getRuntimesManager().getState(), RuntimeState::RESELECT_REQUESTED);
    EXPECT_TRUE(messages.getMessages().empty());
}

// One element without a string id used to abort the whole pass, after the models had been cleared.
TEST_F(EngineFixture, DeviceListElementsWithoutAStringIdAreSkipped) {
    const std::string model =
        R"({"UUID":"m1","UpdatedAt":"2024-05-01T00:00:00","Name":"M","Downloads":[],)"
        R"("InputDriverDetails":{"width":64,"height":64,"channels":3,"vars":[1,1,1],"means":[0,0,0],"order":1},)"
        R"("NamedInput":[{"DataType":"float32","Name":"images","Shape":[1,3,64,64]}],)"
        R"("NamedOutput":[{"DataType":"float","Name":"out","Shape":[1,6]}]})";
    const std::string devices = R"([7,{"id":null},{"id":"cam1","parameters":{"vekAI":{"PluginEnabled":true,)"
                                R"("models":[)" +
                                model + R"(],"pipelines":[]}}}])";
    EXPECT_NO_THROW(vekEngine().processDevicesParameters(devices));
    EXPECT_EQ(vekEngine().getAssignedModelsCopy().count("m1"), 1u);
}

// A list nested a million levels deep used to overflow the loop thread's stack.
TEST_F(EngineFixture, DeviceListNestedBeyondTheBoundIsRefused) {
    const std::string depth(1'000'000, '[');
    EXPECT_NO_THROW(vekEngine().processDevicesParameters(depth + std::string(depth.size(), ']')));
    EXPECT_TRUE(vekEngine().getAssignedModelsCopy().empty());
}

TEST(PluginEngineCreation, FailsClearlyWithoutAUsableWorkingDirectory) {
    testhost::TempDir home{"vek-home"};
    testhost::TempDir data{"vek-data"};
    std::ofstream(data.path / "vek_corvane") << "a file where the directory should go";
    const auto plugin = Ptr<IIntegration>(createVekPlugin()).queryInterface<IPlugin>();

    auto withoutProvider = plugin->obtainEngine();
    EXPECT_EQ(withoutProvider.error.errorCode, ErrorCode::badState);
    ASSERT_NE(withoutProvider.error.errorMessage, nullptr);
    withoutProvider.error.errorMessage->releaseRef();

    const Ptr<testhost::UtilityProvider> provider(
        new testhost::UtilityProvider(home.path.string(), data.path.string()));
    plugin->setUtilityProvider(provider.get());
    auto blocked = plugin->obtainEngine();
    EXPECT_EQ(blocked.value, nullptr);
    EXPECT_EQ(blocked.error.errorCode, ErrorCode::internalError);
    ASSERT_NE(blocked.error.errorMessage, nullptr);
    EXPECT_NE(std::string(blocked.error.errorMessage->str()).find("vek_corvane"), std::string::npos);
    blocked.error.errorMessage->releaseRef();
}

}  // namespace
