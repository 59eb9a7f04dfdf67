// ExternalProcess with a real program built on the peer library: echo over IPC and TCP, a program that
// never becomes ready, one that crashes mid-exchange, one that hangs, and the death of the plugin's
// process by SIGKILL. Every wait in here is bounded.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "corvane/vekai_external_process.h"
#include "ipc_test_support.h"

using namespace std::chrono_literals;
using ipc_test::LogCapture;
using ipc_test::TempDir;
namespace fs = std::filesystem;

namespace {

// The configuration every test of this program sees: two ready checks instead of five.
class ConfigEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::ofstream(folder.path() / "vek_corvane_plugin.ini")
            << "ExternalProcessorReadyCheckMaxRetries=2\n";
        setenv("VEK_CONFIG_DIR", folder.path().c_str(), 1);
    }

private:
    TempDir folder;
};
::testing::Environment* const configEnvironment = ::testing::AddGlobalTestEnvironment(new ConfigEnvironment);

const QString kPeer = QStringLiteral(IPC_TEST_PEER);

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 3 + (i >> 10));
    }
    return bytes;
}

std::vector<uint8_t> inverted(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> answer(bytes);
    for (auto& byte : answer) {
        byte = static_cast<uint8_t>(~byte);
    }
    return answer;
}

std::unique_ptr<ExternalProcess> startPeer(const QString& mode, const fs::path& report,
                                           const QProcessEnvironment& environment = {},
                                           const QString& logFile = {}) {
    return ExternalProcess::create(
        kPeer, logFile,
        {"--mode", mode, "--report", QString::fromStdString(report.string()), "--ProcessorName", "test"},
        environment);
}

// The four object names the program was given, from its report.
std::vector<std::string> channelNames(const fs::path& report) {
    std::vector<std::string> names;
    for (const char* key : {"input", "output"}) {
        const auto description = ipc_test::reportValue(report, key, 5s);
        if (!description) {
            ADD_FAILURE() << "no " << key << " in the report";
            continue;
        }
        const auto fields = ipc_test::descriptionFields(*description);
        names.insert(names.end(), fields.begin() + 2, fields.end());
    }
    return names;
}

pid_t programPid(const fs::path& report) {
    const auto pid = ipc_test::reportValue(report, "pid", 5s);
    return pid ? std::stoi(*pid) : -1;
}

bool processGone(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

// One exchange: true when the answer is the request with its bytes inverted.
bool roundTrip(ExternalProcess& process, const std::vector<uint8_t>& request, int timeoutMs = 3000) {
    if (!process.sendMessage(request)) {
        return false;
    }
    const auto answer = process.waitForOutput(timeoutMs);
    if (!answer) {
        return false;
    }
    const bool matches = std::vector<uint8_t>(answer->begin(), answer->end()) == inverted(request);
    process.finishOutput();
    return matches;
}

void expectCleanedUp(pid_t pid, const std::vector<std::string>& names) {
    EXPECT_TRUE(ipc_test::waitUntil([&] { return processGone(pid); }, 5s)) << "program " << pid;
    for (const auto& name : names) {
        EXPECT_FALSE(ipc_test::shmExists(name)) << name;
    }
}

TEST(ExternalProcessIpc, EchoesSmallAndLargeMessagesAndExitsOnRequest) {
    LogCapture log;
    TempDir folder;
    const fs::path report = folder.path() / "report";
    QProcessEnvironment environment;
    environment.insert("VEKAI_TEST_VALUE", "forty-two");
    auto process = startPeer("echo", report, environment);
    ASSERT_TRUE(process);
    EXPECT_TRUE(log.contains("Starting external process at: " IPC_TEST_PEER "\n"));
    const pid_t pid = programPid(report);
    const auto names = channelNames(report);
    EXPECT_EQ(ipc_test::reportValue(report, "env", 1s), "forty-two");
    EXPECT_TRUE(process->isRunning());
    EXPECT_FALSE(process->hasChildProcessExited());

    EXPECT_TRUE(roundTrip(*process, pattern(100, 1)));
    EXPECT_TRUE(log.contains("Received ready signal from external process\n"));
    EXPECT_TRUE(roundTrip(*process, pattern(640 * 640 * 3 * 4, 2)));
    EXPECT_TRUE(roundTrip(*process, pattern(1024, 3)));
    EXPECT_TRUE(roundTrip(*process, pattern(0, 4)));
    process.reset();

    EXPECT_TRUE(log.contains("Sending graceful exit signal to external process.\n"));
    EXPECT_TRUE(log.contains("INFO: External process exited normally with code: 0\n"));
    EXPECT_FALSE(log.contains("forceful kill"));
    expectCleanedUp(pid, names);
}

TEST(ExternalProcessIpc, ConcurrentSendersAndOneReaderPairEveryAnswer) {
    LogCapture log;
    TempDir folder;
    auto process = startPeer("echo", folder.path() / "report");
    ASSERT_TRUE(process);
    constexpr int kSenders = 4;
    constexpr int kPerSender = 25;
    std::set<std::vector<uint8_t>> expected;
    std::set<std::vector<uint8_t>> answers;
    std::thread reader([&] {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (answers.size() < kSenders * kPerSender && std::chrono::steady_clock::now() < deadline) {
            if (auto answer = process->waitForOutput(500)) {
                answers.emplace(answer->begin(), answer->end());
                process->finishOutput();
            }
        }
    });
    std::vector<std::thread> senders;
    std::atomic<int> refused{0};
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kPerSender; ++i) {
                // Retry while the program is still becoming ready.
                const std::vector<uint8_t> message{static_cast<uint8_t>(s), static_cast<uint8_t>(i), 0x5A};
                if (!process->sendMessage(message) && !process->sendMessage(message)) {
                    ++refused;
                }
            }
        });
        for (int i = 0; i < kPerSender; ++i) {
            expected.insert(inverted({static_cast<uint8_t>(s), static_cast<uint8_t>(i), 0x5A}));
        }
    }
    for (auto& sender : senders) {
        sender.join();
    }
    reader.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(answers, expected);
}

TEST(ExternalProcessIpc, LogFileReceivesProgramOutput) {
    LogCapture log;
    TempDir folder;
    const fs::path programLog = folder.path() / "program.log";
    std::ofstream(programLog) << "earlier line\n";
    auto process =
        startPeer("echo", folder.path() / "report", {}, QString::fromStdString(programLog.string()));
    ASSERT_TRUE(process);
    EXPECT_TRUE(log.contains("External process log file: " + programLog.string() + "\n"));
    EXPECT_TRUE(ipc_test::waitUntil(
        [&] { return ipc_test::readFile(programLog).find("peer started in mode echo") != std::string::npos; },
        5s));
    EXPECT_EQ(ipc_test::readFile(programLog).rfind("earlier line\n", 0), 0u) << "appended, not replaced";
}

TEST(ExternalProcessIpc, MissingProgramIsReportedAndNothingIsReturned) {
    LogCapture log;
    auto process = ExternalProcess::create("/nonexistent/processor", {}, {}, {});
    EXPECT_FALSE(process);
    EXPECT_TRUE(log.contains("ERROR: Failed to start external process (file not found or no permissions): "));
}

TEST(ExternalProcessIpc, ProgramExitingAtOnceIsReportedWithCodeAndOutput) {
    LogCapture log;
    TempDir folder;
    auto process = startPeer("exit-now", folder.path() / "report");
    ASSERT_TRUE(process);
    ASSERT_TRUE(ipc_test::waitUntil([&] { return !process->isRunning(); }, 10s));
    EXPECT_TRUE(process->hasChildProcessExited());
    EXPECT_TRUE(log.contains("ERROR: External process crashed! Exit code: 3\n"));
    EXPECT_TRUE(log.contains("External process stdout_data:\nleaving at once\n"));
    EXPECT_TRUE(log.contains("External process stderr:\non purpose\n"));
    process.reset();
    EXPECT_TRUE(log.contains("External process already exited gracefully.\n"));
}

TEST(ExternalProcessIpc, NeverReadyProgramGetsItsRetriesThenIsSkipped) {
    LogCapture log;
    TempDir folder;
    const fs::path report = folder.path() / "report";
    auto process = startPeer("never-ready", report);
    ASSERT_TRUE(process);
    const auto message = pattern(10, 9);
    EXPECT_FALSE(process->sendMessage(message));
    EXPECT_TRUE(log.contains("Warning! External process not ready yet (attempt 1/2).\n"));
    EXPECT_FALSE(process->sendMessage(message));
    EXPECT_TRUE(log.contains("Warning! External process not ready yet (attempt 2/2).\n"));
    EXPECT_FALSE(process->sendMessage(message));
    EXPECT_TRUE(log.contains("Skipping sending input to external process. Max retries reached.\n"));
    EXPECT_TRUE(log.contains("Warning! Could not send input message: 4\n"));
    EXPECT_FALSE(log.contains("attempt 3/"));
    EXPECT_TRUE(process->isRunning());
    const pid_t pid = programPid(report);
    const auto names = channelNames(report);
    process.reset();
    EXPECT_TRUE(log.contains("INFO: External process exited normally with code: 0\n"));
    expectCleanedUp(pid, names);
}

TEST(ExternalProcessIpc, CrashMidExchangeIsNoticedAndThePluginCarriesOn) {
    LogCapture log;
    TempDir folder;
    const fs::path report = folder.path() / "report";
    auto process = startPeer("crash", report);
    ASSERT_TRUE(process);
    const auto names = channelNames(report);
    EXPECT_TRUE(roundTrip(*process, pattern(50, 1)));
    // The program takes the second request and dies before releasing it.
    EXPECT_FALSE(process->sendMessage(pattern(50, 2)));
    EXPECT_TRUE(log.contains("Warning! Could not send input message: 1\n"));
    ASSERT_TRUE(ipc_test::waitUntil([&] { return process->hasChildProcessExited(); }, 10s));
    EXPECT_FALSE(process->isRunning());
    EXPECT_TRUE(
        log.contains("ERROR: External process crashed! Exit code: " + std::to_string(SIGABRT) + "\n"));
    EXPECT_FALSE(process->waitForOutput(50));
    process->finishOutput();
    process.reset();
    EXPECT_TRUE(log.contains("External process already exited gracefully.\n"));
    for (const auto& name : names) {
        EXPECT_FALSE(ipc_test::shmExists(name)) << name;
    }

    auto next = startPeer("echo", folder.path() / "next");
    ASSERT_TRUE(next);
    EXPECT_TRUE(roundTrip(*next, pattern(70, 5)));
}

TEST(ExternalProcessIpc, HangingProgramNeverBlocksACallerAndIsKilledOnDestruction) {
    LogCapture log;
    TempDir folder;
    const fs::path report = folder.path() / "report";
    auto process = startPeer("hang", report);
    ASSERT_TRUE(process);
    const pid_t pid = programPid(report);
    const auto names = channelNames(report);
    EXPECT_FALSE(process->sendMessage(pattern(20, 1)));
    EXPECT_FALSE(process->waitForOutput(100));
    EXPECT_FALSE(process->sendMessage(pattern(20, 2)));
    process.reset();
    EXPECT_TRUE(log.contains("External process did not exit gracefully, requesting forceful kill.\n"));
    EXPECT_TRUE(log.contains("Killing external process on shutdown request.\n"));
    EXPECT_TRUE(
        log.contains("ERROR: External process crashed! Exit code: " + std::to_string(SIGKILL) + "\n"));
    expectCleanedUp(pid, names);
}

TEST(ExternalProcessIpc, ProgramIgnoringTheKillCodeIsKilled) {
    LogCapture log;
    TempDir folder;
    const fs::path report = folder.path() / "report";
    auto process = startPeer("ignore-kill", report);
    ASSERT_TRUE(process);
    const pid_t pid = programPid(report);
    EXPECT_TRUE(roundTrip(*process, pattern(10, 1)));
    process->requestGracefulExit();
    EXPECT_TRUE(roundTrip(*process, pattern(10, 2))) << "still serving after the kill code";
    process.reset();
    EXPECT_TRUE(log.contains("Killing external process on shutdown request.\n"));
    EXPECT_TRUE(ipc_test::waitUntil([&] { return processGone(pid); }, 5s));
}

TEST(ExternalProcessIpc, GracefulExitOnRequest) {
    LogCapture log;
    TempDir folder;
    auto process = startPeer("echo", folder.path() / "report");
    ASSERT_TRUE(process);
    EXPECT_TRUE(roundTrip(*process, pattern(10, 1)));
    process->requestGracefulExit();
    EXPECT_TRUE(ipc_test::waitUntil([&] { return process->hasChildProcessExited(); }, 5s));
    EXPECT_TRUE(log.contains("INFO: External process exited normally with code: 0\n"));
}

// Runs in a forked harness that adopts orphans (child subreaper): it forks a stand-in plugin that
// starts the program, kills the stand-in with SIGKILL and reaps what is left. Exit code 0 = clean.
int runOrphanHarness(const fs::path& report) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const pid_t plugin = fork();
    if (plugin == 0) {
        auto process = startPeer("spawn", report);
        if (!process) {
            _exit(1);
        }
        for (;;) {
            pause();
        }
    }
    const auto program = ipc_test::reportValue(report, "pid", 10s);
    const auto grandchild = ipc_test::reportValue(report, "child", 10s);
    const auto names = channelNames(report);
    kill(plugin, SIGKILL);
    if (!program || !grandchild || names.size() != 4) {
        return 10;
    }
    std::set<pid_t> reaped;
    const bool allGone = ipc_test::waitUntil(
        [&] {
            for (;;) {
                const pid_t pid = waitpid(-1, nullptr, WNOHANG);
                if (pid > 0) {
                    reaped.insert(pid);
                    continue;
                }
                return pid < 0 && errno == ECHILD;
            }
        },
        10s);
    if (!allGone) {
        kill(std::stoi(*program), SIGKILL);
        kill(std::stoi(*grandchild), SIGKILL);
        for (const auto& name : names) {
            shm_unlink(name.c_str());
        }
        return 11;
    }
    if (!reaped.contains(std::stoi(*program)) || !reaped.contains(std::stoi(*grandchild))) {
        return 12;
    }
    int result = 0;
    for (const auto& name : names) {
        if (ipc_test::shmExists(name)) {
            shm_unlink(name.c_str());
            result = 13;
        }
    }
    return result;
}

TEST(ExternalProcessWatchdog, SigkillOfThePluginLeavesNoOrphanAndNoSharedMemory) {
    TempDir folder;
    const pid_t harness = fork();
    if (harness == 0) {
        _exit(runOrphanHarness(folder.path() / "report"));
    }
    ASSERT_GT(harness, 0);
    int status = 0;
    const bool ended =
        ipc_test::waitUntil([&] { return waitpid(harness, &status, WNOHANG) == harness; }, 40s);
    if (!ended) {
        kill(harness, SIGKILL);
        waitpid(harness, &status, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    // 10: the program never reported; 11: something outlived the plugin; 12: the program or its child
    // did not die; 13: a channel object was left in /dev/shm.
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

class ExternalProcessTcp : public ::testing::Test {
protected:
    std::unique_ptr<ipc_test::ChildProgram> startServer(const std::string& mode, uint16_t* port) {
        const fs::path portFile = folder.path() / ("port-" + mode);
        auto server = std::make_unique<ipc_test::ChildProgram>(
            IPC_TEST_PEER,
            std::vector<std::string>{"--tcp", "--port-file", portFile.string(), "--mode", mode});
        ipc_test::waitUntil([&] { return fs::exists(portFile); }, 5s);
        const std::string content = ipc_test::readFile(portFile);
        *port = content.empty() ? 0 : static_cast<uint16_t>(std::stoi(content));
        return server;
    }

    LogCapture log;
    TempDir folder;
};

TEST_F(ExternalProcessTcp, EchoesSmallAndLargeMessages) {
    uint16_t port = 0;
    auto server = startServer("echo", &port);
    ASSERT_NE(port, 0);
    auto process = ExternalProcess::create(port);
    ASSERT_TRUE(process);
    EXPECT_TRUE(process->isRunning());
    EXPECT_FALSE(process->hasChildProcessExited());
    // Nothing to read before the first send connects; the wait is bounded and quiet.
    EXPECT_FALSE(process->waitForOutput(20));
    EXPECT_FALSE(log.contains("connection to external process lost"));
    EXPECT_TRUE(roundTrip(*process, pattern(100, 1)));
    EXPECT_TRUE(roundTrip(*process, pattern(640 * 640 * 3 * 4, 2)));
    EXPECT_TRUE(roundTrip(*process, pattern(0, 3)));
    EXPECT_TRUE(roundTrip(*process, pattern(5000, 4)));
    process->requestGracefulExit();
    EXPECT_TRUE(process->isRunning());
}

TEST_F(ExternalProcessTcp, ClosedPortRefusesTheSend) {
    uint16_t port = 0;
    { auto server = startServer("echo", &port); }
    auto process = ExternalProcess::create(port);
    EXPECT_FALSE(process->sendMessage(pattern(10, 1)));
    EXPECT_TRUE(log.contains(
        "Warning! Could not connect to external process at port: " + std::to_string(port) + "\n"));
}

TEST_F(ExternalProcessTcp, LostConnectionIsReportedOnceAndTheNextSendReconnects) {
    uint16_t port = 0;
    auto server = startServer("close-after-first", &port);
    ASSERT_NE(port, 0);
    auto process = ExternalProcess::create(port);
    EXPECT_TRUE(roundTrip(*process, pattern(10, 1)));
    // The server has closed this connection; the send may still be buffered, the answer never comes.
    process->sendMessage(pattern(10, 2));
    EXPECT_FALSE(process->waitForOutput(2000));
    EXPECT_TRUE(log.contains("Warning! Failed to receive header from external process!\n"));
    EXPECT_FALSE(process->waitForOutput(20));
    EXPECT_FALSE(process->waitForOutput(20));
    const std::string text = log.text();
    const std::string lost = "Warning! TCP connection to external process lost.\n";
    ASSERT_NE(text.find(lost), std::string::npos);
    EXPECT_EQ(text.find(lost, text.find(lost) + 1), std::string::npos) << "reported once";
    EXPECT_TRUE(roundTrip(*process, pattern(10, 3)));
}

TEST_F(ExternalProcessTcp, HostileLengthIsNotReadAndTheConnectionIsDropped) {
    uint16_t port = 0;
    auto server = startServer("hostile-length", &port);
    ASSERT_NE(port, 0);
    auto process = ExternalProcess::create(port);
    EXPECT_TRUE(process->sendMessage(pattern(10, 1)));
    EXPECT_FALSE(process->waitForOutput(300));
    EXPECT_TRUE(log.contains("Warning! TCP read error from external process.\n"));
    EXPECT_TRUE(process->sendMessage(pattern(10, 2))) << "reconnects";
}

}  // namespace
