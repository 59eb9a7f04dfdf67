// Per-frame inference time of NanoDet-m 416 through the CPU runtime library (enqueue to retrieve)
// against ONNX Runtime called directly, and with two workers in parallel; ends with the figure lines.
#include <benchmark/benchmark.h>
#include <onnxruntime_c_api.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corvane/vekai_runtime.h"

namespace fs = std::filesystem;

namespace {

const fs::path kModel = fs::path(VEK_DEPS_CACHE) / "nanodet-m-416" / "nanodet-m-416.onnx";
constexpr int64_t kInputShape[] = {1, 3, 416, 416};
constexpr size_t kInputValues = 3 * 416 * 416;

// Every inference gets the same input; what NanoDet costs does not depend on the picture.
const std::vector<float>& input() {
    static const std::vector<float> values = [] {
        std::vector<float> v(kInputValues);
        for (size_t i = 0; i < v.size(); ++i) {
            v[i] = static_cast<float>((i * 2654435761u) % 1000) / 500.0f - 1.0f;
        }
        return v;
    }();
    return values;
}

// CPU time of every thread of the process, in milliseconds: on a busy machine it tells the work done
// per frame apart from the time spent waiting for a processor.
double processCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Reports the process CPU time per iteration since construction as the counter "process_cpu_ms".
class CpuTimeCounter {
public:
    explicit CpuTimeCounter(benchmark::State& state) : state(state), start(processCpuMs()) {}
    ~CpuTimeCounter() {
        if (state.iterations() > 0) {
            state.counters["process_cpu_ms"] =
                (processCpuMs() - start) / static_cast<double>(state.iterations());
        }
    }

private:
    benchmark::State& state;
    double start;
};

std::string intraOpThreads() {
    return std::to_string(std::max(1u, std::thread::hardware_concurrency()));
}

// The runtime package unpacked into a scratch folder for the life of the program.
class UnpackedRuntime {
public:
    UnpackedRuntime() {
        std::string pattern = (fs::temp_directory_path() / "vek-bench-runtime-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        folder = pattern;
        const std::string command =
            "tar -xzf '" + std::string(VEK_CPU_RUNTIME_PACKAGE) + "' -C '" + folder + "'";
        unpacked = std::system(command.c_str()) == 0;
    }
    ~UnpackedRuntime() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    std::string library() const { return unpacked ? folder + "/libRuntimeLibrary.so" : std::string(); }

private:
    std::string folder;
    bool unpacked = false;
};

const UnpackedRuntime& unpackedRuntime() {
    static UnpackedRuntime instance;
    return instance;
}

// The baseline: one ONNX Runtime session with the same settings the library gives its sessions.
void BM_OrtDirect(benchmark::State& state) {
    const OrtApi* api = OrtGetApiBase()->GetApi(ORT_API_VERSION);
    OrtEnv* env = nullptr;
    OrtSessionOptions* options = nullptr;
    OrtSession* session = nullptr;
    OrtMemoryInfo* memory = nullptr;
    bool ok = api->CreateEnv(ORT_LOGGING_LEVEL_ERROR, "bench", &env) == nullptr &&
              api->CreateSessionOptions(&options) == nullptr &&
              api->SetIntraOpNumThreads(options, std::stoi(intraOpThreads())) == nullptr &&
              api->SetInterOpNumThreads(options, 1) == nullptr &&
              api->SetSessionGraphOptimizationLevel(options, ORT_ENABLE_ALL) == nullptr &&
              api->CreateSession(env, kModel.c_str(), options, &session) == nullptr &&
              api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memory) == nullptr;
    if (!ok) {
        state.SkipWithError("ONNX Runtime could not load the model");
    }
    std::vector<float> data = input();
    const char* inputName = "images";
    const char* outputName = "output0";
    CpuTimeCounter cpu(state);
    for (auto _ : state) {
        if (!ok) {
            break;
        }
        OrtValue* tensor = nullptr;
        OrtValue* output = nullptr;
        OrtStatus* status =
            api->CreateTensorWithDataAsOrtValue(memory, data.data(), data.size() * sizeof(float), kInputShape,
                                                4, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &tensor);
        if (status == nullptr) {
            status = api->Run(session, nullptr, &inputName, &tensor, 1, &outputName, 1, &output);
        }
        if (status != nullptr) {
            api->ReleaseStatus(status);
            state.SkipWithError("inference failed");
        }
        api->ReleaseValue(output);
        api->ReleaseValue(tensor);
    }
    api->ReleaseMemoryInfo(memory);
    api->ReleaseSession(session);
    api->ReleaseSessionOptions(options);
    api->ReleaseEnv(env);
}

TensorsPtr request(int32_t id) {
    TensorsPtr set = allocate_tensors(id, 1);
    const int32_t shape[] = {1, 3, 416, 416};
    fill_tensor(set->tensors[0], "images", TENSOR_TYPE_FLOAT32, shape, input().data(),
                kInputValues * sizeof(float));
    return set;
}

// The CPU runtime library loaded as the plugin loads it, started with `args` and the model.
std::unique_ptr<VekaiRuntime> startRuntime(benchmark::State& state,
                                           const std::vector<std::pair<std::string, std::string>>& args) {
    auto runtime = std::make_unique<VekaiRuntime>(unpackedRuntime().library());
    std::vector<const char*> keys;
    std::vector<const char*> values;
    for (const auto& [key, value] : args) {
        keys.push_back(key.c_str());
        values.push_back(value.c_str());
    }
    Config config{static_cast<int32_t>(args.size()), keys.data(), values.data()};
    ModelConfig model{};
    const std::string path = kModel.string();
    model.path = path.c_str();
    if (!runtime->isLoaded() || runtime->init(config) != 0 || runtime->loadModels(1, &model) != 0) {
        state.SkipWithError("the CPU runtime could not start");
        return nullptr;
    }
    return runtime;
}

bool roundTrip(VekaiRuntime& runtime, TensorsPtr& set) {
    if (runtime.enqueueInput(0, set.get()) != 0) {
        return false;
    }
    (void)set.release();
    int model = 0;
    Tensors* output = nullptr;
    const bool ok = runtime.retrieveOutput(&model, &output, 60000) == 0 && output != nullptr;
    TensorsDeleter()(output);
    return ok;
}

// One frame at a time, as the baseline runs, with the same thread count.
void BM_Library(benchmark::State& state) {
    auto runtime = startRuntime(state, {{"workers", "1"}, {"intra_op_threads", intraOpThreads()}});
    if (runtime == nullptr) {
        return;
    }
    CpuTimeCounter cpu(state);
    for (auto _ : state) {
        state.PauseTiming();
        TensorsPtr set = request(1);
        state.ResumeTiming();
        if (!roundTrip(*runtime, set)) {
            state.SkipWithError("inference through the library failed");
            break;
        }
    }
    runtime->cleanup();
}

// Two workers with one thread each and two frames always in flight: the time per frame in a stream.
void BM_LibraryTwoWorkers(benchmark::State& state) {
    auto runtime = startRuntime(state, {{"workers", "2"}, {"intra_op_threads", "1"}});
    if (runtime == nullptr) {
        return;
    }
    int32_t id = 0;
    for (int i = 0; i < 2; ++i) {
        TensorsPtr set = request(id++);
        if (runtime->enqueueInput(0, set.get()) == 0) {
            (void)set.release();
        }
    }
    CpuTimeCounter cpu(state);
    for (auto _ : state) {
        state.PauseTiming();
        TensorsPtr set = request(id++);
        state.ResumeTiming();
        int model = 0;
        Tensors* output = nullptr;
        if (runtime->retrieveOutput(&model, &output, 60000) != 0 ||
            runtime->enqueueInput(0, set.get()) != 0) {
            state.SkipWithError("inference through the library failed");
            break;
        }
        (void)set.release();
        TensorsDeleter()(output);
    }
    runtime->cleanup();
}

BENCHMARK(BM_OrtDirect)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(6);
BENCHMARK(BM_Library)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(6);
BENCHMARK(BM_LibraryTwoWorkers)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(6);

// Keeps the console output and remembers the median real time of every benchmark, in milliseconds.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" && !run.error_occurred) {
                milliseconds[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double ms(const std::string& name) const {
        const auto found = milliseconds.find(name);
        return found == milliseconds.end() ? 0.0 : found->second;
    }

private:
    std::map<std::string, double> milliseconds;
};

void printFigure(const char* id, double value, double baseline) {
    std::printf("figure %s %.3f ms baseline %.3f ratio %.3f\n", id, value, baseline,
                baseline > 0.0 ? value / baseline : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    // Repetitions of the three benchmarks run interleaved, so that a change in the machine's load
    // during the run weighs on the library and on its baseline alike.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.push_back(interleave.data());
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\n");
    printFigure("cpu_runtime_overhead", reporter.ms("BM_Library"), reporter.ms("BM_OrtDirect"));
    printFigure("cpu_runtime_nanodet_ms", reporter.ms("BM_LibraryTwoWorkers"), reporter.ms("BM_OrtDirect"));
    return 0;
}
