#include <gtest/gtest.h>

#include <vektest/temp_dir.h>
#include <vektest/wait.h>

#include <vekcloud/local_cloud.h>
#include <vekhost/plugin_host.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using vektest::TempDir;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

using vektest::waitFor;

// The real plugin library in the reference host, connected to the local cloud on loopback. The
// configuration is read once per process, so this program holds this one scenario.
TEST(LoopThroughHostAndCloud, FirstConnectedPassConfiguresTheServerAndResetsDevicesFromTheCloud) {
    TempDir config("vek-config");
    TempDir home("vek-home");
    TempDir data("vek-data");
    TempDir runtimes("vek-runtimes");

    vekcloud::CloudOptions options;
    options.siteDirectory = VEK_SAMPLE_SITE;
    options.runtimesDirectory = runtimes.path;
    options.systemId = "site-7";
    options.token = "token-7";
    vekcloud::LocalCloud cloud(options);
    std::string error;
    ASSERT_TRUE(cloud.start(error)) << error;

    std::ofstream(config.path / "vek_corvane_plugin.ini")
        << "CloudAPI=" << cloud.baseUrl() << "\nRuntimesStorageURL=" << cloud.runtimeStoreUrl()
        << "\nlogVerbosityLevel=2\n";
    ASSERT_EQ(setenv("VEK_CONFIG_DIR", config.path.c_str(), 1), 0);

    // A runtime already in place, as a previous run of the server would have left it.
    const fs::path bin = data.path / "vek_corvane" / "inference_engine";
    fs::create_directories(bin);
    fs::copy_file(VEK_REFERENCE_RUNTIME, bin / "libRuntimeLibrary.so");
    std::ofstream(bin / "installed_runtime.txt") << "Generic CPU";

    vekhost::HostConfig host;
    host.pluginPath = VEK_PLUGIN_PATH;
    host.provider.homeDir = home.path.string();
    host.provider.dataDir = data.path.string();
    host.provider.serverId = "6a1b2c3d-0000-4000-8000-000000000007";
    host.provider.cloudSystemId = "site-7";
    host.provider.cloudToken = "token-7";
    auto loaded = vekhost::PluginHost::load(host);
    ASSERT_TRUE(loaded) << loaded.error();
    auto& plugin = *loaded.value();
    ASSERT_TRUE(plugin.obtainEngine());
    auto recorder = vekhost::MetadataRecorder::create(std::nullopt);
    const std::string camera = "0123abcd-4567-89ef-0a1b-2c3d4e5f0007";
    ASSERT_TRUE(plugin.addCamera({camera, "Entrance"}, recorder.value()));

    // The agent announces itself, the loop connects, writes the server's parameters and has the
    // cloud reset the device, whose parameters then hold the cloud's default pipeline.
    ASSERT_TRUE(waitFor(30s, [&] {
        return plugin.restApi().parametersOf(camera).find("\"pipelines\"") != std::string::npos;
    })) << plugin.restApi().parametersOf(camera);
    const std::string device = plugin.restApi().parametersOf(camera);
    EXPECT_NE(device.find(R"("PluginEnabled":true)"), std::string::npos) << device;
    EXPECT_NE(device.find(R"("modelUUID":"nanodet-m-416")"), std::string::npos) << device;
    const std::string server = plugin.restApi().parametersOf("");
    EXPECT_NE(server.find(R"("pluginVersion":"5.0.42")"), std::string::npos) << server;
    EXPECT_NE(server.find(R"("siteID":"site-7")"), std::string::npos) << server;

    // The first reset may come before the agent announced itself; a later pass resets it then.
    bool deviceReset = false;
    for (const auto& request : cloud.requests()) {
        if (request.method == "POST" && request.path == "/reset/site-7") {
            EXPECT_EQ(request.header("Authorization"), std::optional<std::string>("token-7"));
            deviceReset = deviceReset || request.body.find(camera) != std::string::npos;
        }
    }
    EXPECT_TRUE(deviceReset);
    EXPECT_TRUE(waitFor(10s, [&] {
        return readFile(data.path / "vek_corvane" / "vekai_plugin_start.log")
                   .find("Got device admin from parameters") != std::string::npos;
    })) << "the device's new parameters reach its agent";
    plugin.release();

    const std::string log = readFile(data.path / "vek_corvane" / "vekai_plugin_start.log");
    EXPECT_NE(log.find("First time server is being configured."), std::string::npos);
    EXPECT_NE(log.find("Detected change in devices parameters."), std::string::npos);
}

}  // namespace
