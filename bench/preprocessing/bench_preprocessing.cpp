// Preprocessing of a host frame into a 640x640 model input, against OpenCV and libyuv on one core,
// and against writing the output once; ends with the figure lines of the benchmark output convention.
#include <benchmark/benchmark.h>
#include <emmintrin.h>
#include <libyuv.h>
#include <vek/sdk/analytics/i_data_packet.h>
#include <vek/sdk/helpers/ref_countable.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>
#include <vector>

#include "corvane/vekai_preprocessor.h"
#include "corvane/vekai_video_frame.h"

namespace {

using vekai::ResizingMethod;
using vekai::SimdLevel;
using vekai::VideoFrame;

constexpr int kModel = 640;
constexpr vekai::CropBox kWholeFrame{0, 0, 1, 1};
// Inputs in 0..1, as YOLO models take them; the one normalisation blobFromImage can also do.
constexpr vekai::ChannelValues kMeans{0, 0, 0};
constexpr vekai::ChannelValues kVars{255, 255, 255};
constexpr double kScale = 1.0 / 255.0;

// A decoded frame in one contiguous I420 buffer with tight rows, the form OpenCV's cvtColor needs;
// the host frame interface reads the same memory.
class BenchFrame : public vek::sdk::RefCountable<vek::sdk::analytics::IUncompressedVideoFrame1> {
public:
    BenchFrame(int width, int height) : frameWidth(width), frameHeight(height) {
        buffer.resize(static_cast<size_t>(width) * height * 3 / 2);
        std::mt19937 random(7);
        for (uint8_t& sample : buffer) {
            sample = static_cast<uint8_t>(random());
        }
    }

    int64_t timestampUs() const override { return 0; }
    int width() const override { return frameWidth; }
    int height() const override { return frameHeight; }
    PixelFormat pixelFormat() const override { return PixelFormat::yuv420; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int plane) const override {
        const size_t luma = static_cast<size_t>(frameWidth) * frameHeight;
        return buffer.data() + (plane == 0 ? 0 : plane == 1 ? luma : luma + luma / 4);
    }
    int lineSize(int plane) const override { return plane == 0 ? frameWidth : frameWidth / 2; }
    int dataSize(int plane) const override {
        return lineSize(plane) * (plane == 0 ? frameHeight : frameHeight / 2);
    }

    uint8_t* i420() { return buffer.data(); }

private:
    int frameWidth;
    int frameHeight;
    std::vector<uint8_t> buffer;
};

BenchFrame& frameOf(int height) {
    static vek::sdk::Ptr<BenchFrame> fullHd(new BenchFrame(1920, 1080));
    static vek::sdk::Ptr<BenchFrame> ultraHd(new BenchFrame(3840, 2160));
    return height == 1080 ? *fullHd : *ultraHd;
}

// The letterbox of a 16:9 frame in the model input: 640x360 from row 140.
struct Letterbox {
    int width;
    int height;
    int top;
};

Letterbox letterboxOf(const BenchFrame& frame) {
    const double scale =
        std::min(static_cast<double>(kModel) / frame.width(), static_cast<double>(kModel) / frame.height());
    const int width = static_cast<int>(frame.width() * scale);
    const int height = static_cast<int>(frame.height() * scale);
    return {width, height, (kModel - height) / 2};
}

struct FloatOutput {
    std::vector<float> values = std::vector<float>(static_cast<size_t>(kModel) * kModel * 3);
};

struct ByteOutput {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(static_cast<size_t>(kModel) * kModel * 3);
};

// Fills the padding rows of three planes and splits an interleaved float image into their middle.
void placePlanar(const cv::Mat& image, const Letterbox& box, float padding, float* output) {
    std::vector<cv::Mat> rois;
    for (int c = 0; c < 3; ++c) {
        cv::Mat plane(kModel, kModel, CV_32F, output + static_cast<size_t>(c) * kModel * kModel);
        plane.rowRange(0, box.top).setTo(padding);
        plane.rowRange(box.top + box.height, kModel).setTo(padding);
        rois.push_back(plane(cv::Rect(0, box.top, box.width, box.height)));
    }
    cv::split(image, rois);
}

void vekDirectFloat(benchmark::State& state, int height, SimdLevel level) {
    BenchFrame& frame = frameOf(height);
    FloatOutput out;
    for (auto _ : state) {
        VideoFrame::directPreprocessInto(frame, ImageOrder::Planar, kModel, kModel, 3, kWholeFrame,
                                         ResizingMethod::Letterbox, kMeans, kVars, out.values.data(), level);
        benchmark::DoNotOptimize(out.values.data());
        benchmark::ClobberMemory();
    }
}

void vekDirectBytes(benchmark::State& state, int height, SimdLevel level) {
    BenchFrame& frame = frameOf(height);
    ByteOutput out;
    for (auto _ : state) {
        VideoFrame::directPreprocessUint8Into(frame, kModel, kModel, kWholeFrame, ResizingMethod::Letterbox,
                                              out.bytes.data(), level);
        benchmark::DoNotOptimize(out.bytes.data());
        benchmark::ClobberMemory();
    }
}

pipeline_stage_parameters_t modelStage(TensorElementType type) {
    auto model = std::make_shared<ModelDetails_t>();
    model->id = "bench";
    model->runtimeName = "Generic CPU";
    model->inputs.push_back({"images", 0, type, {1, 3, kModel, kModel}});
    model->inputWidth = kModel;
    model->inputHeight = kModel;
    model->inputChannels = 3;
    model->order = ImageOrder::Planar;
    model->means = kMeans;
    model->vars = kVars;
    pipeline_stage_parameters_t stage;
    stage.model = model;
    stage.resizingMethod = ResizingMethod::Letterbox;
    return stage;
}

// The whole per-frame cost in the plugin: a fresh tensor set whose image buffer the road fills.
void vekPreprocessDirect(benchmark::State& state, int height, TensorElementType type) {
    BenchFrame& frame = frameOf(height);
    const pipeline_stage_parameters_t stage = modelStage(type);
    const vekai::Preprocessor preprocessor;
    for (auto _ : state) {
        TensorsPtr set = preprocessor.preprocessDirect(frame, stage, kWholeFrame);
        benchmark::DoNotOptimize(set->tensors[0].data);
    }
}

void vekTwoStepFloat(benchmark::State& state, int height) {
    BenchFrame& frame = frameOf(height);
    FloatOutput out;
    for (auto _ : state) {
        const VideoFrame image(frame, ImageOrder::Interleaved);
        image.processImageInto(kModel, kModel, 3, ImageOrder::Planar, kWholeFrame, ResizingMethod::Letterbox,
                               kMeans, kVars, out.values.data());
        benchmark::DoNotOptimize(out.values.data());
    }
}

// cvtColor of the whole frame, nearest resize, convertTo with scale and offset, split into planes.
void opencvFloat(benchmark::State& state, int height) {
    BenchFrame& frame = frameOf(height);
    const Letterbox box = letterboxOf(frame);
    const cv::Mat yuv(frame.height() * 3 / 2, frame.width(), CV_8UC1, frame.i420());
    cv::Mat rgb;
    cv::Mat small;
    cv::Mat normalisedImage;
    FloatOutput out;
    for (auto _ : state) {
        cv::cvtColor(yuv, rgb, cv::COLOR_YUV2RGB_I420);
        cv::resize(rgb, small, cv::Size(box.width, box.height), 0, 0, cv::INTER_NEAREST);
        small.convertTo(normalisedImage, CV_32FC3, kScale, 0.0);
        placePlanar(normalisedImage, box, 0.0f, out.values.data());
        benchmark::DoNotOptimize(out.values.data());
    }
}

// cvtColor of the whole frame, nearest resize into a padded canvas, blobFromImage.
void opencvBlob(benchmark::State& state, int height) {
    BenchFrame& frame = frameOf(height);
    const Letterbox box = letterboxOf(frame);
    const cv::Mat yuv(frame.height() * 3 / 2, frame.width(), CV_8UC1, frame.i420());
    cv::Mat rgb;
    cv::Mat canvas(kModel, kModel, CV_8UC3);
    cv::Mat blob;
    for (auto _ : state) {
        cv::cvtColor(yuv, rgb, cv::COLOR_YUV2RGB_I420);
        canvas.rowRange(0, box.top).setTo(cv::Scalar::all(0));
        canvas.rowRange(box.top + box.height, kModel).setTo(cv::Scalar::all(0));
        cv::Mat inside = canvas(cv::Rect(0, box.top, box.width, box.height));
        cv::resize(rgb, inside, inside.size(), 0, 0, cv::INTER_NEAREST);
        cv::dnn::blobFromImage(canvas, blob, kScale, cv::Size(), cv::Scalar(), false, false, CV_32F);
        benchmark::DoNotOptimize(blob.data);
    }
}

struct SmallI420 {
    explicit SmallI420(const Letterbox& box)
        : width(box.width),
          height(box.height),
          y(static_cast<size_t>(width) * height),
          u(static_cast<size_t>(width / 2) * (height / 2)),
          v(u.size()) {}

    // Nearest-neighbour scaling of the planes, then RGB in R, G, B byte order (full-range BT.601).
    void convert(BenchFrame& frame, uint8_t* rgb, int rgbStride) {
        libyuv::I420Scale(frame.data(0), frame.lineSize(0), frame.data(1), frame.lineSize(1), frame.data(2),
                          frame.lineSize(2), frame.width(), frame.height(), y.data(), width, u.data(),
                          width / 2, v.data(), width / 2, width, height, libyuv::kFilterNone);
        libyuv::I420ToRGB24Matrix(y.data(), width, v.data(), width / 2, u.data(), width / 2, rgb, rgbStride,
                                  &libyuv::kYvuJPEGConstants, width, height);
    }

    int width;
    int height;
    std::vector<uint8_t> y;
    std::vector<uint8_t> u;
    std::vector<uint8_t> v;
};

// libyuv scales the planes first and converts only the small image; OpenCV normalises and splits it.
void libyuvFloat(benchmark::State& state, int height) {
    BenchFrame& frame = frameOf(height);
    const Letterbox box = letterboxOf(frame);
    SmallI420 small(box);
    cv::Mat rgb(box.height, box.width, CV_8UC3);
    cv::Mat normalisedImage;
    FloatOutput out;
    for (auto _ : state) {
        small.convert(frame, rgb.data, static_cast<int>(rgb.step));
        rgb.convertTo(normalisedImage, CV_32FC3, kScale, 0.0);
        placePlanar(normalisedImage, box, 0.0f, out.values.data());
        benchmark::DoNotOptimize(out.values.data());
    }
}

void opencvBytes(benchmark::State& state, int height) {
    BenchFrame& frame = frameOf(height);
    const Letterbox box = letterboxOf(frame);
    const cv::Mat yuv(frame.height() * 3 / 2, frame.width(), CV_8UC1, frame.i420());
    cv::Mat rgb;
    ByteOutput out;
    cv::Mat canvas(kModel, kModel, CV_8UC3, out.bytes.data());
    for (auto _ : state) {
        cv::cvtColor(yuv, rgb, cv::COLOR_YUV2RGB_I420);
        canvas.rowRange(0, box.top).setTo(cv::Scalar::all(0));
        canvas.rowRange(box.top + box.height, kModel).setTo(cv::Scalar::all(0));
        cv::Mat inside = canvas(cv::Rect(0, box.top, box.width, box.height));
        cv::resize(rgb, inside, inside.size(), 0, 0, cv::INTER_NEAREST);
        benchmark::DoNotOptimize(out.bytes.data());
    }
}

void libyuvBytes(benchmark::State& state, int height) {
    BenchFrame& frame = frameOf(height);
    const Letterbox box = letterboxOf(frame);
    SmallI420 small(box);
    ByteOutput out;
    const size_t row = static_cast<size_t>(kModel) * 3;
    for (auto _ : state) {
        std::memset(out.bytes.data(), 0, row * static_cast<size_t>(box.top));
        small.convert(frame, out.bytes.data() + row * static_cast<size_t>(box.top), static_cast<int>(row));
        const size_t below = static_cast<size_t>(box.top + box.height);
        std::memset(out.bytes.data() + row * below, 0, row * (static_cast<size_t>(kModel) - below));
        benchmark::DoNotOptimize(out.bytes.data());
    }
}

// The floor: writing the float output once, by memset and by non-temporal stores.
void writeFloorMemset(benchmark::State& state) {
    FloatOutput out;
    for (auto _ : state) {
        std::memset(out.values.data(), 0, out.values.size() * sizeof(float));
        benchmark::DoNotOptimize(out.values.data());
        benchmark::ClobberMemory();
    }
}

void writeFloorStream(benchmark::State& state) {
    FloatOutput out;
    float* aligned = out.values.data();
    while (reinterpret_cast<uintptr_t>(aligned) % 16 != 0) {
        ++aligned;
    }
    const size_t count = (out.values.size() - static_cast<size_t>(aligned - out.values.data())) / 4 * 4;
    for (auto _ : state) {
        const __m128 zero = _mm_setzero_ps();
        for (size_t i = 0; i < count; i += 4) {
            _mm_stream_ps(aligned + i, zero);
        }
        _mm_sfence();
        benchmark::DoNotOptimize(out.values.data());
        benchmark::ClobberMemory();
    }
}

void registerAll() {
    // The machine may be shared: processor time, median of five repetitions, is what a run is judged by.
    const auto add = [](const std::string& name, auto function, auto... args) {
        benchmark::RegisterBenchmark(name.c_str(), function, args...)
            ->Unit(benchmark::kMicrosecond)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    };
    for (int height : {1080, 2160}) {
        const std::string size = height == 1080 ? "1080p" : "2160p";
        add("fp32_" + size + "/vek_direct_avx2", vekDirectFloat, height, SimdLevel::Avx2);
        add("fp32_" + size + "/vek_direct_scalar", vekDirectFloat, height, SimdLevel::Scalar);
        add("fp32_" + size + "/vek_preprocess_direct", vekPreprocessDirect, height, TENSOR_TYPE_FLOAT32);
        add("fp32_" + size + "/vek_two_step", vekTwoStepFloat, height);
        add("fp32_" + size + "/opencv_cvtcolor_resize_convert", opencvFloat, height);
        add("fp32_" + size + "/opencv_blob_from_image", opencvBlob, height);
        add("fp32_" + size + "/libyuv_scale_convert", libyuvFloat, height);
        add("u8_" + size + "/vek_direct_avx2", vekDirectBytes, height, SimdLevel::Avx2);
        add("u8_" + size + "/vek_direct_scalar", vekDirectBytes, height, SimdLevel::Scalar);
        add("u8_" + size + "/vek_preprocess_direct", vekPreprocessDirect, height, TENSOR_TYPE_UINT8);
        add("u8_" + size + "/opencv_cvtcolor_resize", opencvBytes, height);
        add("u8_" + size + "/libyuv_scale_convert", libyuvBytes, height);
    }
    add("fp32_floor/memset", writeFloorMemset);
    add("fp32_floor/stream", writeFloorStream);
}

// Keeps the console output and remembers the median processor time of every benchmark, in microseconds.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" && !run.error_occurred) {
                microseconds[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // 0 when the benchmark did not run (filtered out).
    double us(const std::string& name) const {
        const auto found = microseconds.find(name);
        return found == microseconds.end() ? 0.0 : found->second;
    }

    // The fastest of the named benchmarks that ran.
    double best(std::initializer_list<std::string> names) const {
        double fastest = 0.0;
        for (const std::string& name : names) {
            const double value = us(name);
            if (value > 0.0 && (fastest == 0.0 || value < fastest)) {
                fastest = value;
            }
        }
        return fastest;
    }

private:
    std::map<std::string, double> microseconds;
};

void printComparison(const char* kind, const std::string& id, double value, double baseline) {
    std::printf("%s %s %.1f us baseline %.1f ratio %.3f\n", kind, id.c_str(), value, baseline,
                baseline > 0.0 ? value / baseline : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    // Every contender runs on one core.
    cv::setNumThreads(1);
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const RecordingReporter& r = reporter;
    const double floor = r.best({"fp32_floor/memset", "fp32_floor/stream"});
    std::printf("\nAVX2 available: %s\n", vekai::cpuHasAVX2() ? "yes" : "no");
    for (const std::string size : {"1080p", "2160p"}) {
        const std::string fp32 = "fp32_" + size;
        const std::string u8 = "u8_" + size;
        const double fp32Baseline =
            r.best({fp32 + "/opencv_cvtcolor_resize_convert", fp32 + "/opencv_blob_from_image",
                    fp32 + "/libyuv_scale_convert"});
        const double u8Baseline = r.best({u8 + "/opencv_cvtcolor_resize", u8 + "/libyuv_scale_convert"});
        printComparison("info", "preprocess_fp32_" + size + "_avx2_vs_scalar",
                        r.us(fp32 + "/vek_direct_avx2"), r.us(fp32 + "/vek_direct_scalar"));
        printComparison("info", "preprocess_u8_" + size + "_avx2_vs_scalar", r.us(u8 + "/vek_direct_avx2"),
                        r.us(u8 + "/vek_direct_scalar"));
        printComparison("info", "preprocess_fp32_" + size + "_tensor_set",
                        r.us(fp32 + "/vek_preprocess_direct"), fp32Baseline);
        printComparison("info", "preprocess_u8_" + size + "_tensor_set", r.us(u8 + "/vek_preprocess_direct"),
                        u8Baseline);
        if (size == "2160p") {
            printComparison("info", "preprocess_fp32_2160p", r.us(fp32 + "/vek_direct_avx2"), fp32Baseline);
            printComparison("info", "preprocess_u8_2160p", r.us(u8 + "/vek_direct_avx2"), u8Baseline);
        }
    }
    const double fp32 = r.us("fp32_1080p/vek_direct_avx2");
    printComparison("figure", "preprocess_fp32_1080p", fp32,
                    r.best({"fp32_1080p/opencv_cvtcolor_resize_convert", "fp32_1080p/opencv_blob_from_image",
                            "fp32_1080p/libyuv_scale_convert"}));
    printComparison("figure", "preprocess_u8_1080p", r.us("u8_1080p/vek_direct_avx2"),
                    r.best({"u8_1080p/opencv_cvtcolor_resize", "u8_1080p/libyuv_scale_convert"}));
    printComparison("figure", "preprocess_fp32_floor", fp32, floor);
    return 0;
}
