#include <gtest/gtest.h>

#include <vektest/temp_dir.h>

#include <vekhost/pattern_source.h>
#include <vekhost/plugin_host.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

namespace fs = std::filesystem;

using vektest::TempDir;

int threadCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

struct PluginThroughHost : ::testing::Test {
    TempDir home{"vek-home"};
    TempDir data{"vek-data"};
    std::unique_ptr<vekhost::PluginHost> host;

    void SetUp() override {
        vekhost::HostConfig config;
        config.pluginPath = VEK_PLUGIN_PATH;
        config.provider.homeDir = home.path.string();
        config.provider.dataDir = data.path.string();
        config.provider.serverId = "6a1b2c3d-0000-4000-8000-000000000001";
        auto loaded = vekhost::PluginHost::load(config);
        ASSERT_TRUE(loaded) << loaded.error();
        host = std::move(loaded.value());
    }

    int addCamera(const std::string& id) {
        auto recorder = vekhost::MetadataRecorder::create(std::nullopt);
        auto camera = host->addCamera({id, "Camera " + id}, recorder.value());
        EXPECT_TRUE(camera) << camera.error();
        return camera ? camera.value() : -1;
    }

    std::string startLog() const { return readFile(data.path / "vek_corvane" / "vekai_plugin_start.log"); }
};

TEST_F(PluginThroughHost, ExportsItsEntryPointsAndDescribesItself) {
    auto library = vekhost::PluginLibrary::open(VEK_PLUGIN_PATH);
    ASSERT_TRUE(library) << library.error();
    for (const char* name : {"createVekPlugin", "vekLibContext", "vekSdkVersion", "vekSetUnitTestOptions"})
        EXPECT_NE(library->symbol(name), nullptr) << name;
    EXPECT_EQ(library->symbol("_ZN3vek3sdk10LibContext8instanceEv"), nullptr)
        << "internal symbols stay hidden";

    const auto manifest = host->pluginManifest();
    ASSERT_TRUE(manifest) << manifest.error();
    EXPECT_EQ(
        manifest.value(),
        R"({"id":"vek.vekai","name":"Corvane","description":"Corvane is a universal tool for deploying and )"
        R"(managing AI models. It transforms video streams from any camera into intelligent, actionable )"
        R"(insights with minimal engineering effort.","vendor":"Vek Systems","version":"5.0.42",)"
        R"("engineSettingsModel":{"type":"Settings","items":[]}})");
}

TEST_F(PluginThroughHost, EngineAndAgentsLiveAndLeaveInTheHostsOrder) {
    ASSERT_TRUE(host->obtainEngine());
    const auto engineManifest = host->engineManifest();
    ASSERT_TRUE(engineManifest) << engineManifest.error();
    EXPECT_NE(engineManifest.value().find(R"("capabilities":"needUncompressedVideoFrames_yuv420")"),
              std::string::npos);

    const int threadsBefore = threadCount();
    const int first = addCamera("0123abcd-4567-89ef-0a1b-2c3d4e5f0001");
    const int afterFirst = threadCount();
    addCamera("0123abcd-4567-89ef-0a1b-2c3d4e5f0002");
    EXPECT_GT(afterFirst, threadsBefore);
    EXPECT_EQ(threadCount(), afterFirst) << "a second agent starts no second loop";

    const auto deviceManifest = host->deviceManifest(first);
    ASSERT_TRUE(deviceManifest) << deviceManifest.error();
    EXPECT_NE(deviceManifest.value().find(R"("objectTypes":[])"), std::string::npos)
        << deviceManifest.value();

    vekhost::PatternSource source(64, 48);
    for (int i = 0; i < 3; ++i) {
        auto next = source.next();
        ASSERT_EQ(next.state, vekhost::NextFrame::State::frame);
        EXPECT_TRUE(host->pushFrame(first, *next.frame.frame));
    }

    host->release();
    const std::string log = startLog();
    const std::regex header(R"(^AI Plugin: \d{13} \d{9}: Initialized engine\. Plugin version: 5\.0\.42$)");
    std::istringstream lines(log);
    bool headerFound = false;
    for (std::string line; std::getline(lines, line);)
        headerFound = headerFound || std::regex_match(line, header);
    EXPECT_TRUE(headerFound) << log;
    const auto destroyedAgent = log.find("Destroying Device Agent 0123abcd-4567-89ef-0a1b-2c3d4e5f0001");
    const auto destroyedEngine = log.find("Destroying Corvane Engine...");
    const auto joined = log.find("Runtime loop sucessfully finished.");
    const auto finalizing = log.find("Finalizing logging...");
    ASSERT_NE(destroyedAgent, std::string::npos);
    EXPECT_LT(destroyedAgent, destroyedEngine);
    EXPECT_LT(destroyedEngine, joined);
    EXPECT_LT(joined, finalizing);
}

TEST_F(PluginThroughHost, EngineWithoutAgentsStartsNoLoopAndStillFinalisesLogging) {
    ASSERT_TRUE(host->obtainEngine());
    host->release();
    const std::string log = startLog();
    EXPECT_NE(log.find("Finalizing logging...\n"), std::string::npos);
    EXPECT_EQ(log.find("Waiting runtime loop to finish"), std::string::npos);
}

}  // namespace
