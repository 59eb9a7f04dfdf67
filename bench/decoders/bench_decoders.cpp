// Decoder and NMS timings against a plain reference decoder, a plain streaming read of the same bytes
// and OpenCV's NMSBoxes; ends with the figure lines of the benchmark output convention.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <opencv2/dnn/dnn.hpp>
#include <string>
#include <vector>

#include "corvane/raw_postprocessors/raw_postprocessor_utils.h"
#include "corvane/raw_postprocessors/rtdetr_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_anchor_based_postprocessor.h"
#include "corvane/raw_postprocessors/yolo_anchor_free_postprocessor.h"
#include "reference_decoders.h"
#include "synthetic_outputs.h"
#include "utils/tensor_utils.h"

namespace {

constexpr int kClasses = 80;
constexpr int kProposals = 8400;
constexpr int kRealisticHot = 300;
constexpr int kPathologicalHot = 6000;
constexpr float kConfidence = 0.25f;
constexpr float kIou = 0.45f;

TensorsPtr floatSet(const std::vector<float>& data, std::vector<int32_t> shape) {
    TensorsPtr set = allocate_tensors(1, 1);
    fill_tensor(set->tensors[0], "output0", TENSOR_TYPE_FLOAT32, shape, data.data(),
                data.size() * sizeof(float));
    return set;
}

struct Yolov8Case {
    std::vector<float> data;
    TensorsPtr set;
    std::vector<RawDetectionBox> candidates;
};

// Candidates as the decoder sees them before its NMS: every proposal whose best class beats the threshold.
std::vector<RawDetectionBox> candidatesOf(const std::vector<float>& data) {
    std::vector<RawDetectionBox> candidates;
    const size_t n = kProposals;
    for (size_t p = 0; p < n; ++p) {
        float best = kConfidence;
        int bestClass = -1;
        for (int k = 0; k < kClasses; ++k) {
            if (data[(4 + k) * n + p] > best) {
                best = data[(4 + k) * n + p];
                bestClass = k;
            }
        }
        if (bestClass >= 0) {
            const float cx = data[p], cy = data[n + p], w = data[2 * n + p], h = data[3 * n + p];
            candidates.push_back(
                {cx - w * 0.5f, cy - h * 0.5f, cx + w * 0.5f, cy + h * 0.5f, best, bestClass});
        }
    }
    return candidates;
}

Yolov8Case makeYolov8Case(int hot, bool spread) {
    Yolov8Case c;
    c.data = synthetic::anchorFreeOutput(kClasses, kProposals, hot, 8400, spread);
    c.set = floatSet(c.data, {1, 4 + kClasses, kProposals});
    c.candidates = candidatesOf(c.data);
    return c;
}

const Yolov8Case& realistic() {
    static const Yolov8Case c = makeYolov8Case(kRealisticHot, false);
    return c;
}

const Yolov8Case& pathological() {
    static const Yolov8Case c = makeYolov8Case(kPathologicalHot, true);
    return c;
}

const Yolov8Case& yolov8Case(int64_t pathologicalFlag) {
    return pathologicalFlag != 0 ? pathological() : realistic();
}

void BM_Yolov8Decode(benchmark::State& state) {
    const Yolov8Case& c = yolov8Case(state.range(0));
    const AnchorFreeArgmaxOptions options{static_cast<int>(state.range(1)), true};
    size_t rows = 0;
    for (auto _ : state) {
        TensorsPtr decoded = decodeAnchorFreeYoloOutput(c.set.get(), kConfidence, kIou, options);
        rows = decoded->count == 0 ? 0 : static_cast<size_t>(decoded->tensors[0].shape[0]);
        benchmark::DoNotOptimize(decoded.get());
    }
    state.counters["candidates"] = static_cast<double>(c.candidates.size());
    state.counters["detections"] = static_cast<double>(rows);
}
void BM_Yolov8Reference(benchmark::State& state) {
    const Yolov8Case& c = yolov8Case(state.range(0));
    for (auto _ : state) {
        reference::Rows rows =
            reference::anchorFreeYolo(c.data.data(), 4 + kClasses, kProposals, kConfidence, kIou);
        benchmark::DoNotOptimize(rows.data());
    }
}

// The least any decoder must do: touch every byte of the output once.
void BM_Yolov8StreamingRead(benchmark::State& state) {
    const std::vector<float>& data = realistic().data;
    std::vector<uint32_t> words(data.size());
    std::memcpy(words.data(), data.data(), data.size() * sizeof(float));
    for (auto _ : state) {
        uint32_t sum = 0;
        for (uint32_t w : words) {
            sum += w;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(words.size() * sizeof(uint32_t)));
}

void BM_NmsAgnostic(benchmark::State& state) {
    const std::vector<RawDetectionBox>& candidates = yolov8Case(state.range(0)).candidates;
    size_t kept = 0;
    for (auto _ : state) {
        std::vector<RawDetectionBox> result = rawPostprocessorNms(candidates, kIou, true);
        kept = result.size();
        benchmark::DoNotOptimize(result.data());
    }
    state.counters["candidates"] = static_cast<double>(candidates.size());
    state.counters["kept"] = static_cast<double>(kept);
}

void BM_OpenCvNmsBoxes(benchmark::State& state) {
    const std::vector<RawDetectionBox>& candidates = yolov8Case(state.range(0)).candidates;
    std::vector<cv::Rect2d> boxes;
    std::vector<float> scores;
    for (const RawDetectionBox& b : candidates) {
        boxes.emplace_back(b.x1, b.y1, b.x2 - b.x1, b.y2 - b.y1);
        scores.push_back(b.score);
    }
    std::vector<int> indices;
    for (auto _ : state) {
        cv::dnn::NMSBoxes(boxes, scores, 0.0f, kIou, indices);
        benchmark::DoNotOptimize(indices.data());
    }
    state.counters["candidates"] = static_cast<double>(candidates.size());
    state.counters["kept"] = static_cast<double>(indices.size());
}

void BM_NmsPerClass(benchmark::State& state) {
    const std::vector<RawDetectionBox>& candidates = yolov8Case(state.range(0)).candidates;
    for (auto _ : state) {
        std::vector<RawDetectionBox> result = rawPostprocessorNms(candidates, kIou, false);
        benchmark::DoNotOptimize(result.data());
    }
}

// OpenCV 4.6 has no batched NMS; shifting each class to its own region is the usual stand-in.
void BM_OpenCvNmsBoxesPerClass(benchmark::State& state) {
    const std::vector<RawDetectionBox>& candidates = yolov8Case(state.range(0)).candidates;
    std::vector<cv::Rect2d> boxes;
    std::vector<float> scores;
    for (const RawDetectionBox& b : candidates) {
        const double offset = 10000.0 * b.classId;
        boxes.emplace_back(b.x1 + offset, b.y1 + offset, b.x2 - b.x1, b.y2 - b.y1);
        scores.push_back(b.score);
    }
    std::vector<int> indices;
    for (auto _ : state) {
        cv::dnn::NMSBoxes(boxes, scores, 0.0f, kIou, indices);
        benchmark::DoNotOptimize(indices.data());
    }
}

const std::vector<float>& yolov5Data() {
    static const std::vector<float> data = synthetic::anchorBasedOutput(kClasses, 25200, 400, 25200);
    return data;
}

void BM_Yolov5Decode(benchmark::State& state) {
    static const TensorsPtr set = floatSet(yolov5Data(), {1, 25200, 5 + kClasses});
    for (auto _ : state) {
        TensorsPtr decoded = decodeAnchorBasedYoloOutput(set.get(), kConfidence, kIou);
        benchmark::DoNotOptimize(decoded.get());
    }
}

void BM_Yolov5Reference(benchmark::State& state) {
    for (auto _ : state) {
        reference::Rows rows =
            reference::anchorBasedYolo(yolov5Data().data(), 25200, 5 + kClasses, kConfidence, kIou);
        benchmark::DoNotOptimize(rows.data());
    }
}

const synthetic::DetrOutput& rtDetrData() {
    static const synthetic::DetrOutput output = synthetic::rtDetrOutput(300, kClasses, 40, 300);
    return output;
}

void BM_RtDetrDecode(benchmark::State& state) {
    static const TensorsPtr set = [] {
        TensorsPtr s = allocate_tensors(1, 2);
        const std::vector<int32_t> logitsShape = {1, 300, kClasses};
        const std::vector<int32_t> boxesShape = {1, 300, 4};
        fill_tensor(s->tensors[0], "pred_logits", TENSOR_TYPE_FLOAT32, logitsShape,
                    rtDetrData().logits.data(), rtDetrData().logits.size() * sizeof(float));
        fill_tensor(s->tensors[1], "pred_boxes", TENSOR_TYPE_FLOAT32, boxesShape, rtDetrData().boxes.data(),
                    rtDetrData().boxes.size() * sizeof(float));
        return s;
    }();
    for (auto _ : state) {
        TensorsPtr decoded = decodeRtDetrOutput(set.get(), 0.5f, 640, 640);
        benchmark::DoNotOptimize(decoded.get());
    }
}

void BM_RtDetrReference(benchmark::State& state) {
    for (auto _ : state) {
        reference::Rows rows = reference::rtDetr(rtDetrData().logits.data(), rtDetrData().boxes.data(), 300,
                                                 kClasses, 0.5f, 640, 640);
        benchmark::DoNotOptimize(rows.data());
    }
}

// The machine is shared, so every benchmark runs several times and the fastest repetition counts: it is
// the one least disturbed by other work.
constexpr int kRepetitions = 5;

double fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}

benchmark::internal::Benchmark* add(const char* name, void (*function)(benchmark::State&)) {
    return benchmark::RegisterBenchmark(name, function)
        ->UseRealTime()
        ->Repetitions(kRepetitions)
        ->DisplayAggregatesOnly(true)
        ->ComputeStatistics("min", fastest);
}

void registerBenchmarks() {
    // Args: pathological?, threads (0 = as in production: up to 4, as the hardware allows).
    add("BM_Yolov8Decode", BM_Yolov8Decode)->Args({0, 1})->Args({0, 0})->Args({1, 1})->Args({1, 0});
    add("BM_Yolov8Reference", BM_Yolov8Reference)->Arg(0)->Arg(1);
    add("BM_Yolov8StreamingRead", BM_Yolov8StreamingRead);
    add("BM_NmsAgnostic", BM_NmsAgnostic)->Arg(0)->Arg(1);
    add("BM_OpenCvNmsBoxes", BM_OpenCvNmsBoxes)->Arg(0)->Arg(1);
    add("BM_NmsPerClass", BM_NmsPerClass)->Arg(0)->Arg(1);
    add("BM_OpenCvNmsBoxesPerClass", BM_OpenCvNmsBoxesPerClass)->Arg(0)->Arg(1);
    add("BM_Yolov5Decode", BM_Yolov5Decode);
    add("BM_Yolov5Reference", BM_Yolov5Reference);
    add("BM_RtDetrDecode", BM_RtDetrDecode);
    add("BM_RtDetrReference", BM_RtDetrReference);
}

// Keeps the console output and remembers the fastest repetition of every benchmark, in milliseconds.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min" && !run.error_occurred) {
                // Keyed as "BM_Name/args/real_time", without the repetition count and statistic.
                std::string name = run.run_name.function_name;
                if (!run.run_name.args.empty()) {
                    name += "/" + run.run_name.args;
                }
                name += "/real_time";
                milliseconds[name] =
                    run.GetAdjustedRealTime() * 1e3 / benchmark::GetTimeUnitMultiplier(run.time_unit);
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

void printComparison(const char* kind, const char* id, double value, double baseline) {
    std::printf("%s %s %.4f ms baseline %.4f ratio %.3f\n", kind, id, value, baseline,
                baseline > 0.0 ? value / baseline : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    registerBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const RecordingReporter& r = reporter;
    std::printf("\nrealistic YOLOv8 case: %zu candidates; pathological case: %zu candidates\n",
                realistic().candidates.size(), pathological().candidates.size());
    printComparison("info", "decode_yolov8_auto_threads", r.ms("BM_Yolov8Decode/0/0/real_time"),
                    r.ms("BM_Yolov8Reference/0/real_time"));
    printComparison("info", "decode_yolov8_pathological_one_thread", r.ms("BM_Yolov8Decode/1/1/real_time"),
                    r.ms("BM_Yolov8Reference/1/real_time"));
    printComparison("info", "decode_yolov8_pathological_auto_threads", r.ms("BM_Yolov8Decode/1/0/real_time"),
                    r.ms("BM_Yolov8Reference/1/real_time"));
    printComparison("info", "nms_pathological_vs_opencv", r.ms("BM_NmsAgnostic/1/real_time"),
                    r.ms("BM_OpenCvNmsBoxes/1/real_time"));
    printComparison("info", "nms_per_class_vs_opencv_offset", r.ms("BM_NmsPerClass/0/real_time"),
                    r.ms("BM_OpenCvNmsBoxesPerClass/0/real_time"));
    printComparison("info", "nms_per_class_pathological_vs_opencv_offset", r.ms("BM_NmsPerClass/1/real_time"),
                    r.ms("BM_OpenCvNmsBoxesPerClass/1/real_time"));
    printComparison("info", "decode_yolov5", r.ms("BM_Yolov5Decode/real_time"),
                    r.ms("BM_Yolov5Reference/real_time"));
    printComparison("info", "decode_rtdetr", r.ms("BM_RtDetrDecode/real_time"),
                    r.ms("BM_RtDetrReference/real_time"));

    const double decode = r.ms("BM_Yolov8Decode/0/1/real_time");
    printComparison("figure", "decode_yolov8", decode, r.ms("BM_Yolov8Reference/0/real_time"));
    printComparison("figure", "decode_yolov8_read", decode, r.ms("BM_Yolov8StreamingRead/real_time"));
    printComparison("figure", "nms_vs_opencv", r.ms("BM_NmsAgnostic/0/real_time"),
                    r.ms("BM_OpenCvNmsBoxes/0/real_time"));
    return 0;
}
