// Faults injected around the real plugin in the reference host: the local cloud down, slow, failing
// or answering garbage, a model download cut mid-body, and a reference runtime that fails to start,
// to load its models or to deliver results. Three cameras each run their own model; for every fault
// the test checks what the other cameras still get, what the user is told on the settings page or in
// the log, and that the plugin recovers by itself (or through the recovery button the notice offers)
// once the fault is gone.
//
// What the plugin cannot survive: a runtime library is loaded into the plugin's own process, so a
// runtime that crashes (a segmentation fault, an abort, an uncaught exception across its C
// interface) takes the whole media server process down with it, every camera and every other plugin
// included; no test here can observe more than that. The server restarts the process, the plugin
// finds its runtime and model cache on disk and starts again from the cloud check. Only external
// processors run in processes of their own: one that dies or hangs costs only its own answers
// (tests/external and tests/ipc cover those paths).
#include <gtest/gtest.h>

#include <vektest/temp_dir.h>
#include <vektest/wait.h>

#include <vekcloud/local_cloud.h>
#include <vekhost/pattern_source.h>
#include <vekhost/plugin_host.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "fake_machine.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vektest::TempDir;

constexpr const char* kSystemId = "fault-site";
constexpr const char* kToken = "fault-token";

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

using vektest::waitFor;

// The configuration is read once per process: one cloud on loopback, its site and the plugin's
// configuration file (with short time-outs) serve every test of this program. Log lines reach the
// file at once only from verbosity 2 on.
struct SharedCloud {
    TempDir site{"vek-fault-site"};
    TempDir config{"vek-fault-config"};
    TempDir runtimes{"vek-fault-runtimes"};
    std::unique_ptr<vekcloud::LocalCloud> cloud;
    std::string error;

    SharedCloud() {
        vekcloud::CloudOptions options;
        options.siteDirectory = site.path;
        options.runtimesDirectory = runtimes.path;
        options.systemId = kSystemId;
        options.token = kToken;
        cloud = std::make_unique<vekcloud::LocalCloud>(options);
        if (!cloud->start(error))
            return;
        writeFile(config.path / "vek_corvane_plugin.ini",
                  "CloudAPI=" + cloud->baseUrl() + "\nRuntimesStorageURL=" + cloud->runtimeStoreUrl() +
                      "\nlogVerbosityLevel=2\nHTTPRequestTimeout=1\nmodelDownloadSeconds=2\n"
                      "DeviceParametersRefreshTimeout=2\n");
        setenv("VEK_CONFIG_DIR", config.path.c_str(), 1);
    }
};

SharedCloud& shared() {
    static SharedCloud instance;
    return instance;
}

// One person in the left half of the 64x64 model input, in model pixels, as the reference runtime's
// script for every request.
std::string detectorScript(const std::string& extra = "") {
    return R"({)" + extra +
           R"("outputs":[{"name":"bboxes-format:xyxysc;0:person","type":1,"shape":[1,1,6],)"
           R"("values":[4,16,28,48,0.9,0]}]})";
}

// Each model's file has a name of its own, as the plugin's cache is named after the files.
std::string modelDescription(const std::string& model) {
    return R"({"Name":"Detector","Downloads":[{"RuntimeArchitecture":"application/x-onnx","File":")" + model +
           R"(.json"}],)"
           R"("InputDriverDetails":{"width":64,"height":64,"channels":3,"vars":[255.0,255.0,255.0],)"
           R"("means":[0.0,0.0,0.0],"order":0},)"
           R"("NamedInput":[{"DataType":"float32","Name":"images","Shape":[1,3,64,64]}],)"
           R"("NamedOutput":[{"DataType":"float32","Name":"bboxes-format:xyxysc;0:person","Shape":[1,1,6]}]})";
}

std::string deviceDefaults(const std::string& model, const std::string& extra = "") {
    return "{" + extra +
           R"("PluginEnabled":true,"deviceAdmin":"{cloud}/system/{systemId}/device/{deviceId}",)"
           R"("selectedPipeline":"detection","models":[")" +
           model + R"("],"pipelines":[{"modelUUID":")" + model +
           R"(","modelNMS":0.45,"resizingMethod":"Stretch","chains":[]}]})";
}

struct Camera {
    std::string id;
    std::string model;
    int index = -1;
};

class PluginFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(shared().error.empty()) << shared().error;
        // A machine whose one compatible runtime is the CPU runtime, whatever machine runs the test.
        machine.baseMachine();
        machine.libraries({"libgomp.so.1"});
        cloud().clearFaults();
        ASSERT_TRUE(cloud().setRefusingConnections(false));
        for (const auto& camera : cameras) {
            writeModel(camera.model, detectorScript());
            writeFile(shared().site.path / "defaults" / (camera.id + ".json"), deviceDefaults(camera.model));
            writeFile(shared().site.path / "pipelines" / (camera.id + ".json"),
                      "[" + deviceDefaults(camera.model, R"("uuid":"detection","name":"Detection",)") + "]");
        }
        if (!preinstalledRuntime)
            return;
        // A runtime already in place, as a previous run of the server would have left it.
        fs::create_directories(engineDir());
        fs::copy_file(VEK_REFERENCE_RUNTIME, engineDir() / "libRuntimeLibrary.so");
        writeFile(engineDir() / "installed_runtime.txt", "Generic CPU");
    }

    void TearDown() override {
        stopFeeding();
        if (host)
            host->release();
        cloud().clearFaults();
        cloud().setRefusingConnections(false);
    }

    static vekcloud::LocalCloud& cloud() { return *shared().cloud; }
    fs::path workDir() const { return data.path / "vek_corvane"; }
    fs::path engineDir() const { return workDir() / "inference_engine"; }
    // The start log, then the rotating log that takes over once the start log is full.
    std::string log() const {
        return readFile(workDir() / "vekai_plugin_start.log") + readFile(workDir() / "vekai_plugin.log");
    }
    // The end of the log, for failure messages.
    std::string logTail() const {
        const std::string text = log();
        return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
    }

    // The model's script on the site, newer than any copy the plugin has.
    void writeModel(const std::string& model, const std::string& script) {
        const fs::path folder = shared().site.path / "models" / model;
        writeFile(folder / "model.json", modelDescription(model));
        writeFile(folder / (model + ".json"), script);
        fs::last_write_time(folder / (model + ".json"), fs::file_time_type::clock::now() + 2s);
    }

    void startHost() {
        vekhost::HostConfig config;
        config.pluginPath = VEK_PLUGIN_PATH;
        config.provider.homeDir = home.path.string();
        config.provider.dataDir = data.path.string();
        config.provider.serverId = "6a1b2c3d-0000-4000-8000-0000000000fa";
        config.provider.cloudSystemId = kSystemId;
        config.provider.cloudToken = kToken;
        auto loaded = vekhost::PluginHost::load(config);
        ASSERT_TRUE(loaded) << loaded.error();
        host = std::move(loaded.value());
        ASSERT_TRUE(host->obtainEngine());
        auto created = vekhost::MetadataRecorder::create(std::nullopt);
        ASSERT_TRUE(created) << created.error();
        recorder = created.value();
        for (auto& camera : cameras) {
            auto added = host->addCamera({camera.id, "Camera " + camera.model}, recorder);
            ASSERT_TRUE(added) << added.error();
            camera.index = added.value();
        }
        startFeeding();
    }

    std::string page(const Camera& camera) const {
        auto shown = host->deviceSettings(camera.index);
        return shown ? shown->model : std::string();
    }

    bool pageShows(const Camera& camera, const std::string& text, std::chrono::milliseconds limit) const {
        return waitFor(limit, [&] { return page(camera).find(text) != std::string::npos; });
    }

    // The camera's pipeline has arrived and the user switched the camera on.
    void activate(const Camera& camera) {
        ASSERT_TRUE(pageShows(camera, "deviceActiveSwitch", 20s)) << page(camera);
        auto applied = host->applyDeviceSettings(camera.index, {{"deviceActiveSwitch", "true"}});
        ASSERT_TRUE(applied) << applied.error();
    }

    int64_t objects(const Camera& camera) const { return recorder->statistics(camera.index).objects; }

    // The camera receives new objects within the limit.
    bool detects(const Camera& camera, std::chrono::milliseconds limit = 15s) const {
        const int64_t before = objects(camera);
        return waitFor(limit, [&] { return objects(camera) > before; });
    }

    // No new objects for a while, although frames keep coming.
    bool staysBlind(const Camera& camera, std::chrono::milliseconds span = 1500ms) const {
        const int64_t before = objects(camera);
        std::this_thread::sleep_for(span);
        return objects(camera) == before;
    }

    std::string linesWith(const std::string& text) const {
        std::istringstream lines(log());
        std::string found;
        for (std::string line; std::getline(lines, line);)
            if (line.find(text) != std::string::npos && line.find("Settings Model") == std::string::npos)
                found += line.substr(0, 300) + "\n";
        return found;
    }

    size_t countOf(const std::string& text) const {
        const std::string all = log();
        size_t count = 0;
        for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++count;
        return count;
    }

    bool logShows(const std::string& text, std::chrono::milliseconds limit = 10s) const {
        return waitFor(limit, [&] { return log().find(text) != std::string::npos; });
    }

    // Frames to every camera, ten a second, from the host's own thread, as a media server pushes them.
    void startFeeding() {
        feeder = std::jthread([this](std::stop_token stop) {
            vekhost::PatternSource source(160, 120);
            while (!stop.stop_requested()) {
                for (const auto& camera : cameras) {
                    auto next = source.next();
                    if (next.state != vekhost::NextFrame::State::frame)
                        continue;
                    next.frame.frame->setTimestampUs(vekhost::wallClockUs());
                    if (!host->pushFrame(camera.index, *next.frame.frame))
                        pushFailures.fetch_add(1);
                }
                std::this_thread::sleep_for(100ms);
            }
        });
    }

    void stopFeeding() {
        if (feeder.joinable()) {
            feeder.request_stop();
            feeder.join();
        }
    }

    // Every camera is switched on and detecting.
    void expectAllDetecting() {
        for (const auto& camera : cameras)
            activate(camera);
        for (const auto& camera : cameras)
            EXPECT_TRUE(detects(camera)) << camera.model << "\n" << logTail();
    }

    acceltest::FakeMachine machine;
    bool preinstalledRuntime = true;
    TempDir home{"vek-fault-home"};
    TempDir data{"vek-fault-data"};
    std::vector<Camera> cameras{{"0123abcd-4567-89ef-0a1b-2c3d4e5f00a1", "det-a"},
                                {"0123abcd-4567-89ef-0a1b-2c3d4e5f00b2", "det-b"},
                                {"0123abcd-4567-89ef-0a1b-2c3d4e5f00c3", "det-c"}};
    std::unique_ptr<vekhost::PluginHost> host;
    std::shared_ptr<vekhost::MetadataRecorder> recorder;
    std::jthread feeder;
    std::atomic<int> pushFailures{0};
};

// Faults of the whole cloud while the server starts: until the cloud answers properly the plugin
// waits in its early passes (cameras get no pipeline, frames are still accepted) and says so in the
// log; once it answers, every camera is configured and detects.
struct CloudFault {
    const char* name;
    std::function<void(vekcloud::LocalCloud&)> inject;
    const char* logLine;
};

class CloudFaults : public PluginFaults, public ::testing::WithParamInterface<CloudFault> {};

TEST_P(CloudFaults, CamerasWaitWithoutPipelinesAndAreConfiguredOnceTheCloudAnswers) {
    GetParam().inject(cloud());
    startHost();
    // Opening a settings page asks the cloud for the camera's pipelines.
    for (const auto& camera : cameras)
        page(camera);
    ASSERT_TRUE(logShows(GetParam().logLine)) << logTail();
    std::this_thread::sleep_for(1500ms);
    for (const auto& camera : cameras) {
        EXPECT_EQ(page(camera).find("deviceActiveSwitch"), std::string::npos) << page(camera);
        EXPECT_EQ(host->restApi().parametersOf(camera.id).find("\"pipelines\""), std::string::npos);
    }

    cloud().clearFaults();
    ASSERT_TRUE(cloud().setRefusingConnections(false));
    expectAllDetecting();
    EXPECT_EQ(pushFailures.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cloud, CloudFaults,
    ::testing::Values(
        CloudFault{"Down", [](vekcloud::LocalCloud& cloud) { cloud.setRefusingConnections(true); },
                   "Couldn't get a response from endpoint:"},
        CloudFault{"ServerErrors",
                   [](vekcloud::LocalCloud& cloud) { cloud.setFault("/", vekcloud::Fault{.status = 503}); },
                   "Failed to configure devices! Endpoint:"},
        CloudFault{"MalformedAnswers",
                   [](vekcloud::LocalCloud& cloud) {
                       cloud.setFault("/", vekcloud::Fault{.body = std::string(R"({"Devices":{"x":[)")});
                   },
                   "failed to fetch pipelines."},
        CloudFault{"SlowerThanTheTimeout",
                   [](vekcloud::LocalCloud& cloud) { cloud.setFault("/", vekcloud::Fault{.delay = 2500ms}); },
                   "Couldn't get a response from endpoint:"}),
    [](const auto& info) { return std::string(info.param.name); });

// A model download that fails (cut mid-body, stalled longer than the download time-out, refused by
// the storage) fails only that camera's model: the others detect, the camera's page names the
// failure, and the retry button brings the model once the cloud sends it whole.
struct DownloadFault {
    const char* name;
    vekcloud::Fault fault;
    const char* error;
};

class ModelDownloadFaults : public PluginFaults, public ::testing::WithParamInterface<DownloadFault> {};

TEST_P(ModelDownloadFaults, FailOnlyTheirCameraUntilRetried) {
    cloud().setFault("/storage/models/det-b/", GetParam().fault);
    startHost();
    for (const auto& camera : cameras)
        activate(camera);
    EXPECT_TRUE(detects(cameras[0])) << logTail();
    EXPECT_TRUE(detects(cameras[2])) << logTail();
    EXPECT_TRUE(pageShows(cameras[1], GetParam().error, 15s)) << linesWith("det-b");
    EXPECT_TRUE(staysBlind(cameras[1]));

    cloud().clearFaults();
    auto pressed = host->pressDeviceButton(cameras[1].index, "modelDownloadRetryButton");
    ASSERT_TRUE(pressed) << pressed.error();
    EXPECT_TRUE(detects(cameras[1])) << logTail();
    EXPECT_TRUE(detects(cameras[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Downloads, ModelDownloadFaults,
    ::testing::Values(DownloadFault{"CutMidBody", vekcloud::Fault{.truncateAfter = 20},
                                    "Connection was interrupted before the download completed."},
                      DownloadFault{"Stalled", vekcloud::Fault{.chunkDelay = 3500ms},
                                    "Connection was interrupted before the download completed."},
                      DownloadFault{"Refused", vekcloud::Fault{.status = 503}, "Code: 503"}),
    [](const auto& info) { return std::string(info.param.name); });

// A model whose bytes are corrupted on the way cannot be decrypted: it is marked failed on its
// camera's page, the other cameras detect.
TEST_F(PluginFaults, CorruptedModelFailsOnlyItsCamera) {
    cloud().setFault("/storage/models/det-c/", vekcloud::Fault{.corruptAt = 40});
    startHost();
    activate(cameras[0]);
    activate(cameras[1]);
    EXPECT_TRUE(detects(cameras[0])) << logTail();
    EXPECT_TRUE(detects(cameras[1])) << logTail();
    EXPECT_TRUE(pageShows(cameras[2], "Could not decrypt model file", 10s)) << page(cameras[2]);
    EXPECT_TRUE(logShows("Tag verification failed")) << logTail();

    // A new version of the model on the cloud, sent whole, replaces the broken copy once the user
    // resets the camera to the cloud's configuration.
    cloud().clearFaults();
    writeModel("det-c", detectorScript());
    auto pressed = host->pressDeviceButton(cameras[2].index, "resetSingleDeviceButton");
    ASSERT_TRUE(pressed) << pressed.error();
    activate(cameras[2]);
    EXPECT_TRUE(detects(cameras[2])) << logTail();
}

// The runtime's own failures stop inference for every camera (one runtime serves them all); the
// user is told on every camera's page, and a new model version from the cloud starts it again.
// Restarting a failed runtime needs a changed model set: the plugin does not retry a runtime whose
// start failed with the same models on every pass.
struct RuntimeFault {
    const char* name;
    // Written into the runtime's arguments file; empty for none.
    const char* runtimeArgs;
    // Extra members of camera b's model script.
    const char* scriptFault;
    const char* notice;
};

class RuntimeFaults : public PluginFaults, public ::testing::WithParamInterface<RuntimeFault> {};

TEST_P(RuntimeFaults, EveryCameraShowsTheNoticeAndInferenceComesBackWithTheFix) {
    const RuntimeFault& fault = GetParam();
    if (*fault.runtimeArgs != '\0')
        writeFile(engineDir() / "runtime_args.json", fault.runtimeArgs);
    if (*fault.scriptFault != '\0')
        writeModel("det-b", detectorScript(fault.scriptFault));
    startHost();
    for (const auto& camera : cameras)
        activate(camera);
    for (const auto& camera : cameras)
        EXPECT_TRUE(pageShows(camera, fault.notice, 15s)) << page(camera) << "\n" << logTail();
    for (const auto& camera : cameras)
        EXPECT_TRUE(staysBlind(camera, 500ms)) << camera.model;
    EXPECT_EQ(pushFailures.load(), 0) << "frames are still accepted";

    // The fix: the runtime's arguments corrected and a new version of a model on the cloud, which the
    // recovery button the warning shows brings in; the changed model restarts the runtime.
    fs::remove(engineDir() / "runtime_args.json");
    writeModel("det-b", detectorScript());
    auto pressed = host->pressDeviceButton(cameras[1].index, "resetAllDevicesButton");
    ASSERT_TRUE(pressed) << pressed.error();
    for (const auto& camera : cameras)
        EXPECT_TRUE(detects(camera)) << camera.model << "\n" << logTail();
    for (const auto& camera : cameras)
        EXPECT_TRUE(waitFor(5s, [&] { return page(camera).find(fault.notice) == std::string::npos; }))
            << page(camera);
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, RuntimeFaults,
    ::testing::Values(RuntimeFault{"FailsToInitialise", R"({"fail_init":"no accelerator found"})", "",
                                   "Failed to initialize the AI runtime: no accelerator found"},
                      RuntimeFault{"FailsToLoadAModel", "", R"("fail_load":"unsupported operator",)",
                                   "The AI runtime failed to load the assigned models: unsupported operator"},
                      RuntimeFault{"FailsToDeliverResults", R"({"retrieve_error_after":"2"})", "",
                                   "The AI runtime stopped delivering results"}),
    [](const auto& info) { return std::string(info.param.name); });

// The media server's own REST API failing or hanging (longer than the plugin's time-out) while the
// cameras run: inference goes on with what is loaded, the log says the device list could not be
// read, and once the server answers again a change of a device is picked up.
struct ServerFault {
    const char* name;
    vekhost::RestFault fault;
};

class ServerFaults : public PluginFaults, public ::testing::WithParamInterface<ServerFault> {};

TEST_P(ServerFaults, CamerasKeepDetectingAndChangesArePickedUpOnceTheServerAnswers) {
    startHost();
    expectAllDetecting();
    const auto changesBefore = countOf("Detected change in devices parameters.");
    host->restApi().setFault(GetParam().fault);
    EXPECT_TRUE(logShows("Warning! Could not get devices parameters to test for changes.")) << logTail();
    EXPECT_EQ(countOf("Detected change in devices parameters."), changesBefore)
        << "a failed request is no new device list";
    for (const auto& camera : cameras)
        EXPECT_TRUE(detects(camera)) << camera.model;

    host->restApi().setFault(std::nullopt);
    writeModel("det-a", detectorScript());
    auto pressed = host->pressDeviceButton(cameras[0].index, "resetSingleDeviceButton");
    ASSERT_TRUE(pressed) << pressed.error();
    EXPECT_TRUE(waitFor(15s, [&] {
        return countOf("Detected change in devices parameters.") > changesBefore;
    })) << logTail();
    for (const auto& camera : cameras)
        EXPECT_TRUE(detects(camera)) << camera.model << "\n" << logTail();
    EXPECT_EQ(pushFailures.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Server, ServerFaults,
                         ::testing::Values(ServerFault{"Errors", vekhost::RestFault{.status = 500}},
                                           ServerFault{"Hangs", vekhost::RestFault{.delay = 2500ms}}),
                         [](const auto& info) { return std::string(info.param.name); });

// The runtime package from the cloud's store arriving corrupted or cut short on a machine with one
// compatible runtime: no camera can detect, the user is told on every page (a package whose
// checksum does not match) or in the log (a download that fails), and the Reselect Runtime button
// installs it once the store sends it whole.
struct PackageFault {
    const char* name;
    vekcloud::Fault fault;
    // Expected on every camera's page; empty when only the log tells.
    const char* notice;
    const char* logLine;
};

class RuntimePackageFaults : public PluginFaults, public ::testing::WithParamInterface<PackageFault> {
protected:
    RuntimePackageFaults() { preinstalledRuntime = false; }

    void SetUp() override {
        PluginFaults::SetUp();
        const fs::path store = shared().runtimes.path / "CPU/x86_64/Ubuntu";
        fs::create_directories(store);
        TempDir staging("vek-fault-package");
        fs::copy_file(VEK_REFERENCE_RUNTIME, staging.path / "libRuntimeLibrary.so");
        const std::string command = "tar -czf '" + (store / "library.tar.gz").string() + "' -C '" +
                                    staging.path.string() + "' libRuntimeLibrary.so";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
};

TEST_P(RuntimePackageFaults, NoCameraDetectsUntilTheRuntimeIsReselected) {
    cloud().setFault(std::string(vekcloud::LocalCloud::kRuntimeStorePath), GetParam().fault);
    startHost();
    EXPECT_TRUE(logShows(GetParam().logLine, 20s)) << logTail();
    if (*GetParam().notice != '\0') {
        for (const auto& camera : cameras)
            EXPECT_TRUE(pageShows(camera, GetParam().notice, 10s)) << page(camera);
    }
    EXPECT_FALSE(fs::exists(engineDir() / "libRuntimeLibrary.so"));
    for (const auto& camera : cameras)
        EXPECT_TRUE(staysBlind(camera, 500ms));

    cloud().clearFaults();
    auto pressed = host->pressDeviceButton(cameras[0].index, "reselectRuntimeButton");
    ASSERT_TRUE(pressed) << pressed.error();
    EXPECT_TRUE(waitFor(20s, [&] { return fs::exists(engineDir() / "libRuntimeLibrary.so"); })) << logTail();
    expectAllDetecting();
    if (*GetParam().notice != '\0') {
        EXPECT_EQ(page(cameras[1]).find(GetParam().notice), std::string::npos) << page(cameras[1]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, RuntimePackageFaults,
    ::testing::Values(
        PackageFault{"Corrupted", vekcloud::Fault{.corruptAt = 100},
                     "The downloaded runtime package appears to be corrupted (checksum mismatch). Please "
                     "check your Internet connection and try again.",
                     "ERROR: Runtime package checksum mismatch for Generic CPU."},
        PackageFault{"CutMidBody", vekcloud::Fault{.truncateAfter = 1000}, "",
                     "ERROR: Failed to download the runtime package."}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
