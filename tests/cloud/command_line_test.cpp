// The vekcloud program: its command line and fault settings, and the program itself run as a demo
// runs it, reporting its port in a file and stopping on SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <vekcloud/command_line.h>

#include <fstream>
#include <thread>

#include "cloud_test_support.h"

using namespace std::chrono_literals;

extern char** environ;

namespace {

TEST(FaultSettings, AreParsed) {
    std::string error;
    auto parsed = vekcloud::parseFault("/system/:status=500", error);
    ASSERT_TRUE(parsed.has_value()) << error;
    EXPECT_EQ(parsed->first, "/system/");
    EXPECT_EQ(parsed->second.status, 500);

    parsed = vekcloud::parseFault(
        "/storage/:truncate=1000,corrupt=12,chunk-delay-ms=5,delay-ms=7,missing-key,wrong-key,wrong-checksum",
        error);
    ASSERT_TRUE(parsed.has_value()) << error;
    const vekcloud::Fault& fault = parsed->second;
    EXPECT_EQ(fault.truncateAfter, 1000u);
    EXPECT_EQ(fault.corruptAt, 12u);
    EXPECT_EQ(fault.chunkDelay, 5ms);
    EXPECT_EQ(fault.delay, 7ms);
    EXPECT_TRUE(fault.missingKey && fault.wrongKey && fault.wrongChecksum);
    EXPECT_EQ(fault.status, 0);
    EXPECT_EQ(fault.body, std::nullopt);

    parsed = vekcloud::parseFault(R"(/reset/:status=200,body={"Devices":{"a":1,"b":2}})", error);
    ASSERT_TRUE(parsed.has_value()) << error;
    EXPECT_EQ(parsed->second.body, R"({"Devices":{"a":1,"b":2}})");
    EXPECT_EQ(parsed->second.status, 200);
}

TEST(FaultSettings, MistakesAreRefused) {
    for (const char* text : {"system:status=500", "/x", ":status=500", "/x:status=abc", "/x:status=42",
                             "/x:status=", "/x:unknown", "/x:truncate=-1", "/x:missing-key=1"}) {
        std::string error;
        EXPECT_FALSE(vekcloud::parseFault(text, error).has_value()) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(CloudCommandLine, DefaultsAndOptions) {
    std::string error;
    auto parsed = vekcloud::parseCommandLine({}, "/default/site", error);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->options.siteDirectory, "/default/site");
    EXPECT_EQ(parsed->options.port, 0);
    EXPECT_TRUE(parsed->faults.empty());
    EXPECT_FALSE(parsed->help);

    parsed =
        vekcloud::parseCommandLine({"--site", "/s", "--runtimes", "/r", "--port", "8123", "--system-id",
                                    "sys", "--token", "tok", "--port-file", "/tmp/p", "--refuse-for-ms",
                                    "250", "--fault", "/a:status=500", "--fault", "/b:missing-key", "--help"},
                                   "/default/site", error);
    ASSERT_TRUE(parsed.has_value()) << error;
    EXPECT_EQ(parsed->options.siteDirectory, "/s");
    EXPECT_EQ(parsed->options.runtimesDirectory, "/r");
    EXPECT_EQ(parsed->options.port, 8123);
    EXPECT_EQ(parsed->options.systemId, "sys");
    EXPECT_EQ(parsed->options.token, "tok");
    EXPECT_EQ(parsed->portFile, "/tmp/p");
    EXPECT_EQ(parsed->refuseFor, 250ms);
    ASSERT_EQ(parsed->faults.size(), 2u);
    EXPECT_EQ(parsed->faults[1].first, "/b");
    EXPECT_TRUE(parsed->faults[1].second.missingKey);
    EXPECT_TRUE(parsed->help);
}

TEST(CloudCommandLine, MistakesAreRefused) {
    const std::vector<std::vector<std::string>> mistakes = {
        {"--port", "70000"},       {"--port", "x"},         {"--bogus", "v"}, {"--site"},
        {"--refuse-for-ms", "-1"}, {"--fault", "nonsense"}, {"stray"}};
    for (const auto& arguments : mistakes) {
        std::string error;
        EXPECT_FALSE(vekcloud::parseCommandLine(arguments, "/default/site", error).has_value())
            << arguments[0];
        EXPECT_FALSE(error.empty());
    }
}

// The vekcloud program in a child process, ended with SIGTERM unless it ended by itself.
class Program {
public:
    explicit Program(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), VEKCLOUD_PROGRAM);
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid, VEKCLOUD_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (pid > 0) {
            stop();
        }
    }

    // The exit code after SIGTERM, or -1 when the program did not exit normally.
    int stop() {
        kill(pid, SIGTERM);
        return wait();
    }
    int wait() {
        int status = 0;
        const pid_t ended = waitpid(pid, &status, 0);
        pid = -1;
        return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool started() const { return pid > 0; }

private:
    pid_t pid = -1;
};

// The port the program wrote, waiting for the file to appear.
int portFrom(const std::filesystem::path& file) {
    for (int attempt = 0; attempt < 2000; ++attempt) {
        std::ifstream stream(file);
        int port = 0;
        if (stream >> port) {
            return port;
        }
        std::this_thread::sleep_for(10ms);
    }
    return 0;
}

class CloudProgram : public testing::Test {
protected:
    void SetUp() override { cloud_test::writeStandardSite(site, "model"); }

    std::vector<std::string> arguments(std::vector<std::string> extra) const {
        std::vector<std::string> all = {"--site", site.path().string(), "--port-file", portFile().string()};
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }
    std::filesystem::path portFile() const { return folder.path() / "port"; }

    static int statusOf(int port) {
        vek::network::http::HttpClient client(vek::network::ssl::kDefaultCertificateCheck);
        client.addAdditionalHeader("Authorization", "t");
        client.addAdditionalHeader("User-Agent", "VEKAI-Plugin/5.0.42");
        return cloud_test::fetch(client, "http://127.0.0.1:" + std::to_string(port) +
                                             "/system/s/device/d/available-pipelines")
            .status;
    }

    cloud_test::TempSite site;
    cloud_test::TempSite folder;
};

TEST_F(CloudProgram, ServesUntilTerminated) {
    Program program(arguments({"--fault", "/system/s/device/x:status=503"}));
    ASSERT_TRUE(program.started());
    const int port = portFrom(portFile());
    ASSERT_GT(port, 0);
    EXPECT_EQ(statusOf(port), 200);
    EXPECT_EQ(program.stop(), 0);
    EXPECT_EQ(statusOf(port), 0);
}

TEST_F(CloudProgram, FaultsFromTheCommandLineApply) {
    Program program(arguments({"--fault", "/system/:status=503"}));
    const int port = portFrom(portFile());
    ASSERT_GT(port, 0);
    EXPECT_EQ(statusOf(port), 503);
}

TEST_F(CloudProgram, RefusesConnectionsAtFirst) {
    Program program(arguments({"--refuse-for-ms", "3600000"}));
    const int port = portFrom(portFile());
    ASSERT_GT(port, 0);
    EXPECT_EQ(statusOf(port), 0);
    EXPECT_EQ(program.stop(), 0);
}

TEST_F(CloudProgram, BadStartsExitWithAnError) {
    EXPECT_EQ(Program({"--port", "nonsense"}).wait(), 2);
    EXPECT_EQ(Program({"--site", (folder.path() / "missing").string()}).wait(), 1);
}

}  // namespace
