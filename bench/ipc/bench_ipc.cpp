// Round trip of a request and its echoed answer through ExternalProcess, over the shared-memory channel
// and over TCP loopback, against a plain memcpy of the same bytes; ends with the figure lines.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "corvane/vekai_external_process.h"

namespace {

constexpr size_t kSmall = 1024;
constexpr size_t kTensor = 640 * 640 * 3 * sizeof(float);
constexpr auto kAnswerTimeout = std::chrono::seconds(5);

std::vector<uint8_t> message(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    return bytes;
}

// An echo program behind ExternalProcess with a reader thread that takes answers off the transport,
// as the plugin's dispatch does.
class EchoRig {
public:
    explicit EchoRig(std::unique_ptr<ExternalProcess> started) : process(std::move(started)) {
        if (process) {
            reader = std::jthread([this](std::stop_token stop) { readAnswers(stop); });
        }
    }

    ~EchoRig() {
        reader = {};
        process.reset();
    }

    // Sends and waits for the whole answer; false when either side fails or the answer is late.
    bool roundTrip(const std::vector<uint8_t>& request) {
        if (!process || !process->sendMessage(request)) {
            return false;
        }
        return answered.try_acquire_for(kAnswerTimeout) && answerLength.load() == request.size();
    }

    // The program needs a moment to announce readiness; the first sends may be refused.
    bool warmUp(const std::vector<uint8_t>& request) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (roundTrip(request)) {
                return true;
            }
        }
        return false;
    }

private:
    void readAnswers(const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            if (const auto answer = process->waitForOutput(100)) {
                answerLength.store(answer->size());
                process->finishOutput();
                answered.release();
            }
        }
    }

    std::unique_ptr<ExternalProcess> process;
    std::binary_semaphore answered{0};
    std::atomic<size_t> answerLength{0};
    std::jthread reader;
};

// The echo program serving TCP on a free port, stopped with the process.
class TcpEchoServer {
public:
    TcpEchoServer() {
        portFile = std::filesystem::temp_directory_path() / ("bench_ipc_port_" + std::to_string(getpid()));
        std::filesystem::remove(portFile);
        const pid_t parent = getpid();
        child = fork();
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(1);
            }
            execl(IPC_ECHO_PEER, IPC_ECHO_PEER, "--tcp", portFile.c_str(), nullptr);
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream file(portFile);
            std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            if (!text.empty() && text.back() == '\n') {
                port = static_cast<uint16_t>(std::stoi(text));
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    ~TcpEchoServer() {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove(portFile, ignored);
    }

    uint16_t port = 0;

private:
    std::filesystem::path portFile;
    pid_t child = -1;
};

void runRoundTrips(benchmark::State& state, EchoRig& rig) {
    const auto request = message(static_cast<size_t>(state.range(0)));
    if (!rig.warmUp(request)) {
        state.SkipWithError("the echo program does not answer");
        return;
    }
    for (auto _ : state) {
        if (!rig.roundTrip(request)) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 2);
}

void BM_IpcRoundTrip(benchmark::State& state) {
    EchoRig rig(ExternalProcess::create(IPC_ECHO_PEER, {}, {}, {}));
    runRoundTrips(state, rig);
}
BENCHMARK(BM_IpcRoundTrip)->Arg(kSmall)->Arg(kTensor)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_TcpRoundTrip(benchmark::State& state) {
    TcpEchoServer server;
    if (server.port == 0) {
        state.SkipWithError("the TCP echo program did not start");
        return;
    }
    EchoRig rig(ExternalProcess::create(server.port));
    runRoundTrips(state, rig);
}
BENCHMARK(BM_TcpRoundTrip)->Arg(kTensor)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_Memcpy(benchmark::State& state) {
    const auto source = message(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> target(source.size());
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(kSmall)->Arg(kTensor)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Keeps the console output and remembers the mean real time of every benchmark, in microseconds.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
                microseconds[run.benchmark_name()] =
                    run.real_accumulated_time * 1e6 / static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double us(const std::string& name) const {
        const auto found = microseconds.find(name);
        return found == microseconds.end() ? 0.0 : found->second;
    }

private:
    std::map<std::string, double> microseconds;
};

std::string name(const char* benchmark, size_t size) {
    return std::string(benchmark) + "/" + std::to_string(size) + "/real_time";
}

void printFigure(const char* id, double value, double baseline) {
    std::printf("figure %s %.3f us baseline %.3f ratio %.3f\n", id, value, baseline,
                baseline > 0.0 ? value / baseline : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const RecordingReporter& r = reporter;
    std::printf("\n");
    printFigure("ipc_rtt_1k_us", r.us(name("BM_IpcRoundTrip", kSmall)), r.us(name("BM_Memcpy", kSmall)));
    printFigure("ipc_rtt_4_9mb", r.us(name("BM_IpcRoundTrip", kTensor)), r.us(name("BM_Memcpy", kTensor)));
    printFigure("tcp_rtt_4_9mb", r.us(name("BM_TcpRoundTrip", kTensor)), r.us(name("BM_Memcpy", kTensor)));
    return 0;
}
