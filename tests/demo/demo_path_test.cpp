// The path scripts/demo takes, on a few seconds of video: the plugin connects to the local cloud,
// has its devices reset to the demo pipeline, is told to use the CPU runtime among two, downloads and
// installs it, downloads and decrypts the NanoDet model, and then detects, tracks and counts people
// crossing a line in vtest.avi.
#include <gtest/gtest.h>

#include <rapidjson/document.h>
#include <vektest/wait.h>

#include <vekcloud/local_cloud.h>
#include <vekhost/camera_feeder.h>
#include <vekhost/plugin_host.h>
#include <vekhost/run_command.h>
#include <vekhost/video_file_source.h>
#include <chrono>
#include <cstdlib>
#include <map>
#include <regex>
#include <thread>

#include "fake_machine.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using acceltest::FakeMachine;
using acceltest::readText;
using acceltest::ScratchDir;
using acceltest::writeText;

const fs::path kCache = VEK_DEPS_CACHE;
const fs::path kModel = kCache / "nanodet-m-416" / "nanodet-m-416.onnx";
const fs::path kVideo = kCache / "video" / "vtest.avi";
const fs::path kRuntimeStore = VEK_RUNTIME_STORE_DIR;
const fs::path kSource = VEK_SOURCE_DIR;
constexpr const char* kCrossingLine = R"({"figure":{"points":[[0.5,0.05],[0.5,0.95]]}})";

using vektest::waitFor;

std::string pageOf(const vekhost::PluginHost& host, int camera) {
    auto page = host.deviceSettings(camera);
    return page ? page->model : std::string();
}

// What the packet log says about the cameras' objects and events.
struct PacketLog {
    std::map<std::string, int> objectsByType;
    std::map<std::string, int> eventsByType;
    // Line crossings per camera id.
    std::map<std::string, int> crossingsByCamera;
    // Object packets each track appears in.
    std::map<std::string, int> packetsByTrack;
};

PacketLog readPacketLog(const fs::path& path) {
    PacketLog log;
    std::istringstream lines(readText(path));
    std::string line;
    while (std::getline(lines, line)) {
        rapidjson::Document packet;
        if (packet.Parse(line.c_str()).HasParseError() || !packet.IsObject())
            continue;
        for (const char* kind : {"objects", "events"}) {
            const auto items = packet.FindMember(kind);
            if (items == packet.MemberEnd() || !items->value.IsArray())
                continue;
            for (const auto& item : items->value.GetArray()) {
                const std::string type = item["typeId"].GetString();
                if (std::string(kind) == "events") {
                    ++log.eventsByType[type];
                    if (type == "vek.vekai.linecrossing")
                        ++log.crossingsByCamera[packet["camera"].GetString()];
                    continue;
                }
                ++log.objectsByType[type];
                ++log.packetsByTrack[item["trackId"].GetString()];
            }
        }
    }
    return log;
}

TEST(DemoPath, NanoDetFindsTracksAndCountsPeopleCrossingALineOnTheCpuRuntimeFromTheCloud) {
    if (!fs::exists(kModel) || !fs::exists(kVideo))
        GTEST_SKIP() << "the NanoDet model or vtest.avi is missing in " << kCache
                     << ": run scripts/install-deps to fetch them";
    if (!fs::exists(kRuntimeStore / "CPU/x86_64/Ubuntu/library.tar.gz"))
        GTEST_SKIP() << "no CPU runtime package in " << kRuntimeStore
                     << ": ONNX Runtime was missing when the build was configured; run scripts/install-deps";

    // A machine offering two runtimes, so that the choice is the user's, as on the demo machine.
    FakeMachine machine;
    machine.baseMachine();
    machine.libraries({"libgomp.so.1", "libOpenCL.so.1"});

    ScratchDir site("vek-demo-site");
    ScratchDir config("vek-demo-config");
    ScratchDir home("vek-demo-home");
    ScratchDir data("vek-demo-data");
    fs::copy(kSource / "samples/site", site.path, fs::copy_options::recursive);
    fs::copy(kSource / "samples/demo/site", site.path,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::copy_file(kModel, site.path / "models/nanodet-m-416/nanodet-m-416.onnx");
    const fs::path workDir = data.path / "vek_corvane";
    fs::create_directories(workDir);
    fs::copy_file(kSource / "samples/demo/raw_postprocessing.json", workDir / "raw_postprocessing.json");

    vekcloud::CloudOptions options;
    options.siteDirectory = site.path;
    options.runtimesDirectory = kRuntimeStore;
    options.systemId = "demo-site";
    options.token = "demo-token";
    vekcloud::LocalCloud cloud(options);
    std::string error;
    ASSERT_TRUE(cloud.start(error)) << error;

    writeText(config.path / "vek_corvane_plugin.ini", "CloudAPI=" + cloud.baseUrl() +
                                                          "\nRuntimesStorageURL=" + cloud.runtimeStoreUrl() +
                                                          "\nlogVerbosityLevel=2\n");
    ASSERT_EQ(setenv("VEK_CONFIG_DIR", config.path.c_str(), 1), 0);

    vekhost::HostConfig hostConfig;
    hostConfig.pluginPath = VEK_PLUGIN_PATH;
    hostConfig.provider.homeDir = home.path.string();
    hostConfig.provider.dataDir = data.path.string();
    hostConfig.provider.serverId = "6a1b2c3d-0000-4000-8000-00000000d3e0";
    hostConfig.provider.cloudSystemId = "demo-site";
    hostConfig.provider.cloudToken = "demo-token";
    auto loaded = vekhost::PluginHost::load(hostConfig);
    ASSERT_TRUE(loaded) << loaded.error();
    auto& host = *loaded.value();
    ASSERT_TRUE(host.obtainEngine());
    const fs::path packets = data.path / "metadata.jsonl";
    auto recorder = vekhost::MetadataRecorder::create(packets);
    ASSERT_TRUE(recorder) << recorder.error();
    std::vector<int> cameras;
    std::map<int, std::string> ids;
    for (int index = 0; index < 2; ++index) {
        auto camera =
            host.addCamera(vekhost::cameraDescription(hostConfig.provider.serverId, index), *recorder);
        ASSERT_TRUE(camera) << camera.error();
        cameras.push_back(*camera);
        ids[*camera] = host.camera(*camera).id;
    }

    ASSERT_TRUE(waitFor(30s, [&] {
        return pageOf(host, cameras[0]).find("libraryChoice_Intel") != std::string::npos;
    })) << pageOf(host, cameras[0]);
    auto pressed = host.pressDeviceButton(cameras[0], "libraryChoice_Generic CPU");
    ASSERT_TRUE(pressed) << pressed.error();

    // The active switch appears once the runtime is installed and the cloud's pipeline has arrived.
    const std::regex lineName("\"(lineCrossingLine_[^\"]+)\"");
    for (int camera : cameras) {
        ASSERT_TRUE(waitFor(60s, [&] {
            return pageOf(host, camera).find("deviceActiveSwitch") != std::string::npos;
        })) << pageOf(host, camera);
        const std::string page = pageOf(host, camera);
        std::smatch found;
        ASSERT_TRUE(std::regex_search(page, found, lineName)) << page;
        auto applied =
            host.applyDeviceSettings(camera, {{"deviceActiveSwitch", "true"}, {found[1], kCrossingLine}});
        ASSERT_TRUE(applied) << applied.error();
    }
    EXPECT_EQ(readText(workDir / "inference_engine" / "installed_runtime.txt"), "Generic CPU");

    std::vector<std::unique_ptr<vekhost::CameraFeeder>> feeders;
    for (int camera : cameras) {
        auto video = vekhost::VideoFileSource::open(kVideo, true);
        ASSERT_TRUE(video) << video.error();
        feeders.push_back(std::make_unique<vekhost::CameraFeeder>(
            host, camera, std::move(video.value()), vekhost::Pace{vekhost::Pace::Mode::filePace, 10},
            std::nullopt));
    }
    for (auto& feeder : feeders)
        feeder->start();
    // Until both cameras have had people counted crossing the line, or a generous limit.
    waitFor(60s, [&] {
        PacketLog log = readPacketLog(packets);
        return log.crossingsByCamera[ids[cameras[0]]] > 0 && log.crossingsByCamera[ids[cameras[1]]] > 0;
    });
    for (auto& feeder : feeders)
        feeder->stop();
    host.release();

    for (auto& feeder : feeders)
        EXPECT_EQ(feeder->statistics().pushErrors, 0) << feeder->statistics().firstPushError;
    PacketLog log = readPacketLog(packets);
    EXPECT_GT(log.objectsByType["vek.base.Person"], 0) << readText(packets);
    for (int camera : cameras)
        EXPECT_GT(log.crossingsByCamera[ids[camera]], 0) << "camera " << camera;
    int longestTrack = 0;
    for (const auto& [track, count] : log.packetsByTrack)
        longestTrack = std::max(longestTrack, count);
    EXPECT_GE(longestTrack, 5) << "a walking person keeps its track id from frame to frame";
    for (int camera : cameras)
        EXPECT_GT(recorder.value()->statistics(camera).objects, 0) << "camera " << camera;

    bool runtimeFetched = false;
    bool modelFetched = false;
    for (const auto& request : cloud.requests()) {
        runtimeFetched = runtimeFetched || request.path.ends_with("CPU/x86_64/Ubuntu/library.tar.gz");
        modelFetched = modelFetched || request.path == "/storage/models/nanodet-m-416/nanodet-m-416.onnx";
    }
    EXPECT_TRUE(runtimeFetched);
    EXPECT_TRUE(modelFetched);
}

}  // namespace
