#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <vektest/files.h>
#include <vektest/temp_dir.h>

#include <vekcloud/local_cloud.h>
#include <vekhost/plugin_host.h>
#include <vekhost/video_frame.h>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vektest::TempDir;
using vektest::writeText;

// The sample models echo their input: a 12 x 1 gray image whose pixels, divided by 255, are two
// detection rows (x1, y1, x2, y2, score, class). A frame of twelve vertical stripes therefore says
// exactly which boxes the model finds in it.
constexpr int kFrameWidth = 120;
constexpr int kFrameHeight = 8;
constexpr int kStripes = 12;

struct Box {
    float x1, y1, x2, y2;
    int classIndex;
};

// The plugin keeps downloaded model files by file name, so each model's file has its own.
void writeEchoModel(const fs::path& site, const std::string& id, const std::string& classes) {
    const std::string output = "bboxes-format:xyxysc;" + classes;
    const std::string file = id + ".json";
    writeText(site / "models" / id / "model.json", R"({"Name": ")" + id +
                                                       R"(", "UpdatedAt": "2025-01-01T00:00:00",
                  "Downloads": [{"RuntimeArchitecture": "application/x-onnx", "File": ")" +
                                                       file + R"("}],
                  "InputDriverDetails": {"width": 12, "height": 1, "channels": 1,
                                         "vars": [255.0, 255.0, 255.0], "means": [0.0, 0.0, 0.0], "order": 0},
                  "NamedInput": [{"DataType": "float32", "Name": "images", "Shape": [1, 1, 1, 12]}],
                  "NamedOutput": [{"DataType": "float32", "Name": ")" +
                                                       output + R"(", "Shape": [2, 6]}]})");
    writeText(site / "models" / id / file,
              R"({"outputs": [{"name": ")" + output + R"(", "echo": "images"}]})");
}

std::string pipelineNodes(const std::string& model, const std::string& postprocessor = "") {
    return R"("models": [")" + model + R"("], "pipelines": [{"modelUUID": ")" + model +
           R"(", "modelNMS": 0.45, "resizingMethod": "Stretch", )" +
           (postprocessor.empty() ? "" : R"("Postprocessor": ")" + postprocessor + R"(", )") +
           R"("chains": []}])";
}

void writeSite(const fs::path& site) {
    writeEchoModel(site, "street-detector", "0:person;1:car");
    writeEchoModel(site, "farm-detector", "0:dog;1:horse");
    writeText(site / "pipelines" / "default.json",
              R"([{"uuid": "street", "name": "Street", )" + pipelineNodes("street-detector") +
                  R"(}, {"uuid": "farm", "name": "Farm", )" + pipelineNodes("farm-detector") +
                  R"(}, {"uuid": "lot", "name": "Parking lot", )" +
                  pipelineNodes("street-detector", "Illegal Dumping") + "}]");
    writeText(site / "defaults" / "default.json",
              R"({"PluginEnabled": true, "deviceAdmin": "{cloud}/system/{systemId}/device/{deviceId}",
                  "selectedPipeline": "street", )" +
                  pipelineNodes("street-detector") + "}");
}

uint8_t level(float value) {
    return static_cast<uint8_t>(std::lround(std::clamp(value, 0.0f, 1.0f) * 255.0f));
}

vek::sdk::Ptr<vekhost::VideoFrame> frameShowing(const std::array<Box, 2>& boxes, int64_t timestampUs) {
    vek::sdk::Ptr<vekhost::VideoFrame> frame(new vekhost::VideoFrame(kFrameWidth, kFrameHeight));
    frame->setTimestampUs(timestampUs);
    std::array<uint8_t, kStripes> stripes{};
    for (size_t row = 0; row < boxes.size(); ++row) {
        const Box& b = boxes[row];
        const std::array<float, 6> values = {b.x1, b.y1, b.x2, b.y2, 0.9f, static_cast<float>(b.classIndex)};
        for (size_t i = 0; i < values.size(); ++i)
            stripes[row * 6 + i] = level(values[i]);
    }
    const vekhost::PlaneLayout& luma = frame->plane(0);
    for (int y = 0; y < luma.height; ++y) {
        for (int x = 0; x < luma.width; ++x)
            frame->mutableData(0)[y * luma.lineSize + x] =
                stripes[static_cast<size_t>(x * kStripes / luma.width)];
    }
    for (int plane : {1, 2}) {
        const vekhost::PlaneLayout& chroma = frame->plane(plane);
        std::fill_n(frame->mutableData(plane), chroma.lineSize * chroma.height, uint8_t{128});
    }
    return frame;
}

// What the host recorded for frames of one time span.
struct Seen {
    std::set<std::string> objectClasses;  // last part of the type id, lower case
    std::vector<std::string> countingDescriptions;
    std::vector<std::string> lineCrossingDescriptions;
    int dumpedObjects = 0;
    int dumpingEvents = 0;
};

std::string lowerClassOf(const std::string& typeId) {
    std::string name = typeId.substr(typeId.rfind('.') + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name;
}

Seen seenBetween(const fs::path& metadata, int64_t fromUs, int64_t toUs) {
    Seen seen;
    std::ifstream in(metadata);
    std::string line;
    while (std::getline(in, line)) {
        rapidjson::Document packet;
        packet.Parse(line.c_str());
        if (!packet.IsObject() || !packet.HasMember("timestampUs") || !packet["timestampUs"].IsInt64())
            continue;
        const int64_t at = packet["timestampUs"].GetInt64();
        if (at < fromUs || at >= toUs)
            continue;
        if (packet.HasMember("objects") && packet["objects"].IsArray()) {
            for (const auto& object : packet["objects"].GetArray()) {
                seen.objectClasses.insert(lowerClassOf(object["typeId"].GetString()));
                if (object.HasMember("attributes") && object["attributes"].IsArray()) {
                    for (const auto& attribute : object["attributes"].GetArray())
                        seen.dumpedObjects += std::string(attribute["name"].GetString()) == "Dumped Object";
                }
            }
        }
        if (packet.HasMember("events") && packet["events"].IsArray()) {
            for (const auto& event : packet["events"].GetArray()) {
                const std::string type = event["typeId"].GetString();
                if (type == "vek.vekai.counted")
                    seen.countingDescriptions.push_back(event["description"].GetString());
                else if (type == "vek.vekai.linecrossing")
                    seen.lineCrossingDescriptions.push_back(event["description"].GetString());
                else if (type == "vek.vekai.dumping")
                    seen.dumpingEvents += 1;
            }
        }
    }
    return seen;
}

class Session {
public:
    Session(vekhost::PluginHost& host, std::shared_ptr<vekhost::MetadataRecorder> recorder, int camera,
            int64_t startUs)
        : host(host), recorder(std::move(recorder)), camera(camera), clockUs(startUs) {}

    // Pushes one frame and waits for the plugin's answer to it, so that results arrive in order.
    // Frame times advance by 100 ms, faster than the wall clock.
    bool push(const std::array<Box, 2>& boxes) {
        const int64_t before = recorder->statistics(camera).packets;
        auto frame = frameShowing(boxes, clockUs);
        clockUs += 100000;
        if (!host.pushFrame(camera, *frame))
            return false;
        const auto deadline = std::chrono::steady_clock::now() + 1s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (recorder->statistics(camera).packets > before)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    // A dog or person (class 0) walking from left to right past x = 0.5, and a car or horse
    // (class 1) parked on the right.
    int64_t walkPast() {
        const int64_t from = clockUs;
        for (int step = 0; step <= 30; ++step) {
            const float x = 0.1f + 0.02f * static_cast<float>(step);
            push({Box{x, 0.4f, x + 0.1f, 0.6f, 0}, Box{0.8f, 0.1f, 0.95f, 0.3f, 1}});
        }
        return from;
    }

    // The same boxes for the given number of frames.
    int64_t hold(const std::array<Box, 2>& boxes, int frames) {
        const int64_t from = clockUs;
        for (int i = 0; i < frames; ++i)
            push(boxes);
        return from;
    }

    // Pushes frames until one shows the class, up to the limit.
    bool waitForClass(const fs::path& metadata, const std::string& className, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            const int64_t from = clockUs;
            for (int i = 0; i < 5; ++i)
                push({Box{0.1f, 0.4f, 0.2f, 0.6f, 0}, Box{0.8f, 0.1f, 0.95f, 0.3f, 1}});
            if (seenBetween(metadata, from, clockUs).objectClasses.count(className))
                return true;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }

    int64_t now() const { return clockUs; }
    // A gap in time makes the next frames start new tracks.
    void skip() { clockUs += 5000000; }

private:
    vekhost::PluginHost& host;
    std::shared_ptr<vekhost::MetadataRecorder> recorder;
    int camera;
    int64_t clockUs;
};

std::string withValue(const vekhost::DeviceSettingsPage& page, const std::string& name) {
    const auto found = page.values.find(name);
    return found == page.values.end() ? std::string("(none)") : found->second;
}

// The configuration is read once per process, so this program holds this one scenario: what a user
// does with `vekhost device-settings --set ...` between runs, done through the host library.
TEST(SettingsScenario, ChoosingAPipelineSwitchingClassesOffAndDrawingALineChangeTheEvents) {
    TempDir site("vek-site");
    TempDir config("vek-config");
    TempDir home("vek-home");
    TempDir data("vek-data");
    TempDir runtimes("vek-runtimes");
    writeSite(site.path);

    vekcloud::CloudOptions options;
    options.siteDirectory = site.path;
    options.runtimesDirectory = runtimes.path;
    options.systemId = "site-9";
    options.token = "token-9";
    vekcloud::LocalCloud cloud(options);
    std::string error;
    ASSERT_TRUE(cloud.start(error)) << error;
    writeText(config.path / "vek_corvane_plugin.ini", "CloudAPI=" + cloud.baseUrl() +
                                                          "\nRuntimesStorageURL=" + cloud.runtimeStoreUrl() +
                                                          "\nlogVerbosityLevel=1\n");
    ASSERT_EQ(setenv("VEK_CONFIG_DIR", config.path.c_str(), 1), 0);
    // A plain x86-64 machine with AVX2, whatever machine runs the test.
    TempDir system("vek-system");
    writeText(system.path / "proc" / "cpuinfo", "processor\t: 0\nflags\t\t: fpu sse2 avx avx2\n");
    writeText(system.path / "etc" / "os-release",
              "NAME=\"Debian GNU/Linux\"\nID=debian\nVERSION_ID=\"12\"\n");
    ASSERT_EQ(setenv("VEK_TEST_SYSTEM_ROOT", system.path.c_str(), 1), 0);

    // The reference runtime stands installed as the machine's CPU runtime.
    const fs::path bin = data.path / "vek_corvane" / "inference_engine";
    fs::create_directories(bin);
    fs::copy_file(VEK_REFERENCE_RUNTIME, bin / "libRuntimeLibrary.so");
    writeText(bin / "installed_runtime.txt", "Generic CPU");

    vekhost::HostConfig hostConfig;
    hostConfig.pluginPath = VEK_PLUGIN_PATH;
    hostConfig.provider.homeDir = home.path.string();
    hostConfig.provider.dataDir = data.path.string();
    hostConfig.provider.serverId = "6a1b2c3d-0000-4000-8000-000000000009";
    hostConfig.provider.cloudSystemId = "site-9";
    hostConfig.provider.cloudToken = "token-9";
    auto loaded = vekhost::PluginHost::load(hostConfig);
    ASSERT_TRUE(loaded) << loaded.error();
    auto& host = *loaded.value();
    ASSERT_TRUE(host.obtainEngine());
    const fs::path metadata = data.path / "metadata.jsonl";
    auto recorder = vekhost::MetadataRecorder::create(metadata);
    ASSERT_TRUE(recorder) << recorder.error();
    auto camera = host.addCamera({"0123abcd-4567-89ef-0a1b-2c3d4e5f0009", "Yard"}, recorder.value());
    ASSERT_TRUE(camera) << camera.error();
    Session session(host, recorder.value(), *camera, vekhost::wallClockUs());
    const auto pluginLog = [&] {
        return vektest::readText(data.path / "vek_corvane" / "vekai_plugin_start.log");
    };

    // The device becomes active, as with --set deviceActiveSwitch=true, and runs the cloud's default
    // pipeline once its model is downloaded.
    auto applied = host.applyDeviceSettings(*camera, {{"deviceActiveSwitch", "true"}});
    ASSERT_TRUE(applied) << applied.error();
    ASSERT_TRUE(session.waitForClass(metadata, "person", 60s)) << "the street detector never ran";
    session.skip();
    const int64_t street = session.walkPast();
    const Seen onStreet = seenBetween(metadata, street, session.now());
    EXPECT_EQ(onStreet.objectClasses, (std::set<std::string>{"person", "car"}));
    ASSERT_FALSE(onStreet.countingDescriptions.empty());
    EXPECT_EQ(onStreet.countingDescriptions.back(), "\ncar: 1\nperson: 1\n");
    EXPECT_TRUE(onStreet.lineCrossingDescriptions.empty()) << "no line drawn yet";

    // The page offers both pipelines; the user picks the other one.
    auto page = host.deviceSettings(*camera);
    ASSERT_TRUE(page) << page.error();
    EXPECT_NE(page->model.find("\"farm\""), std::string::npos) << page->model;
    EXPECT_EQ(withValue(*page, "selectedPipeline"), "street");
    applied = host.applyDeviceSettings(*camera, {{"selectedPipeline", "farm"}});
    ASSERT_TRUE(applied) << applied.error();
    EXPECT_NE(host.restApi().parametersOf(host.camera(*camera).id).find("farm-detector"), std::string::npos);
    ASSERT_TRUE(session.waitForClass(metadata, "dog", 60s)) << "the farm detector never ran";
    session.skip();
    const int64_t farm = session.walkPast();
    const Seen onFarm = seenBetween(metadata, farm, session.now());
    EXPECT_EQ(onFarm.objectClasses, (std::set<std::string>{"dog", "horse"}));
    ASSERT_FALSE(onFarm.countingDescriptions.empty());
    EXPECT_EQ(onFarm.countingDescriptions.back(), "\ndog: 1\nhorse: 1\n");
    page = host.deviceSettings(*camera);
    ASSERT_TRUE(page) << page.error();
    EXPECT_EQ(withValue(*page, "selectedPipeline"), "farm");

    // Horses switched off: they are still detected and counted, but no longer reported as objects.
    applied = host.applyDeviceSettings(*camera, {{"visualise_classes_farm-detector", R"(["dog"])"}});
    ASSERT_TRUE(applied) << applied.error();
    session.skip();
    const int64_t dogsOnly = session.walkPast();
    const Seen withoutHorses = seenBetween(metadata, dogsOnly, session.now());
    EXPECT_EQ(withoutHorses.objectClasses, (std::set<std::string>{"dog"}));
    EXPECT_TRUE(withoutHorses.lineCrossingDescriptions.empty());

    // A line down the middle: the dog walking from left to right crosses it once.
    applied = host.applyDeviceSettings(
        *camera, {{"lineCrossingLine_farm-detector", R"({"figure":{"points":[[0.5,0.0],[0.5,1.0]]}})"}});
    ASSERT_TRUE(applied) << applied.error();
    session.skip();
    const int64_t crossing = session.walkPast();
    const Seen acrossTheLine = seenBetween(metadata, crossing, session.now());
    ASSERT_FALSE(acrossTheLine.lineCrossingDescriptions.empty());
    EXPECT_EQ(acrossTheLine.lineCrossingDescriptions.front(), "Left: 0\nRight: 1");
    EXPECT_EQ(acrossTheLine.lineCrossingDescriptions.back(), "Left: 0\nRight: 1");
    EXPECT_EQ(acrossTheLine.objectClasses, (std::set<std::string>{"dog"}));

    // A parking lot watched for dumped cars: a car resting for two seconds is marked and reported.
    applied = host.applyDeviceSettings(*camera, {{"selectedPipeline", "lot"},
                                                 {"dumpingDetectionObjectType_street-detector", "car"},
                                                 {"dumpingDetectionTimeThreshold_street-detector", "2"}});
    ASSERT_TRUE(applied) << applied.error();
    ASSERT_TRUE(session.waitForClass(metadata, "car", 60s)) << pluginLog();
    session.skip();
    const Box parkedCar{0.6f, 0.1f, 0.9f, 0.4f, 1};
    const Box person{0.1f, 0.5f, 0.2f, 0.9f, 0};
    const int64_t resting = session.hold({person, parkedCar}, 40);
    const Seen carResting = seenBetween(metadata, resting, session.now());
    EXPECT_GT(carResting.dumpedObjects, 0);
    EXPECT_GT(carResting.dumpingEvents, 0);

    // The user declares the scene as it should be: that car is never reported again, while another
    // car left elsewhere is.
    auto pressed = host.pressDeviceButton(*camera, "triggerReferenceRunButton_street-detector");
    ASSERT_TRUE(pressed) << pressed.error();
    session.hold({person, parkedCar}, 1);
    session.skip();
    const int64_t afterRun = session.hold({person, parkedCar}, 40);
    const Seen scenePreserved = seenBetween(metadata, afterRun, session.now());
    EXPECT_EQ(scenePreserved.objectClasses, (std::set<std::string>{"person", "car"}));
    EXPECT_EQ(scenePreserved.dumpedObjects, 0);
    EXPECT_EQ(scenePreserved.dumpingEvents, 0);
    session.skip();
    const int64_t newCar = session.hold({Box{0.05f, 0.5f, 0.3f, 0.9f, 1}, parkedCar}, 40);
    const Seen carLeft = seenBetween(metadata, newCar, session.now());
    EXPECT_GT(carLeft.dumpedObjects, 0);
    EXPECT_GT(carLeft.dumpingEvents, 0);

    host.release();
    // The recorded box is kept for the next start.
    const std::string cache =
        vektest::readText(data.path / "vek_corvane" / "cache" / "dumping_known_bboxes.json");
    EXPECT_NE(cache.find(R"({"0123abcd-4567-89ef-0a1b-2c3d4e5f0009":[{"x":0.6)"), std::string::npos) << cache;
}

}  // namespace
