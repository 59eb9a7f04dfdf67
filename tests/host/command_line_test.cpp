#include <gtest/gtest.h>

#include <vekhost/command_line.h>
#include <vekhost/stable_ids.h>

namespace vekhost {
namespace {

using Arguments = std::vector<std::string>;

TEST(HostCommandLine, RunWithEveryOption) {
    auto parsed = parseCommandLine({"--plugin",
                                    "/p/lib.so",
                                    "--home",
                                    "/h",
                                    "--data-dir",
                                    "/d",
                                    "--cloud-token",
                                    "tok",
                                    "--server-id",
                                    "sid",
                                    "--cloud-system-id",
                                    "site",
                                    "--test-option",
                                    "a=b=c",
                                    "--verbose",
                                    "run",
                                    "--cameras",
                                    "3",
                                    "--video",
                                    "a.mp4",
                                    "b.mkv",
                                    "--frames",
                                    "100",
                                    "--seconds",
                                    "2.5",
                                    "--fps",
                                    "0",
                                    "--loop",
                                    "--drain",
                                    "0.5",
                                    "--metadata-out",
                                    "out.jsonl"});
    ASSERT_TRUE(parsed) << parsed.error();
    const CommandLine& line = *parsed;
    EXPECT_EQ(line.command, CommandLine::Command::run);
    EXPECT_EQ(line.host.pluginPath, "/p/lib.so");
    EXPECT_EQ(line.host.provider.homeDir, "/h");
    EXPECT_EQ(line.host.provider.dataDir, "/d");
    EXPECT_EQ(line.host.provider.cloudToken, "tok");
    EXPECT_EQ(line.host.provider.serverId, "sid");
    EXPECT_EQ(line.host.provider.cloudSystemId, "site");
    EXPECT_EQ(line.host.unitTestOptions.at("a"), "b=c");
    EXPECT_TRUE(line.verbose);
    EXPECT_EQ(line.run.cameras, 3);
    EXPECT_EQ(line.run.videos, (std::vector<std::filesystem::path>{"a.mp4", "b.mkv"}));
    EXPECT_EQ(line.run.frames, 100);
    EXPECT_EQ(line.run.seconds, 2.5);
    EXPECT_EQ(line.run.framesPerSecond, 0.0);
    EXPECT_TRUE(line.run.loop);
    EXPECT_EQ(line.run.drainSeconds, 0.5);
    EXPECT_EQ(line.run.metadataOut, std::filesystem::path("out.jsonl"));
}

TEST(HostCommandLine, Defaults) {
    auto parsed = parseCommandLine({"--plugin", "lib.so", "--home", "/srv/home", "manifest"});
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->command, CommandLine::Command::manifest);
    EXPECT_EQ(parsed->host.provider.dataDir, "/srv/home/vekhost_data");
    EXPECT_EQ(parsed->host.provider.serverId, stableId("server:/srv/home/vekhost_data"));
    EXPECT_FALSE(parsed->host.provider.cloudSystemId.has_value());
    EXPECT_EQ(parsed->host.provider.cloudToken, "");
    EXPECT_TRUE(parsed->host.unitTestOptions.empty());
    EXPECT_EQ(parsed->run.cameras, 1);
    EXPECT_TRUE(parsed->run.videos.empty());
    EXPECT_EQ(parsed->run.syntheticWidth, 640);
    EXPECT_EQ(parsed->run.syntheticHeight, 480);
    EXPECT_FALSE(parsed->run.framesPerSecond.has_value());

    auto relative = parseCommandLine({"--plugin", "lib.so", "engine-manifest"});
    ASSERT_TRUE(relative) << relative.error();
    EXPECT_TRUE(std::filesystem::path(relative->host.provider.homeDir).is_absolute());

    auto synthetic = parseCommandLine({"--plugin", "lib.so", "run", "--synthetic", "33x17"});
    ASSERT_TRUE(synthetic) << synthetic.error();
    EXPECT_EQ(synthetic->run.syntheticWidth, 33);
    EXPECT_EQ(synthetic->run.syntheticHeight, 17);
}

TEST(HostCommandLine, Help) {
    for (const Arguments& arguments :
         {Arguments{"--help"}, Arguments{"help"}, Arguments{"--plugin", "x", "-h"}}) {
        auto parsed = parseCommandLine(arguments);
        ASSERT_TRUE(parsed) << parsed.error();
        EXPECT_EQ(parsed->command, CommandLine::Command::help);
    }
}

TEST(HostCommandLine, MistakesAreNamed) {
    struct MistakeCase {
        Arguments arguments;
        std::string expected;
    };
    const MistakeCase cases[] = {
        {{}, "no command given"},
        {{"--plugin", "x"}, "no command given"},
        {{"manifest"}, "--plugin PATH is required"},
        {{"--plugin"}, "--plugin needs a value"},
        {{"--plugin", "--home", "manifest"}, "--plugin needs a value"},
        {{"--plugin", "x", "launch"}, "unknown command \"launch\""},
        {{"--plugin", "x", "manifest", "run"}, "unexpected argument \"run\""},
        {{"--plugin", "x", "--bogus", "manifest"}, "unknown option --bogus"},
        {{"--plugin", "x", "--cameras", "2", "run"}, "run options go after the run command"},
        {{"--plugin", "x", "manifest", "--frames", "3"}, "unknown option --frames"},
        {{"--plugin", "x", "run", "--cameras", "0"}, "--cameras needs a whole number from 1 to 256"},
        {{"--plugin", "x", "run", "--cameras", "2x"}, "--cameras needs a whole number"},
        {{"--plugin", "x", "run", "--cameras", "999"}, "--cameras needs a whole number"},
        {{"--plugin", "x", "run", "--frames", "-1"}, "--frames needs a whole number"},
        {{"--plugin", "x", "run", "--seconds", "0"}, "--seconds needs a number above 0"},
        {{"--plugin", "x", "run", "--seconds", "nan"}, "--seconds needs a number"},
        {{"--plugin", "x", "run", "--fps", "-5"}, "--fps needs a number of at least 0"},
        {{"--plugin", "x", "run", "--fps", "fast"}, "--fps needs a number"},
        {{"--plugin", "x", "run", "--synthetic", "640"}, "--synthetic needs WIDTHxHEIGHT"},
        {{"--plugin", "x", "run", "--synthetic", "1x480"}, "--synthetic width needs a whole number from 2"},
        {{"--plugin", "x", "run", "--synthetic", "640x99999"}, "--synthetic height needs a whole number"},
        {{"--plugin", "x", "run", "--video"}, "--video needs at least one file"},
        {{"--plugin", "x", "run", "--video", "a.mp4", "--synthetic", "64x64"}, "exclude each other"},
        {{"--plugin", "x", "--test-option", "novalue", "run"}, "--test-option needs KEY=VALUE"},
        {{"--plugin", "x", "--test-option", "=v", "run"}, "--test-option needs KEY=VALUE"},
        {{"--plugin", "x", "--server-id", "", "run"}, "--server-id must not be empty"},
    };
    for (const MistakeCase& c : cases) {
        std::string shown;
        for (const auto& argument : c.arguments)
            shown += argument + " ";
        auto parsed = parseCommandLine(c.arguments);
        ASSERT_FALSE(parsed) << shown;
        EXPECT_NE(parsed.error().find(c.expected), std::string::npos) << shown << "-> " << parsed.error();
    }
}

}  // namespace
}  // namespace vekhost
