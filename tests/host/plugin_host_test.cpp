#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <vekhost/pattern_source.h>
#include <vekhost/plugin_host.h>
#include <vekhost/run_command.h>
#include <algorithm>
#include <fstream>
#include <sstream>

#include "fake_plugin/fake_plugin_recorder.h"
#include "temp_dir.h"

namespace vekhost {
namespace {

using testing::recordedEvents;
using testing::TempDir;

// Position of the first event starting with the prefix, or -1.
long indexOf(const std::vector<std::string>& events, const std::string& prefix) {
    const auto found = std::find_if(events.begin(), events.end(),
                                    [&](const std::string& event) { return event.rfind(prefix, 0) == 0; });
    return found == events.end() ? -1 : static_cast<long>(found - events.begin());
}

long countOf(const std::vector<std::string>& events, const std::string& prefix) {
    return std::count_if(events.begin(), events.end(),
                         [&](const std::string& event) { return event.rfind(prefix, 0) == 0; });
}

std::string joined(const std::vector<std::string>& events) {
    std::string text;
    for (const auto& event : events)
        text += "  " + event + "\n";
    return text;
}

class HostPlugin : public ::testing::Test {
protected:
    void SetUp() override { testing::clearRecordedEvents(); }

    HostConfig config(std::map<std::string, std::string> options = {}) const {
        HostConfig result;
        result.pluginPath = VEKHOST_FAKE_PLUGIN;
        result.provider.homeDir = (dir / "home").string();
        result.provider.dataDir = (dir / "data").string();
        result.provider.serverId = "5b0c2f6e-8a43-4d1b-b7e2-91c4f0a3d5e8";
        result.provider.cloudToken = "secret";
        // Always at least one option, so that each load replaces what an earlier test set.
        options["fake.test"] = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        result.unitTestOptions = std::move(options);
        return result;
    }

    std::unique_ptr<PluginHost> load(std::map<std::string, std::string> options = {}) {
        auto host = PluginHost::load(config(std::move(options)));
        EXPECT_TRUE(host) << host.error();
        return host ? std::move(host.value()) : nullptr;
    }

    // Engine plus cameras, each with a handler recording into the recorder.
    std::unique_ptr<PluginHost> loadWithCameras(int cameras, std::shared_ptr<MetadataRecorder> recorder,
                                                std::map<std::string, std::string> options = {}) {
        auto host = load(std::move(options));
        if (!host)
            return nullptr;
        EXPECT_TRUE(host->obtainEngine());
        for (int camera = 0; camera < cameras; ++camera) {
            auto added =
                host->addCamera(cameraDescription("5b0c2f6e-8a43-4d1b-b7e2-91c4f0a3d5e8", camera), recorder);
            EXPECT_TRUE(added) << added.error();
        }
        return host;
    }

    static std::shared_ptr<MetadataRecorder> recorder(const std::optional<std::filesystem::path>& path = {}) {
        auto created = MetadataRecorder::create(path);
        EXPECT_TRUE(created) << created.error();
        return created.value();
    }

    static Status push(const PluginHost& host, int camera) {
        PatternSource source(64, 48);
        NextFrame next = source.next();
        next.frame.frame->setTimestampUs(wallClockUs());
        return host.pushFrame(camera, *next.frame.frame);
    }

    TempDir dir;
};

TEST_F(HostPlugin, LoadsGivesTheProviderAndReadsTheManifest) {
    auto host = load();
    ASSERT_TRUE(host);
    auto manifest = host->pluginManifest();
    ASSERT_TRUE(manifest) << manifest.error();
    EXPECT_EQ(*manifest, R"({"id":"fake.plugin","name":"Fake"})");
    const auto events = recordedEvents();
    EXPECT_EQ(indexOf(events, "plugin created"), 0) << joined(events);
    EXPECT_GE(
        indexOf(events, "provider home=" + (dir / "home").string() + " data=" + (dir / "data").string() +
                            " server=5b0c2f6e-8a43-4d1b-b7e2-91c4f0a3d5e8 token=secret site=(none)"),
        0)
        << joined(events);
}

TEST_F(HostPlugin, LoadFailuresSayWhatIsWrong) {
    std::ofstream(dir / "not_a_library.so") << "plain text\n";
    struct FailureCase {
        const char* name;
        std::filesystem::path library;
        std::map<std::string, std::string> options;
        std::string expected;
    };
    const FailureCase cases[] = {
        {"missing file", dir / "absent.so", {}, "plugin library not found: " + (dir / "absent.so").string()},
        {"not a library", dir / "not_a_library.so", {}, "cannot load plugin library"},
        {"no entry point", VEKHOST_NO_ENTRY_LIBRARY, {}, "has no entry point createVekPlugin"},
        {"no object", VEKHOST_FAKE_PLUGIN, {{"fake.create", "null"}}, "createVekPlugin"},
        {"not an analytics plugin",
         VEKHOST_FAKE_PLUGIN,
         {{"fake.create", "integrationOnly"}},
         "does not implement vek::sdk::analytics::IPlugin"},
    };
    for (const FailureCase& c : cases) {
        HostConfig settings = config(c.options);
        settings.pluginPath = c.library;
        if (c.library == VEKHOST_NO_ENTRY_LIBRARY)
            settings.unitTestOptions.clear();
        auto host = PluginHost::load(settings);
        ASSERT_FALSE(host) << c.name;
        EXPECT_NE(host.error().find(c.expected), std::string::npos) << c.name << ": " << host.error();
    }
}

TEST_F(HostPlugin, PluginErrorsCarryCodeAndMessage) {
    struct ErrorCase {
        const char* name;
        std::map<std::string, std::string> options;
        std::function<std::string(PluginHost&)> call;
        std::string expected;
    };
    const ErrorCase cases[] = {
        {"plugin manifest",
         {{"fake.manifest", "error"}},
         [](PluginHost& host) { return host.pluginManifest().error(); },
         "plugin manifest failed: error -1000 (internalError): manifest unavailable"},
        {"engine",
         {{"fake.engine", "error"}},
         [](PluginHost& host) { return host.obtainEngine().error(); },
         "obtaining the engine failed: error -2 (badState): no engine today"},
        {"engine manifest",
         {{"fake.engineManifest", "error"}},
         [](PluginHost& host) {
             EXPECT_TRUE(host.obtainEngine());
             return host.engineManifest().error();
         },
         "engine manifest failed: error -1000 (internalError): engine manifest unavailable"},
        {"device manifest",
         {{"fake.deviceManifest", "error"}},
         [this](PluginHost& host) {
             EXPECT_TRUE(host.obtainEngine());
             EXPECT_TRUE(host.addCamera(cameraDescription("s", 0), recorder()));
             return host.deviceManifest(0).error();
         },
         "error -21 (notImplemented): no device manifest yet"},
    };
    for (const ErrorCase& c : cases) {
        auto host = load(c.options);
        ASSERT_TRUE(host);
        EXPECT_NE(c.call(*host).find(c.expected), std::string::npos) << c.name;
    }
}

TEST_F(HostPlugin, ReleasesAgentsThenEngineThenPluginAndClosesTheLibraryLast) {
    auto host = loadWithCameras(2, recorder());
    ASSERT_TRUE(host);
    EXPECT_TRUE(push(*host, 0));
    EXPECT_TRUE(push(*host, 1));
    host->release();

    const auto events = recordedEvents();
    const long finalize2 = indexOf(events, "finalize Camera 2");
    const long agent2 = indexOf(events, "agent destroyed Camera 2");
    const long finalize1 = indexOf(events, "finalize Camera 1");
    const long agent1 = indexOf(events, "agent destroyed Camera 1");
    const long engine = indexOf(events, "engine destroyed");
    const long plugin = indexOf(events, "plugin destroyed");
    const long unloaded = indexOf(events, "library unloaded");
    ASSERT_GE(finalize2, 0) << joined(events);
    EXPECT_LT(finalize2, agent2) << joined(events);
    EXPECT_LT(agent2, finalize1) << joined(events);
    EXPECT_LT(finalize1, agent1) << joined(events);
    EXPECT_LT(agent1, engine) << joined(events);
    EXPECT_LT(engine, plugin) << joined(events);
    EXPECT_LT(plugin, unloaded) << joined(events);
    EXPECT_EQ(unloaded, static_cast<long>(events.size()) - 1) << joined(events);
    // The agents' last requests were answered, and their handlers gone, before the library went.
    EXPECT_EQ(countOf(events, "http answered HTTP/1.1 "), 2) << joined(events);
    EXPECT_EQ(countOf(events, "http handler destroyed"), 2) << joined(events);

    // Releasing again does nothing.
    host->release();
    EXPECT_EQ(recordedEvents().size(), events.size());
}

TEST_F(HostPlugin, DestroyingTheHostReleasesInTheSameOrder) {
    loadWithCameras(1, recorder()).reset();
    const auto events = recordedEvents();
    EXPECT_LT(indexOf(events, "agent destroyed Camera 1"), indexOf(events, "engine destroyed"))
        << joined(events);
    EXPECT_LT(indexOf(events, "engine destroyed"), indexOf(events, "plugin destroyed")) << joined(events);
    EXPECT_EQ(indexOf(events, "library unloaded"), static_cast<long>(events.size()) - 1) << joined(events);
}

TEST_F(HostPlugin, AgentsGetTheCamerasIdsAndNames) {
    auto host = loadWithCameras(3, recorder());
    ASSERT_TRUE(host);
    const auto events = recordedEvents();
    for (int camera = 0; camera < 3; ++camera) {
        const CameraDescription description = host->camera(camera);
        EXPECT_EQ(description.name, "Camera " + std::to_string(camera + 1));
        EXPECT_EQ(description.id.size(), 36u);
        EXPECT_GE(indexOf(events, "obtain agent " + description.name + " " + description.id), 0)
            << joined(events);
        auto manifest = host->deviceManifest(camera);
        ASSERT_TRUE(manifest) << manifest.error();
        EXPECT_EQ(*manifest, R"({"device":")" + description.name + R"("})");
    }
    EXPECT_EQ(countOf(events, "obtain engine"), 1);
    EXPECT_EQ(countOf(events, "engine handler set"), 1);
    // Ids are stable for a server and differ between cameras and servers.
    EXPECT_EQ(cameraDescription("a", 0).id, cameraDescription("a", 0).id);
    EXPECT_NE(cameraDescription("a", 0).id, cameraDescription("a", 1).id);
    EXPECT_NE(cameraDescription("a", 0).id, cameraDescription("b", 0).id);
}

TEST_F(HostPlugin, FramesArriveWithPaddedLinesAndWallClockTimestamps) {
    auto host = loadWithCameras(1, recorder());
    ASSERT_TRUE(host);
    PatternSource source(100, 75);
    NextFrame next = source.next();
    const int64_t before = wallClockUs();
    next.frame.frame->setTimestampUs(wallClockUs());
    ASSERT_TRUE(host->pushFrame(0, *next.frame.frame));
    const int64_t after = wallClockUs();

    const auto events = recordedEvents();
    const long frame = indexOf(events, "frame Camera 1 ");
    ASSERT_GE(frame, 0) << joined(events);
    std::istringstream fields(
        events[static_cast<size_t>(frame)].substr(std::string("frame Camera 1 ").size()));
    std::string size;
    int line0 = 0, line1 = 0, line2 = 0;
    int64_t timestamp = 0;
    fields >> size >> line0 >> line1 >> line2 >> timestamp;
    EXPECT_EQ(size, "100x75");
    EXPECT_EQ(line0, 128);
    EXPECT_EQ(line1, 64);
    EXPECT_EQ(line2, 64);
    EXPECT_GE(timestamp, before);
    EXPECT_LE(timestamp, after);
}

TEST_F(HostPlugin, HandlersRecordEveryPacketAsAJsonLine) {
    const auto path = dir / "metadata.jsonl";
    auto metadata = recorder(path);
    auto host = loadWithCameras(2, metadata);
    ASSERT_TRUE(host);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(push(*host, 0));
        ASSERT_TRUE(push(*host, 1));
    }
    host->release();

    for (int camera = 0; camera < 2; ++camera) {
        const CameraStatistics statistics = metadata->statistics(camera);
        EXPECT_EQ(statistics.packets, 9) << camera;
        EXPECT_EQ(statistics.objectPackets, 3) << camera;
        EXPECT_EQ(statistics.objects, 3) << camera;
        EXPECT_EQ(statistics.eventPackets, 3) << camera;
        EXPECT_EQ(statistics.events, 3) << camera;
        EXPECT_EQ(statistics.bestShots, 3) << camera;
    }
    EXPECT_EQ(metadata->latency().samples, 6u);

    std::ifstream file(path);
    std::string line;
    std::map<std::string, int> linesPerCamera;
    std::map<std::string, int> linesPerType;
    while (std::getline(file, line)) {
        rapidjson::Document json;
        json.Parse(line.c_str());
        ASSERT_FALSE(json.HasParseError()) << line;
        ++linesPerCamera[json["camera"].GetString()];
        ++linesPerType[json["type"].GetString()];
        if (std::string(json["type"].GetString()) == "objects") {
            const auto& object = json["objects"][0];
            EXPECT_STREQ(object["typeId"].GetString(), "fake.rectangle");
            EXPECT_DOUBLE_EQ(object["confidence"].GetDouble(), 0.75);
            EXPECT_EQ(std::string(object["trackId"].GetString()).size(), 36u);
            EXPECT_DOUBLE_EQ(object["box"]["w"].GetDouble(), 0.125);
            EXPECT_STREQ(object["attributes"][0]["value"].GetString(), "red");
        }
    }
    EXPECT_EQ(linesPerCamera[host->camera(0).id], 9);
    EXPECT_EQ(linesPerCamera[host->camera(1).id], 9);
    EXPECT_EQ(linesPerType["objects"], 6);
    EXPECT_EQ(linesPerType["events"], 6);
    EXPECT_EQ(linesPerType["bestShot"], 6);
}

TEST_F(HostPlugin, RefusedFramesAreFailuresWithThePluginsMessage) {
    auto host = loadWithCameras(1, recorder(), {{"fake.refuseFrames", "1"}});
    ASSERT_TRUE(host);
    const Status pushed = push(*host, 0);
    ASSERT_FALSE(pushed);
    EXPECT_NE(pushed.error().find("error -1001 (otherError): frames refused"), std::string::npos)
        << pushed.error();
}

TEST_F(HostPlugin, RemovedCamerasAreFinalizedReleasedAndRefuseFrames) {
    auto host = loadWithCameras(2, recorder());
    ASSERT_TRUE(host);
    host->removeCamera(0);
    const auto events = recordedEvents();
    EXPECT_LT(indexOf(events, "finalize Camera 1"), indexOf(events, "agent destroyed Camera 1"))
        << joined(events);
    EXPECT_EQ(indexOf(events, "agent destroyed Camera 2"), -1);
    EXPECT_EQ(host->agent(0), nullptr);
    EXPECT_NE(host->agent(1), nullptr);
    const Status pushed = push(*host, 0);
    ASSERT_FALSE(pushed);
    EXPECT_NE(pushed.error().find("no device agent for camera 1"), std::string::npos);
    EXPECT_TRUE(push(*host, 1));
}

TEST_F(HostPlugin, ALibraryWhoseObjectsLiveOnStaysLoaded) {
    // A copy of its own, so that this library's staying loaded does not affect other tests.
    const auto copy = dir / "leaky_plugin.so";
    std::filesystem::copy_file(VEKHOST_FAKE_PLUGIN, copy);
    HostConfig settings = config({{"fake.leakEngine", "1"}});
    settings.pluginPath = copy;
    auto host = PluginHost::load(settings);
    ASSERT_TRUE(host) << host.error();
    ASSERT_TRUE((*host)->obtainEngine());
    (*host)->release();
    const auto events = recordedEvents();
    EXPECT_GE(indexOf(events, "plugin destroyed"), 0) << joined(events);
    EXPECT_EQ(indexOf(events, "engine destroyed"), -1) << joined(events);
    EXPECT_EQ(indexOf(events, "library unloaded"), -1) << joined(events);
}

}  // namespace
}  // namespace vekhost
