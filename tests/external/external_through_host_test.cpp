// External processors through the whole product: the plugin loaded in the reference host, each
// camera's pipeline from the local cloud naming its processors, the reference runtime, the sample
// processors and a misbehaving stand-in, and what the host receives.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vektest/temp_dir.h>

#include <vekcloud/local_cloud.h>
#include <vekhost/plugin_host.h>
#include <vekhost/video_frame.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../ipc/ipc_test_support.h"
#include "fake_machine.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vektest::TempDir;

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// A port nobody listens on at the moment of asking.
uint16_t freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool listening(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// Processes of this user running one of these programs.
std::vector<std::string> runningPrograms(const std::set<std::string>& programs) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code error;
        const fs::path exe = fs::read_symlink(entry.path() / "exe", error);
        if (!error && programs.count(exe.string()) != 0)
            found.push_back(entry.path().filename().string() + " " + exe.string());
    }
    return found;
}

// The probe model echoes its 2 x 2 planar input as scores, one class per value named by channel and
// pixel (row, column), so the category event names the brightest value: of a uniform frame the
// top-left pixel, and once that pixel is blacked out, the one to its right.
std::string probeOutputName() {
    std::string name = "scores-";
    int index = 0;
    for (const char* channel : {"R", "G", "B"}) {
        for (const char* pixel : {"00", "01", "10", "11"}) {
            name += (index == 0 ? "" : ";") + std::to_string(index) + ":" + channel + pixel;
            ++index;
        }
    }
    return name;
}

constexpr const char* kBoxesOutput = "bboxes-format:xyxysc;0:person";

void writeModels(const fs::path& site) {
    const std::string probeOutput = probeOutputName();
    writeText(site / "models/probe/model.json",
              R"({"Name": "Probe", "UpdatedAt": "2025-01-01T00:00:00",
                  "Downloads": [{"RuntimeArchitecture": "application/x-onnx", "File": "probe.json"}],
                  "InputDriverDetails": {"width": 2, "height": 2, "channels": 3,
                                         "vars": [255, 255, 255], "means": [0, 0, 0], "order": 0},
                  "NamedInput": [{"DataType": "float32", "Name": "images", "Shape": [1, 3, 2, 2]}],
                  "NamedOutput": [{"DataType": "float32", "Name": ")" +
                  probeOutput + R"(", "Shape": [1, 3, 2, 2]}]})");
    writeText(site / "models/probe/probe.json",
              R"({"outputs": [{"name": ")" + probeOutput + R"(", "echo": "images"}]})");
    // One person in the left half of the frame, in model pixels, with the score 0.9.
    writeText(site / "models/boxes/model.json",
              R"({"Name": "Boxes", "UpdatedAt": "2025-01-01T00:00:00",
                  "Downloads": [{"RuntimeArchitecture": "application/x-onnx", "File": "boxes.json"}],
                  "InputDriverDetails": {"width": 64, "height": 64, "channels": 3,
                                         "vars": [255, 255, 255], "means": [0, 0, 0], "order": 0},
                  "NamedInput": [{"DataType": "float32", "Name": "images", "Shape": [1, 3, 64, 64]}],
                  "NamedOutput": [{"DataType": "float32", "Name": ")" +
                  std::string(kBoxesOutput) + R"(", "Shape": [1, 1, 6]}]})");
    writeText(site / "models/boxes/boxes.json",
              R"({"outputs": [{"name": ")" + std::string(kBoxesOutput) +
                  R"(", "type": 1, "shape": [1, 1, 6], "values": [4, 16, 28, 48, 0.9, 0]}]})");
}

struct CameraPlan {
    std::string id;
    std::string model;
    std::string preprocessor;   // pipeline node's "Preprocessor", or empty
    std::string postprocessor;  // pipeline node's "Postprocessor", or empty
};

// The camera's pipeline, offered by the cloud and set by its reset.
void writeCamera(const fs::path& site, const CameraPlan& camera) {
    std::string node = R"({"modelUUID": ")" + camera.model +
                       R"(", "modelNMS": 0.45, "resizingMethod": "Stretch", "chains": [])";
    if (!camera.preprocessor.empty())
        node += R"(, "Preprocessor": ")" + camera.preprocessor + "\"";
    if (!camera.postprocessor.empty())
        node += R"(, "Postprocessor": ")" + camera.postprocessor + "\"";
    node += "}";
    const std::string pipeline = "pipeline-" + camera.id;
    writeText(site / "pipelines" / (camera.id + ".json"),
              R"([{"uuid": ")" + pipeline + R"(", "name": "With processors", "models": [")" + camera.model +
                  R"("], "pipelines": [)" + node + "]}]");
    writeText(site / "defaults" / (camera.id + ".json"),
              R"({"PluginEnabled": true, "deviceAdmin": "{cloud}/system/{systemId}/device/{deviceId}",
                  "selectedPipeline": ")" +
                  pipeline + R"(", "models": [")" + camera.model + R"("], "pipelines": [)" + node + "]}");
}

// What the packet log holds for one camera.
struct CameraPackets {
    int objectPackets = 0;
    std::vector<float> confidences;
    std::vector<float> boxWidths;
    std::map<std::string, std::set<std::string>> attributes;  // name -> values seen
    std::vector<std::string> categories;                      // category event descriptions, in order
    std::set<std::string> eventTypes;
    std::set<std::string> bestShotTracks;
    std::set<std::string> objectTracks;
};

std::map<std::string, CameraPackets> readPackets(const fs::path& path) {
    std::map<std::string, CameraPackets> cameras;
    std::istringstream lines(readText(path));
    std::string line;
    while (std::getline(lines, line)) {
        rapidjson::Document packet;
        if (packet.Parse(line.c_str()).HasParseError() || !packet.IsObject() || !packet.HasMember("camera"))
            continue;
        CameraPackets& camera = cameras[packet["camera"].GetString()];
        const std::string type = packet["type"].GetString();
        if (type == "bestShot") {
            camera.bestShotTracks.insert(packet["trackId"].GetString());
        } else if (type == "objects") {
            ++camera.objectPackets;
            for (const auto& object : packet["objects"].GetArray()) {
                camera.confidences.push_back(object["confidence"].GetFloat());
                camera.boxWidths.push_back(object["box"]["w"].GetFloat());
                camera.objectTracks.insert(object["trackId"].GetString());
                for (const auto& attribute : object["attributes"].GetArray())
                    camera.attributes[attribute["name"].GetString()].insert(attribute["value"].GetString());
            }
        } else if (type == "events") {
            for (const auto& event : packet["events"].GetArray()) {
                const std::string eventType = event["typeId"].GetString();
                camera.eventTypes.insert(eventType);
                if (eventType == "vek.vekai.category")
                    camera.categories.push_back(event["description"].GetString());
            }
        }
    }
    return cameras;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The plugin's configuration is read once per process, so this program holds this one scenario.
TEST(ExternalProcessorsThroughTheHost, EachProcessorChangesItsCamerasPacketsAndFaultsStayWithTheirOwn) {
    // A plain x86_64 machine, whose only runtime is the CPU one.
    acceltest::FakeMachine machine;
    machine.baseMachine();
    TempDir site("vek-ext-site");
    TempDir config("vek-ext-config");
    TempDir home("vek-ext-home");
    TempDir data("vek-ext-data");
    TempDir runtimes("vek-ext-runtimes");
    const fs::path workDir = data.path / "vek_corvane";

    // The tensor postprocessor listens on a port of its own, started by the user.
    const uint16_t scalerPort = freePort();
    ipc_test::ChildProgram scaler(
        SAMPLE_SCORE_SCALER, {"--tcp", std::to_string(scalerPort), "--Tensor", "bboxes", "--Factor", "0.5"});
    ASSERT_TRUE(ipc_test::waitUntil([&] { return listening(scalerPort); }, 10s));

    writeText(workDir / "preprocessors/external_preprocessors.json",
              R"([{"Name": "mask", "Command": ")" SAMPLE_MASK_PREPROCESSOR R"(", "TimeoutMs": 3000},
                  {"Name": "late", "Command": ")" EXTERNAL_TEST_PROCESSOR R"(", "TimeoutMs": 150},
                  {"Name": "wrongkey", "Command": ")" EXTERNAL_TEST_PROCESSOR R"(", "TimeoutMs": 150},
                  {"Name": "dies", "Command": ")" EXTERNAL_TEST_PROCESSOR R"(", "TimeoutMs": 150}])");
    writeText(workDir / "postprocessors/external_postprocessors.json",
              R"([{"Name": "sides", "Command": ")" SAMPLE_OBJECT_TAGGER R"(", "TimeoutMs": 3000,
                   "Config": {"BestShotConfidence": "0.8"},
                   "Events": [{"ID": "sample.tagger.sides", "Name": "Objects by side"}]},
                  {"Name": "scaler", "Port": )" +
                  std::to_string(scalerPort) + R"(, "Schedule": "TENSOR", "TimeoutMs": 3000},
                  {"Name": "tagger", "Command": ")" EXTERNAL_TEST_PROCESSOR R"(", "TimeoutMs": 3000}])");

    const std::vector<CameraPlan> plans = {
        {"0e000000-0000-4000-8000-000000000001", "probe", "", ""},
        {"0e000000-0000-4000-8000-000000000002", "probe", "mask", ""},
        {"0e000000-0000-4000-8000-000000000003", "boxes", "", "sides"},
        {"0e000000-0000-4000-8000-000000000004", "boxes", "", "scaler"},
        {"0e000000-0000-4000-8000-000000000005", "boxes", "late", "tagger"},
        {"0e000000-0000-4000-8000-000000000006", "boxes", "wrongkey", ""},
        {"0e000000-0000-4000-8000-000000000007", "boxes", "dies", ""},
    };
    const std::string& plain = plans[0].id;
    const std::string& masked = plans[1].id;
    const std::string& sides = plans[2].id;
    const std::string& scaled = plans[3].id;
    const std::string& lateThenTagged = plans[4].id;
    const std::string& wrongKey = plans[5].id;
    const std::string& dying = plans[6].id;
    writeModels(site.path);
    writeText(site.path / "pipelines/default.json", "[]");
    for (const CameraPlan& plan : plans)
        writeCamera(site.path, plan);

    vekcloud::CloudOptions options;
    options.siteDirectory = site.path;
    options.runtimesDirectory = runtimes.path;
    options.systemId = "ext-site";
    options.token = "ext-token";
    vekcloud::LocalCloud cloud(options);
    std::string error;
    ASSERT_TRUE(cloud.start(error)) << error;
    // Seven cameras, some of them waiting on slow programs: more workers than by default.
    writeText(config.path / "vek_corvane_plugin.ini",
              "CloudAPI=" + cloud.baseUrl() + "\nRuntimesStorageURL=" + cloud.runtimeStoreUrl() +
                  "\nlogVerbosityLevel=2\nMaxNumberConcurrentInputOutputThreads=32\n");
    ASSERT_EQ(setenv("VEK_CONFIG_DIR", config.path.c_str(), 1), 0);

    // The reference runtime in place, as a previous run would have left it.
    fs::create_directories(workDir / "inference_engine");
    fs::copy_file(VEK_REFERENCE_RUNTIME, workDir / "inference_engine" / "libRuntimeLibrary.so");
    writeText(workDir / "inference_engine" / "installed_runtime.txt", "Generic CPU");

    vekhost::HostConfig hostConfig;
    hostConfig.pluginPath = VEK_PLUGIN_PATH;
    hostConfig.provider.homeDir = home.path.string();
    hostConfig.provider.dataDir = data.path.string();
    hostConfig.provider.serverId = "6a1b2c3d-0000-4000-8000-00000000e0e0";
    hostConfig.provider.cloudSystemId = "ext-site";
    hostConfig.provider.cloudToken = "ext-token";
    auto loaded = vekhost::PluginHost::load(hostConfig);
    ASSERT_TRUE(loaded) << loaded.error();
    auto& host = *loaded.value();
    ASSERT_TRUE(host.obtainEngine());
    const fs::path packetLog = data.path / "metadata.jsonl";
    auto recorder = vekhost::MetadataRecorder::create(packetLog);
    ASSERT_TRUE(recorder) << recorder.error();
    std::vector<int> cameras;
    for (const CameraPlan& plan : plans) {
        auto camera = host.addCamera({plan.id, "Camera " + plan.id.substr(plan.id.size() - 1)}, *recorder);
        ASSERT_TRUE(camera) << camera.error();
        cameras.push_back(*camera);
    }
    const auto pluginLog = [&] {
        return readText(workDir / "vekai_plugin_start.log") + readText(workDir / "vekai_plugin.log");
    };
    const auto logTail = [&] {
        const std::string log = pluginLog();
        return log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    };

    // The active switch appears once the cloud's pipeline has reached the camera.
    for (int camera : cameras) {
        ASSERT_TRUE(ipc_test::waitUntil(
            [&] {
                auto page = host.deviceSettings(camera);
                return page && page->model.find("deviceActiveSwitch") != std::string::npos;
            },
            60s))
            << "camera " << camera << "\n"
            << logTail();
        auto applied = host.applyDeviceSettings(camera, {{"deviceActiveSwitch", "true"}});
        ASSERT_TRUE(applied) << applied.error();
    }

    // Grey frames to every camera, until each shows its processor's work.
    const auto pushFrames = [&] {
        for (int camera : cameras) {
            vekhost::VideoFrame frame(64, 64);
            for (int plane = 0; plane < 3; ++plane)
                std::memset(frame.mutableData(plane), 128,
                            size_t(frame.plane(plane).lineSize) * size_t(frame.plane(plane).height));
            frame.setTimestampUs(vekhost::wallClockUs());
            EXPECT_TRUE(host.pushFrame(camera, frame));
        }
    };
    const auto feedUntil = [&](std::chrono::seconds limit, const auto& done) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
            pushFrames();
            std::this_thread::sleep_for(150ms);
            if (round % 8 == 7 && done(readPackets(packetLog)))
                return true;
        }
        return done(readPackets(packetLog));
    };
    const auto everyCameraShowsItsWork = [&](std::map<std::string, CameraPackets> packets) {
        return !packets[plain].categories.empty() && !packets[masked].categories.empty() &&
               packets[sides].attributes.count("Side") != 0 && !packets[sides].bestShotTracks.empty() &&
               !packets[scaled].confidences.empty() && packets[lateThenTagged].attributes.count("tag") != 0 &&
               packets[wrongKey].objectPackets > 0 && packets[dying].objectPackets > 0;
    };
    EXPECT_TRUE(feedUntil(90s, everyCameraShowsItsWork)) << "some camera never showed its processor's work";

    // The dead program is noticed; its camera goes on without it, as fast as the others.
    ASSERT_TRUE(ipc_test::waitUntil(
        [&] {
            const std::string log = pluginLog();
            return log.find("External process exited normally with code") != std::string::npos ||
                   log.find("External process crashed") != std::string::npos;
        },
        10s))
        << logTail();
    // Requests already on their way when it died may still time out.
    feedUntil(1s, [](const auto&) { return false; });
    const size_t dyingMentions = occurrences(pluginLog(), "preprocessor: dies\n");
    const int dyingBefore = readPackets(packetLog)[dying].objectPackets;
    const int sidesBefore = readPackets(packetLog)[sides].objectPackets;
    feedUntil(30s, [&](std::map<std::string, CameraPackets> packets) {
        return packets[dying].objectPackets >= dyingBefore + 5 &&
               packets[sides].objectPackets >= sidesBefore + 5;
    });

    const std::string runningLog = pluginLog();
    host.release();

    std::map<std::string, CameraPackets> packets = readPackets(packetLog);
    // Image preprocessor: the model saw the frame with its top-left quarter blacked out (the first
    // frames may pass before the program is ready).
    ASSERT_FALSE(packets[plain].categories.empty());
    for (const std::string& winner : packets[plain].categories)
        EXPECT_NE(winner.find("00\n"), std::string::npos) << winner;
    ASSERT_FALSE(packets[masked].categories.empty());
    const std::string maskedWinner = packets[masked].categories.back();
    EXPECT_NE(maskedWinner.find("01\n"), std::string::npos) << maskedWinner;
    EXPECT_EQ(maskedWinner.substr(0, 2), packets[plain].categories.back().substr(0, 2)) << "the same channel";

    // Objects postprocessor: its attribute on every object, its best shots and its event.
    EXPECT_EQ(packets[sides].attributes["Side"], std::set<std::string>{"left"});
    EXPECT_TRUE(packets[sides].eventTypes.count("sample.tagger.sides"));
    for (const std::string& track : packets[sides].bestShotTracks)
        EXPECT_TRUE(packets[sides].objectTracks.count(track)) << "a best shot of a reported track";
    for (float confidence : packets[sides].confidences)
        EXPECT_NEAR(confidence, 0.9f, 1e-5f);
    for (float width : packets[sides].boxWidths)
        EXPECT_NEAR(width, 24.0f / 64.0f, 1e-4f);

    // Tensor postprocessor over TCP: the box output was halved, score and box alike.
    ASSERT_FALSE(packets[scaled].confidences.empty());
    for (float confidence : packets[scaled].confidences)
        EXPECT_NEAR(confidence, 0.45f, 1e-5f);
    for (float width : packets[scaled].boxWidths)
        EXPECT_NEAR(width, 12.0f / 64.0f, 1e-4f);
    EXPECT_TRUE(packets[scaled].attributes.empty());

    // A late preprocessor costs only its own answers: the same node's objects postprocessor still
    // answers; a wrong correlation key and a dead program lose only theirs, and log.
    EXPECT_EQ(packets[lateThenTagged].attributes["tag"], std::set<std::string>{"seen"});
    EXPECT_GT(packets[wrongKey].objectPackets, 0);
    EXPECT_GE(packets[dying].objectPackets, dyingBefore + 5);
    for (const char* line : {"Warning! Timed out waiting for response from preprocessor: late\n",
                             "Warning! Timed out waiting for response from preprocessor: wrongkey\n"})
        EXPECT_NE(runningLog.find(line), std::string::npos) << line;
    EXPECT_EQ(occurrences(runningLog, "preprocessor: dies\n"), dyingMentions) << "skipped once it is gone";

    // Shutdown asks every started program to exit, and none is left.
    const std::string finalLog = pluginLog();
    EXPECT_GE(occurrences(finalLog, "Sending graceful exit signal to external process.\n"), 5u);
    EXPECT_EQ(finalLog.find("did not exit gracefully"), std::string::npos);
    const std::set<std::string> started = {fs::canonical(SAMPLE_MASK_PREPROCESSOR).string(),
                                           fs::canonical(SAMPLE_OBJECT_TAGGER).string(),
                                           fs::canonical(EXTERNAL_TEST_PROCESSOR).string()};
    EXPECT_TRUE(ipc_test::waitUntil([&] { return runningPrograms(started).empty(); }, 10s))
        << runningPrograms(started).front();
}

}  // namespace
