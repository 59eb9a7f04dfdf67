#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <vekhost/cli.h>
#include <fstream>
#include <sstream>

#include "fake_plugin/fake_plugin_recorder.h"
#include "temp_dir.h"
#include "test_video_writer.h"

namespace vekhost {
namespace {

using testing::TempDir;

struct Ran {
    int status;
    std::string out;
    std::string err;
};

class HostCli : public ::testing::Test {
protected:
    void SetUp() override { testing::clearRecordedEvents(); }

    Ran run(std::vector<std::string> arguments, const std::atomic<bool>* interrupt = nullptr) {
        std::vector<std::string> all = {"--plugin",          VEKHOST_FAKE_PLUGIN, "--home",
                                        dir.path().string(), "--test-option",     "fake.test=cli"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::ostringstream out, err;
        const int status = runCommandLine(all, out, err, interrupt);
        return Ran{status, out.str(), err.str()};
    }

    TempDir dir;
};

TEST_F(HostCli, PrintsTheManifestsAsJson) {
    const Ran plugin = run({"manifest"});
    EXPECT_EQ(plugin.status, 0) << plugin.err;
    EXPECT_EQ(plugin.out, "{\"id\":\"fake.plugin\",\"name\":\"Fake\"}\n");
    const Ran engine = run({"engine-manifest"});
    EXPECT_EQ(engine.status, 0) << engine.err;
    EXPECT_EQ(engine.out, "{\"engine\":\"fake\"}\n");
    const Ran device = run({"device-manifest"});
    EXPECT_EQ(device.status, 0) << device.err;
    EXPECT_EQ(device.out, "{\"device\":\"Camera 1\"}\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "vekhost_data"));
}

TEST_F(HostCli, FailuresExitNonZeroWithAMessage) {
    struct FailureCase {
        std::vector<std::string> arguments;
        int status;
        std::string expected;
    };
    const FailureCase cases[] = {
        {{"--test-option", "fake.manifest=error", "manifest"}, 1, "manifest unavailable"},
        {{"--test-option", "fake.manifest=invalid", "manifest"}, 1, "the plugin manifest is not valid JSON"},
        {{"--test-option", "fake.engineManifest=error", "engine-manifest"}, 1, "engine manifest unavailable"},
        {{"--test-option", "fake.deviceManifest=error", "device-manifest"}, 1, "no device manifest yet"},
        {{"--test-option", "fake.engine=error", "run", "--frames", "1"}, 1, "no engine today"},
        {{"--plugin", (dir / "none.so").string(), "manifest"}, 1, "plugin library not found"},
        {{"run", "--video", (dir / "none.mkv").string()}, 1, "cannot open video"},
        {{"run", "--frames", "1", "--metadata-out", (dir / "no_dir" / "m.jsonl").string()},
         1,
         "cannot create the metadata file"},
        {{"--test-option", "fake.refuseFrames=1", "run", "--frames", "3", "--fps", "0", "--drain", "0"},
         1,
         "3 frame(s) refused, first: pushing a frame to Camera 1 failed"},
        {{"launch"}, 2, "unknown command"},
    };
    for (const FailureCase& c : cases) {
        const Ran ran = run(c.arguments);
        EXPECT_EQ(ran.status, c.status) << c.expected << "\n" << ran.err;
        EXPECT_NE(ran.err.find(c.expected), std::string::npos) << ran.err;
    }
}

TEST_F(HostCli, RunFeedsEveryCameraAndSummarises) {
    const auto metadata = dir / "metadata.jsonl";
    const Ran ran = run({"run", "--cameras", "2", "--synthetic", "64x48", "--frames", "5", "--fps", "0",
                         "--metadata-out", metadata.string()});
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_NE(ran.out.find("Summary after"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("Camera 1 ("), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("Camera 2 ("), std::string::npos) << ran.out;
    EXPECT_NE(
        ran.out.find("Total: frames in 10, object packets 10, objects 10, event packets 10, events 10, "
                     "best shots 10, other packets 0, frames without an object packet 0, push errors 0"),
        std::string::npos)
        << ran.out;
    EXPECT_NE(ran.out.find("Latency from push to object packet"), std::string::npos) << ran.out;

    std::ifstream file(metadata);
    int lines = 0;
    for (std::string line; std::getline(file, line); ++lines) {
        rapidjson::Document json;
        json.Parse(line.c_str());
        EXPECT_FALSE(json.HasParseError()) << line;
    }
    EXPECT_EQ(lines, 30);
    const auto events = testing::recordedEvents();
    EXPECT_EQ(events.back(), "library unloaded");
}

TEST_F(HostCli, RunDecodesAVideoFileToItsEnd) {
    const auto video = dir / "clip.mkv";
    ASSERT_EQ(testing::writeTestVideo(video, {AV_CODEC_ID_MPEG4, AV_PIX_FMT_YUV420P, 64, 48, 10, 10}), "");
    const Ran ran = run({"run", "--video", video.string(), "--fps", "0"});
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_NE(ran.out.find("frames in 10, object packets 10"), std::string::npos) << ran.out;
    int frames = 0;
    for (const auto& event : testing::recordedEvents())
        frames += event.rfind("frame Camera 1 64x48 64 32 32 ", 0) == 0;
    EXPECT_EQ(frames, 10);
}

TEST_F(HostCli, AnInterruptedRunStopsCleanly) {
    const std::atomic<bool> interrupted{true};
    const Ran ran = run({"run", "--synthetic", "64x48"}, &interrupted);
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_NE(ran.out.find("Summary after"), std::string::npos);
    EXPECT_EQ(testing::recordedEvents().back(), "library unloaded");
}

}  // namespace
}  // namespace vekhost
