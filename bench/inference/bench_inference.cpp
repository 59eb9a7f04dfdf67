// The frame path end to end: N cameras push 1080p frames into the inference manager as fast as it
// takes them while the reference runtime answers at once. Compared with the preprocessing ceiling,
// the frames per second that one preprocess of a 1080p frame per frame allows on this machine's cores.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <time.h>
#include <vek/sdk/analytics/i_data_packet.h>
#include <vek/sdk/helpers/ref_countable.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "corvane/vekai_preprocessor.h"
#include "corvane_interface.h"
#include "messaging_manager.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kModelSize = 416;  // the shipped detector's input
constexpr auto kRunTime = std::chrono::seconds(3);
constexpr const char* kBoxes = "bboxes-format:xyxysc;0:person";
constexpr const char* kInputDrop = "Warning! Input processing queue is full!";
constexpr const char* kOutputDrop = "Warning! Output processing queue is full!";

// A decoded 1080p frame with tight rows; the pushing camera stamps it before each push, which is
// safe because the inference manager copies what it needs before sendInputMessage returns.
class BenchFrame : public vek::sdk::RefCountable<vek::sdk::analytics::IUncompressedVideoFrame1> {
public:
    BenchFrame() : buffer(static_cast<size_t>(kWidth) * kHeight * 3 / 2) {
        std::mt19937 random(7);
        for (uint8_t& sample : buffer)
            sample = static_cast<uint8_t>(random());
    }
    int64_t timestampUs() const override { return timestamp; }
    int width() const override { return kWidth; }
    int height() const override { return kHeight; }
    PixelFormat pixelFormat() const override { return PixelFormat::yuv420; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int plane) const override {
        const size_t luma = static_cast<size_t>(kWidth) * kHeight;
        return buffer.data() + (plane == 0 ? 0 : plane == 1 ? luma : luma + luma / 4);
    }
    int lineSize(int plane) const override { return plane == 0 ? kWidth : kWidth / 2; }
    int dataSize(int plane) const override { return lineSize(plane) * (plane == 0 ? kHeight : kHeight / 2); }

    int64_t timestamp = 0;

private:
    static constexpr int kWidth = 1920;
    static constexpr int kHeight = 1080;
    std::vector<uint8_t> buffer;
};

int usableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return CPU_COUNT(&set);
}

// A working directory with the reference runtime and a detector that finds one person and names a
// category in every answer, so that every inferred frame comes back through its callback.
struct Workspace {
    fs::path dir;
    std::shared_ptr<ModelDetails_t> model = std::make_shared<ModelDetails_t>();

    Workspace() {
        char pattern[] = "/tmp/vek-bench-inference-XXXXXX";
        dir = mkdtemp(pattern);
        fs::create_directories(dir / "inference_engine");
        fs::copy_file(VEK_REFERENCE_RUNTIME, dir / "inference_engine" / "libRuntimeLibrary.so");
        std::ofstream(dir / "detector.json")
            << R"({"outputs":[{"name":")" << kBoxes << R"(","type":1,"shape":[1,1,6],)"
            << R"("values":[100,100,300,300,0.9,0]},{"name":"scores-0:busy","type":1,"shape":[1],"values":[1]}]})";
        model->id = "detector";
        model->name = "detector";
        model->status = static_cast<int32_t>(ModelStatus::READY);
        model->sourcePath = (dir / "detector.json").string();
        model->runtimePath = model->sourcePath;
        model->inputWidth = kModelSize;
        model->inputHeight = kModelSize;
        model->inputChannels = 3;
        model->vars = {255, 255, 255};
        model->inputs = {
            {"image", 4 * 3 * kModelSize * kModelSize, TensorElementType(1), {1, 3, kModelSize, kModelSize}}};
        model->outputs = {{kBoxes, 24, TensorElementType(1), {1, 1, 6}},
                          {"scores-0:busy", 4, TensorElementType(1), {1}}};
        model->boxesOutputName = kBoxes;
        model->boxesClassNames = {"person"};
        vekai_initialize_logging((dir / "start.log").c_str(), (dir / "rotating.log").c_str(), "", false, true,
                                 1);
    }
    ~Workspace() {
        vekai_finalise_logging();
        std::error_code error;
        fs::remove_all(dir, error);
    }

    pipeline_stage_parameters_t stage(bool videoFrameRoad) const {
        pipeline_stage_parameters_t stage;
        stage.stageId = "detector";
        stage.model = model;
        stage.resizingMethod = vekai::ResizingMethod::Letterbox;
        stage.activeClasses = {{"person", true}};
        stage.useVideoFrame = videoFrameRoad;
        return stage;
    }

    size_t logCount(const std::string& needle) const {
        size_t count = 0;
        for (const char* name : {"start.log", "rotating.log"}) {
            std::ifstream in(dir / name);
            for (std::string line; std::getline(in, line);)
                count += line.find(needle) != std::string::npos ? 1 : 0;
        }
        return count;
    }
};

Workspace& workspace() {
    static Workspace instance;
    return instance;
}

// The calling thread's own processor time: the host thread's cost without its waits for a core.
double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double percentile(std::vector<double>& values, double fraction) {
    if (values.empty())
        return 0;
    const size_t at =
        std::min(values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

struct EndToEnd {
    double framesInPerSecond = 0;
    double inferredPerSecond = 0;
    double packetsPerSecond = 0;
    double hostMedianMs = 0;
    double hostP99Ms = 0;
    double hostCpuP99Ms = 0;
    size_t inputDrops = 0;
    size_t outputDrops = 0;
    size_t framesIn = 0;
    size_t inferred = 0;
};

std::map<std::string, EndToEnd> endToEndResults;

// One camera per thread, each pushing its next frame as soon as the previous call returned, or, paced,
// once the previous frame came back, so that every frame is admitted and the host thread's time is
// that of a frame actually prepared rather than of an immediate refusal.
EndToEnd runCameras(int cameras, bool videoFrameRoad, bool paced) {
    Workspace& work = workspace();
    MessagingManager messages;
    CorvaneInterface corvane(work.dir.string(), work.dir.string(), messages);
    corvane.initialize();
    corvane.processParameters({{work.model->id, work.model}});
    auto settings = std::make_shared<DeviceAgentSettings_t>();
    settings->active = true;
    settings->stages = {work.stage(videoFrameRoad)};

    std::atomic<size_t> inferred{0};
    std::atomic<size_t> packets{0};
    std::vector<std::atomic<size_t>> inferredByCamera(static_cast<size_t>(cameras));
    const auto callbackFor = [&](size_t camera) -> InferenceResultCallback {
        return [&, camera](ObjectPacketPtr objects, EventPacketPtr events,
                           std::vector<BestShotPacketPtr> bestShots) {
            inferred.fetch_add(1, std::memory_order_relaxed);
            inferredByCamera[camera].fetch_add(1, std::memory_order_release);
            packets.fetch_add((objects ? 1 : 0) + (events ? 1 : 0) + bestShots.size(),
                              std::memory_order_relaxed);
        };
    };
    const size_t inputDropsBefore = work.logCount(kInputDrop);
    const size_t outputDropsBefore = work.logCount(kOutputDrop);

    std::atomic<bool> running{true};
    std::vector<std::vector<double>> hostMs(static_cast<size_t>(cameras));
    std::vector<std::vector<double>> hostCpuMs(static_cast<size_t>(cameras));
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int camera = 0; camera < cameras; ++camera) {
        threads.emplace_back([&, camera] {
            auto details = std::make_shared<DeviceAgentDetails_t>(
                DeviceAgentDetails_t{"camera-" + std::to_string(camera), "Camera"});
            const vek::sdk::Ptr<BenchFrame> frame(new BenchFrame());
            const auto hostFrame =
                vek::sdk::shareToPtr<vek::sdk::analytics::IUncompressedVideoFrame1>(frame.get());
            int64_t timestamp = vekai_current_timestamp_us();
            auto& times = hostMs[static_cast<size_t>(camera)];
            auto& cpuTimes = hostCpuMs[static_cast<size_t>(camera)];
            const InferenceResultCallback callback = callbackFor(static_cast<size_t>(camera));
            auto& returned = inferredByCamera[static_cast<size_t>(camera)];
            while (running.load(std::memory_order_relaxed)) {
                const size_t returnedBefore = returned.load(std::memory_order_acquire);
                frame->timestamp = timestamp;
                timestamp += 40000;
                const double cpuBefore = threadCpuMs();
                const auto before = Clock::now();
                corvane.sendInputMessage(hostFrame, settings, details, callback);
                times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
                cpuTimes.push_back(threadCpuMs() - cpuBefore);
                const auto deadline = Clock::now() + std::chrono::milliseconds(200);
                while (paced && returned.load(std::memory_order_acquire) == returnedBefore &&
                       Clock::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    std::this_thread::sleep_for(kRunTime);
    running.store(false);
    for (auto& thread : threads)
        thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    corvane.waitForInFlightInferences();
    const size_t inferredAtEnd = inferred.load();
    const size_t packetsAtEnd = packets.load();
    corvane.stopInferenceEngine();

    EndToEnd result;
    std::vector<double> all;
    for (auto& times : hostMs)
        all.insert(all.end(), times.begin(), times.end());
    result.framesIn = all.size();
    result.inferred = inferredAtEnd;
    result.framesInPerSecond = static_cast<double>(all.size()) / seconds;
    result.inferredPerSecond = static_cast<double>(inferredAtEnd) / seconds;
    result.packetsPerSecond = static_cast<double>(packetsAtEnd) / seconds;
    result.hostMedianMs = percentile(all, 0.5);
    result.hostP99Ms = percentile(all, 0.99);
    std::vector<double> allCpu;
    for (auto& times : hostCpuMs)
        allCpu.insert(allCpu.end(), times.begin(), times.end());
    result.hostCpuP99Ms = percentile(allCpu, 0.99);
    result.inputDrops = work.logCount(kInputDrop) - inputDropsBefore;
    result.outputDrops = work.logCount(kOutputDrop) - outputDropsBefore;
    return result;
}

void endToEnd(benchmark::State& state, const std::string& road, bool videoFrameRoad, bool paced) {
    const int cameras = static_cast<int>(state.range(0));
    EndToEnd result;
    for (auto _ : state)
        result = runCameras(cameras, videoFrameRoad, paced);
    state.counters["frames_in/s"] = result.framesInPerSecond;
    state.counters["inferred/s"] = result.inferredPerSecond;
    state.counters["packets_out/s"] = result.packetsPerSecond;
    state.counters["host_median_ms"] = result.hostMedianMs;
    state.counters["host_p99_ms"] = result.hostP99Ms;
    state.counters["host_cpu_p99_ms"] = result.hostCpuP99Ms;
    state.counters["not_inferred"] =
        static_cast<double>(result.framesIn - std::min(result.framesIn, result.inferred));
    state.counters["input_drops"] = static_cast<double>(result.inputDrops);
    state.counters["output_drops"] = static_cast<double>(result.outputDrops);
    endToEndResults[road + "/" + std::to_string(cameras)] = result;
}

// The preprocessing the direct road does on the host thread for every frame, alone on one core.
void preprocessOne(benchmark::State& state) {
    const vek::sdk::Ptr<BenchFrame> frame(new BenchFrame());
    const auto stage = workspace().stage(false);
    vekai::Preprocessor preprocessor;
    for (auto _ : state) {
        TensorsPtr tensors = preprocessor.preprocessDirect(*frame, stage, {0, 0, 1, 1});
        benchmark::DoNotOptimize(tensors.get());
    }
}

double preprocessMedianUs = 0;

class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_name.function_name == "preprocess_1080p_direct" && !run.error_occurred &&
                (run.run_type != Run::RT_Aggregate || run.aggregate_name == "median"))
                preprocessMedianUs = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("preprocess_1080p_direct", preprocessOne)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    struct Road {
        std::string name;
        bool videoFrame;
        bool paced;
        std::vector<int64_t> cameras;
    };
    for (const Road& road : {Road{"direct", false, false, {1, 4}}, Road{"video_frame", true, false, {1, 4}},
                             Road{"direct_paced", false, true, {1}}}) {
        auto* registered = benchmark::RegisterBenchmark(
            ("e2e_" + road.name + "_road").c_str(),
            [road](benchmark::State& state) { endToEnd(state, road.name, road.videoFrame, road.paced); });
        registered->ArgName("cameras")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
        for (const int64_t cameras : road.cameras)
            registered->Arg(cameras);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const int cores = usableCores();
    const double ceilingFps = preprocessMedianUs > 0 ? cores * 1e6 / preprocessMedianUs : 0;
    std::printf("\nCores: %d, one 1080p preprocess (%llux%llu fp32): %.1f us, ceiling %.0f frames/s\n", cores,
                static_cast<unsigned long long>(kModelSize), static_cast<unsigned long long>(kModelSize),
                preprocessMedianUs, ceilingFps);
    for (const auto& [name, r] : endToEndResults) {
        std::printf(
            "info e2e_%s_cameras: frames in %.0f/s, inferred %.0f/s, packets out %.0f/s, host thread median "
            "%.3f ms p99 %.3f ms (processor time p99 %.3f ms), frames %zu, inferred %zu, not inferred %zu "
            "(of which input pool full %zu, "
            "output pool full %zu)\n",
            name.c_str(), r.framesInPerSecond, r.inferredPerSecond, r.packetsPerSecond, r.hostMedianMs,
            r.hostP99Ms, r.hostCpuP99Ms, r.framesIn, r.inferred,
            r.framesIn - std::min(r.framesIn, r.inferred), r.inputDrops, r.outputDrops);
    }
    if (preprocessMedianUs <= 0)
        return 0;
    // The host thread's time against the one preprocess it must do: one paced camera, so that every
    // frame is prepared and no other camera holds the core it waits for.
    const auto direct1 = endToEndResults.find("direct_paced/1");
    if (direct1 != endToEndResults.end()) {
        const double preprocessMs = preprocessMedianUs / 1000.0;
        std::printf("figure hostthread_p99_ms %.3f ms baseline %.3f ratio %.3f\n", direct1->second.hostP99Ms,
                    preprocessMs, direct1->second.hostP99Ms / preprocessMs);
    }
    const auto direct4 = endToEndResults.find("direct/4");
    if (direct4 != endToEndResults.end()) {
        std::printf("figure e2e_ref_fps_4cam %.1f fps baseline %.1f ratio %.3f\n",
                    direct4->second.inferredPerSecond, ceilingFps,
                    direct4->second.inferredPerSecond / ceilingFps);
    }
    return 0;
}
