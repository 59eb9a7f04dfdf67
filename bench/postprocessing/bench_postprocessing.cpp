// Postprocessing pass and tracker timings for N detections against N live tracks, in one class and
// spread over 20 classes, against a plain tracker written straight from the matching rules; ends with
// the figure lines of the benchmark output convention.
#include <benchmark/benchmark.h>

#include <vek/sdk/helpers/uuid_helper.h>
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corvane/vekai_box_geometry.h"
#include "corvane/vekai_postprocessor.h"
#include "corvane/vekai_tracker.h"
#include "utils/plugin_utils.h"

namespace {

using vek::sdk::analytics::Rect;

constexpr int64_t kFrameStepUs = 40000;
constexpr int kModelSize = 640;

// N boxes on a grid over the frame, each overlapping its neighbours a little, so that a detection has
// several candidate tracks, as in a crowded scene. Odd frames shift every box slightly.
std::vector<Rect> sceneBoxes(int count, int frame) {
    const int columns = 10;
    const float pitch = 0.9f / columns;
    const float shift = frame % 2 == 0 ? 0.0f : 0.002f;
    std::vector<Rect> boxes;
    for (int i = 0; i < count; ++i) {
        const float x = 0.02f + static_cast<float>(i % columns) * pitch + shift;
        const float y = 0.02f + static_cast<float>(i / columns) * (0.9f / ((count + columns - 1) / columns));
        boxes.push_back({x, y, pitch * 1.2f, 0.08f});
    }
    return boxes;
}

std::string className(int index) {
    return "class" + std::to_string(index);
}

struct Scene {
    int detections;
    int classes;
    std::vector<vekai::DetectionsByClass> frames;  // even and odd frames
};

Scene makeScene(int detections, int classes) {
    Scene scene{detections, classes, {}};
    for (int frame = 0; frame < 2; ++frame) {
        vekai::DetectionsByClass byClass;
        const auto boxes = sceneBoxes(detections, frame);
        for (int i = 0; i < detections; ++i)
            byClass[className(i % classes)].push_back({boxes[i], 0.9f});
        scene.frames.push_back(std::move(byClass));
    }
    return scene;
}

// ---- the plugin's pass and tracker ----

struct PassFixture {
    std::shared_ptr<ModelDetails_t> model = std::make_shared<ModelDetails_t>();
    std::shared_ptr<DeviceAgentSettings_t> settings = std::make_shared<DeviceAgentSettings_t>();
    InferenceOutput_t results[2];
    vekai::PostProcessor processor{"/tmp"};

    PassFixture(int detections, int classes) {
        model->name = "bench";
        model->inputWidth = kModelSize;
        model->inputHeight = kModelSize;
        std::string outputName = "bboxes-format:xyxysc";
        for (int c = 0; c < classes; ++c) {
            outputName.append(";").append(std::to_string(c)).append(":").append(className(c));
        }
        pipeline_stage_parameters_t stage;
        stage.model = model;
        stage.resizingMethod = vekai::ResizingMethod::Stretch;
        settings->stages.push_back(stage);
        auto details = std::make_shared<DeviceAgentDetails_t>(DeviceAgentDetails_t{"bench-device", "Bench"});
        for (int frame = 0; frame < 2; ++frame) {
            std::vector<float> rows;
            const auto boxes = sceneBoxes(detections, frame);
            for (int i = 0; i < detections; ++i) {
                const Rect& b = boxes[i];
                rows.insert(rows.end(),
                            {b.x * kModelSize, b.y * kModelSize, (b.x + b.width) * kModelSize,
                             (b.y + b.height) * kModelSize, 0.9f, static_cast<float>(i % classes)});
            }
            auto input = std::make_shared<InferenceInput_t>();
            input->frameWidth = kModelSize;
            input->frameHeight = kModelSize;
            input->settings = settings;
            input->details = details;
            input->stage = &settings->stages.front();
            results[frame].input = input;
            results[frame].tensors = allocate_tensors(1, 1);
            const int32_t shape[] = {detections, 6};
            fill_tensor(results[frame].tensors->tensors[0], outputName.c_str(), TENSOR_TYPE_FLOAT32, shape,
                        rows.data(), rows.size() * sizeof(float));
        }
    }

    size_t pass(int64_t frame) {
        InferenceOutput_t& result = results[frame % 2];
        result.input->timestampUs = frame * kFrameStepUs;
        return processor.process(result).objects.size();
    }
};

void BM_Pass(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    PassFixture fixture(n, static_cast<int>(state.range(1)));
    int64_t frame = 0;
    for (; frame < 4; ++frame)
        fixture.pass(frame);
    for (auto _ : state)
        benchmark::DoNotOptimize(fixture.pass(frame++));
}

void BM_Tracker(benchmark::State& state) {
    const Scene scene = makeScene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    vekai::ObjectTracker tracker;
    VekAITimer timer("bench");
    int64_t frame = 0;
    for (auto _ : state) {
        auto reported = tracker.update("bench-device", frame * kFrameStepUs, scene.frames[frame % 2], timer);
        benchmark::DoNotOptimize(reported.size());
        ++frame;
    }
}

// ---- a plain tracker, written straight from the matching rules ----

class PlainTracker {
public:
    vekai::ObjectsByClass update(int64_t now, const vekai::DetectionsByClass& detections) {
        vekai::ObjectsByClass reported;
        for (const auto& [name, classDetections] : detections) {
            auto& tracks = classes[name];
            struct Pair {
                double score;
                size_t detection, track;
            };
            std::vector<Pair> pairs;
            for (size_t t = 0; t < tracks.size(); ++t) {
                if (now - tracks[t]->lastSeenUs > 1000000)
                    continue;
                for (size_t d = 0; d < classDetections.size(); ++d) {
                    const float iou = vekai_calculate_iou(classDetections[d].box, tracks[t]->boundingBox);
                    if (iou > 1e-6f) {
                        const int64_t age = std::max<int64_t>(now - tracks[t]->lastSeenUs, 1000);
                        pairs.push_back({iou / (age / 1000.0), d, t});
                    }
                }
            }
            std::sort(pairs.begin(), pairs.end(),
                      [](const Pair& a, const Pair& b) { return a.score > b.score; });
            std::vector<bool> detectionUsed(classDetections.size()), trackUsed(tracks.size());
            for (const Pair& p : pairs) {
                if (detectionUsed[p.detection] || trackUsed[p.track])
                    continue;
                detectionUsed[p.detection] = trackUsed[p.track] = true;
                auto& track = *tracks[p.track];
                track.boundingBox = classDetections[p.detection].box;
                track.confidence = classDetections[p.detection].score;
                const int64_t previous = track.lastSeenUs;
                track.lastSeenUs = now;
                if (previous - track.firstSeenUs > 100000 && now - previous < 500000)
                    reported[name].push_back(tracks[p.track]);
            }
            if (tracks.size() > 100) {
                std::sort(tracks.begin(), tracks.end(),
                          [](const auto& a, const auto& b) { return a->lastSeenUs > b->lastSeenUs; });
                tracks.resize(70);
            }
            for (size_t d = 0; d < classDetections.size(); ++d) {
                if (detectionUsed[d])
                    continue;
                auto track = std::make_shared<VekAIObject_t>();
                track->firstSeenUs = track->lastSeenUs = now;
                track->trackId = vek::sdk::UuidHelper::randomUuid();
                track->typeId = Utils::toObjectTypeID(name);
                track->boundingBox = classDetections[d].box;
                tracks.push_back(track);
            }
        }
        return reported;
    }

private:
    std::map<std::string, std::vector<vekai::VekAIObjectPtr>> classes;
};

void BM_PlainTracker(benchmark::State& state) {
    const Scene scene = makeScene(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    PlainTracker tracker;
    int64_t frame = 0;
    for (auto _ : state) {
        auto reported = tracker.update(frame * kFrameStepUs, scene.frames[frame % 2]);
        benchmark::DoNotOptimize(reported.size());
        ++frame;
    }
}

// The machine is shared, so every benchmark runs several times and the fastest repetition counts: it is
// the one least disturbed by other work.
constexpr int kRepetitions = 5;

double fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}

const std::vector<int> kSizes{10, 25, 50, 100};

void registerBenchmarks() {
    using Function = void (*)(benchmark::State&);
    const std::pair<const char*, Function> benchmarks[] = {
        {"BM_Pass", BM_Pass}, {"BM_Tracker", BM_Tracker}, {"BM_PlainTracker", BM_PlainTracker}};
    for (const auto& [name, function] : benchmarks) {
        auto* benchmark = benchmark::RegisterBenchmark(name, function)
                              ->UseRealTime()
                              ->Repetitions(kRepetitions)
                              ->DisplayAggregatesOnly(true)
                              ->ComputeStatistics("min", fastest)
                              ->Unit(benchmark::kMicrosecond);
        for (int n : kSizes)
            benchmark->Args({n, 1});
        benchmark->Args({100, 20});
    }
}

// Keeps the console output and remembers the fastest repetition of every benchmark, in microseconds.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min" && !run.error_occurred) {
                const std::string name = run.run_name.function_name + "/" + run.run_name.args;
                microseconds[name] =
                    run.GetAdjustedRealTime() * 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
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

void printComparison(const char* kind, const std::string& id, double value, double baseline) {
    std::printf("%s %s %.2f us baseline %.2f ratio %.3f\n", kind, id.c_str(), value, baseline,
                baseline > 0.0 ? value / baseline : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    registerBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf(
        "\nGrowth with detections x live tracks (one class): whole pass, tracker alone, plain tracker\n");
    for (int n : kSizes) {
        const std::string args = std::to_string(n) + "/1";
        const double pass = reporter.us("BM_Pass/" + args);
        std::printf("info tracker_%dx%d pass %.2f us (%.2f ns per pair) tracker %.2f us plain %.2f us\n", n,
                    n, pass, pass * 1000.0 / (n * n), reporter.us("BM_Tracker/" + args),
                    reporter.us("BM_PlainTracker/" + args));
    }
    printComparison("info", "tracker_100x100_tracker_alone", reporter.us("BM_Tracker/100/1"),
                    reporter.us("BM_PlainTracker/100/1"));
    printComparison("info", "tracker_100x100_20_classes", reporter.us("BM_Pass/100/20"),
                    reporter.us("BM_PlainTracker/100/20"));
    printComparison("figure", "tracker_100x100", reporter.us("BM_Pass/100/1"),
                    reporter.us("BM_PlainTracker/100/1"));
    return 0;
}
