// The real chain on a real model: frames of vtest.avi through our Preprocessor, the inference engine
// and the CPU runtime running the converted NanoDet-m, then the anchor-free decoder.
#include <rapidjson/document.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "corvane/raw_postprocessors/yolo_anchor_free_postprocessor.h"
#include "corvane/vekai_inference_engine.h"
#include "corvane/vekai_preprocessor.h"
#include "messaging_manager.h"
#include "runtime_test_support.h"
#include "vekhost/video_file_source.h"

namespace fs = std::filesystem;
using runtimetest::ScratchDir;

namespace {

const fs::path kCache = VEK_DEPS_CACHE;
const fs::path kModel = kCache / "nanodet-m-416" / "nanodet-m-416.onnx";
const fs::path kOriginalModel = kCache / "nanodet-m-416" / "tfjs" / "nanodet.json";
const fs::path kNodeModules = kCache / "tfjs-4.22.0" / "node_modules";
const fs::path kVideo = kCache / "video" / "vtest.avi";
const fs::path kCheckScript = fs::path(VEK_SOURCE_DIR) / "tools" / "model_converter" / "tfjs_check.js";
const fs::path kFixture = fs::path(VEK_SOURCE_DIR) / "tests" / "runtime" / "fixtures" / "nanodet_vtest.json";

constexpr int kSize = 416;
constexpr int kAnchors = 3549;
constexpr int kRows = 84;

struct Fixture {
    std::vector<int> frames;
    double tolerance = 0;
    int personFrame = 0;
    float confidence = 0;
    float iou = 0;
    float boxTolerance = 0;
    float scoreTolerance = 0;
    std::vector<std::array<float, 5>> persons;
};

Fixture readFixture() {
    rapidjson::Document document;
    const std::string text = runtimetest::readText(kFixture);
    document.Parse(text.c_str());
    Fixture fixture;
    if (document.HasParseError() || !document.IsObject()) {
        ADD_FAILURE() << "cannot read " << kFixture;
        return fixture;
    }
    for (const auto& frame : document["frames"].GetArray()) {
        fixture.frames.push_back(frame.GetInt());
    }
    fixture.tolerance = document["tfjs_tolerance"].GetDouble();
    fixture.personFrame = document["person_frame"].GetInt();
    fixture.confidence = document["confidence"].GetFloat();
    fixture.iou = document["iou"].GetFloat();
    fixture.boxTolerance = document["box_tolerance_px"].GetFloat();
    fixture.scoreTolerance = document["score_tolerance"].GetFloat();
    for (const auto& person : document["persons"].GetArray()) {
        std::array<float, 5> row{};
        for (size_t i = 0; i < row.size(); ++i) {
            row[i] = person[static_cast<rapidjson::SizeType>(i)].GetFloat();
        }
        fixture.persons.push_back(row);
    }
    return fixture;
}

uint64_t fnv1a(uint64_t hash, const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    return hash;
}

std::vector<float> readFloats(const fs::path& path) {
    const std::string bytes = runtimetest::readText(path);
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

// The original graph's decoded output for each input, computed once per input and kept in the cache:
// the pure-JavaScript run takes tens of seconds per frame.
std::vector<std::vector<float>> originalOutputs(const std::vector<std::vector<float>>& inputs) {
    const fs::path folder = kCache / "nanodet-m-416" / "tfjs-check";
    fs::create_directories(folder);
    const std::string model = runtimetest::readText(kOriginalModel) + runtimetest::readText(kCheckScript);
    std::vector<fs::path> paths;
    std::string missing;
    for (const std::vector<float>& input : inputs) {
        uint64_t hash = fnv1a(1469598103934665603ull, model.data(), model.size());
        hash = fnv1a(hash, input.data(), input.size() * sizeof(float));
        const fs::path path = folder / (std::to_string(hash) + ".f32");
        paths.push_back(path);
        if (!fs::exists(path.string() + ".expected")) {
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(input.data()),
                       static_cast<std::streamsize>(input.size() * 4));
            missing += " '" + path.string() + "'";
        }
    }
    if (!missing.empty()) {
        const fs::path log = folder / "node.log";
        const std::string command = "node '" + kCheckScript.string() + "' '" + kNodeModules.string() + "' '" +
                                    kOriginalModel.string() + "'" + missing + " >'" + log.string() + "' 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command << "\n" << runtimetest::readText(log);
    }
    std::vector<std::vector<float>> outputs;
    for (const fs::path& path : paths) {
        outputs.push_back(readFloats(path.string() + ".expected"));
    }
    return outputs;
}

class NanoDetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(kModel)) << "run scripts/install-deps";
        ASSERT_TRUE(fs::exists(kVideo)) << "run scripts/install-deps";
        fs::create_directories(root.path / "inference_engine");
        const std::string unpack = "tar -xzf '" + std::string(VEK_CPU_RUNTIME_PACKAGE) + "' -C '" +
                                   (root.path / "inference_engine").string() + "'";
        ASSERT_EQ(std::system(unpack.c_str()), 0);
        runtimetest::keepLoaded(root.path / "inference_engine" / "libonnxruntime.so.1");

        model = std::make_shared<ModelDetails_t>();
        model->id = "nanodet-m-416";
        model->name = "NanoDet-m";
        model->status = 2;
        model->sourcePath = kModel.string();
        model->inputs = {
            TensorDetails_t{"images", kSize * kSize * 3 * 4, TENSOR_TYPE_FLOAT32, {1, 3, kSize, kSize}}};
        model->outputs = {
            TensorDetails_t{"output0", kRows * kAnchors * 4, TENSOR_TYPE_FLOAT32, {1, kRows, kAnchors}}};
        model->inputWidth = kSize;
        model->inputHeight = kSize;
        model->inputChannels = 3;
        model->order = ImageOrder::Planar;
        model->means = {123.675f, 116.28f, 103.53f};
        model->vars = {58.395f, 57.12f, 57.375f};
        stage.stageId = "detector";
        stage.model = model;
        stage.resizingMethod = vekai::ResizingMethod::Letterbox;
        engine = std::make_unique<InferenceEngine>(
            root.path.string(), InferenceEngine::ModelMap{{model->id, model}}, queue, messages);
        ASSERT_EQ(engine->getState(), EngineState::RUNNING);
    }

    // The model inputs of the given frames, in order.
    std::vector<TensorsPtr> preprocessFrames(const std::vector<int>& wanted) {
        auto source = vekhost::VideoFileSource::open(kVideo, false);
        EXPECT_TRUE(source.ok()) << source.error();
        std::vector<TensorsPtr> inputs;
        vekai::Preprocessor preprocessor;
        const int last = wanted.empty() ? -1 : *std::max_element(wanted.begin(), wanted.end());
        std::vector<TensorsPtr> byIndex(static_cast<size_t>(last + 1));
        for (int index = 0; source.ok() && index <= last; ++index) {
            vekhost::NextFrame next = source.value()->next();
            if (next.state != vekhost::NextFrame::State::frame) {
                ADD_FAILURE() << "vtest.avi ended at frame " << index;
                break;
            }
            if (std::find(wanted.begin(), wanted.end(), index) != wanted.end()) {
                byIndex[static_cast<size_t>(index)] =
                    preprocessor.preprocessDirect(*next.frame.frame, stage, vekai::CropBox{0, 0, 1, 1});
            }
        }
        for (int index : wanted) {
            inputs.push_back(std::move(byIndex[static_cast<size_t>(index)]));
        }
        return inputs;
    }

    // Runs one input set through the engine; returns the output set.
    TensorsPtr infer(TensorsPtr input) {
        auto request = std::make_shared<InferenceInput_t>();
        request->stage = &stage;
        request->details = std::make_shared<DeviceAgentDetails_t>(DeviceAgentDetails_t{"vtest", "vtest"});
        EXPECT_TRUE(engine->sendInput(request, input));
        auto output = queue.pop_wait(60000);
        if (!output) {
            ADD_FAILURE() << "no output within a minute";
            return nullptr;
        }
        EXPECT_EQ(output->input, request);
        return std::move(output->tensors);
    }

    ScratchDir root;
    MessagingManager messages;
    InferenceEngine::OutputQueue queue{64};
    std::shared_ptr<ModelDetails_t> model;
    pipeline_stage_parameters_t stage;
    std::unique_ptr<InferenceEngine> engine;
};

std::vector<float> imageOf(const Tensors& set) {
    std::vector<float> values(set.tensors[0].size / sizeof(float));
    std::memcpy(values.data(), set.tensors[0].data, set.tensors[0].size);
    return values;
}

TEST_F(NanoDetTest, ConvertedModelMatchesTheOriginalGraphOnRealFrames) {
    const Fixture fixture = readFixture();
    std::vector<TensorsPtr> inputs = preprocessFrames(fixture.frames);
    std::vector<std::vector<float>> images;
    for (const TensorsPtr& input : inputs) {
        ASSERT_NE(input, nullptr);
        ASSERT_EQ(input->count, 1);
        EXPECT_STREQ(input->tensors[0].name, "images");
        images.push_back(imageOf(*input));
    }
    const std::vector<std::vector<float>> expected = originalOutputs(images);
    double largest = 0;
    for (size_t i = 0; i < inputs.size(); ++i) {
        TensorsPtr output = infer(std::move(inputs[i]));
        ASSERT_NE(output, nullptr);
        ASSERT_EQ(output->count, 1);
        const Tensor& decoded = output->tensors[0];
        EXPECT_STREQ(decoded.name, "output0");
        ASSERT_EQ(decoded.rank, 3);
        EXPECT_EQ(decoded.shape[1], kRows);
        EXPECT_EQ(decoded.shape[2], kAnchors);
        const std::vector<float> actual = runtimetest::floatValues(decoded);
        ASSERT_EQ(actual.size(), expected[i].size());
        for (size_t v = 0; v < actual.size(); ++v) {
            largest = std::max(largest, static_cast<double>(std::fabs(actual[v] - expected[i][v])));
        }
    }
    std::cout << "largest difference from the original graph: " << largest << "\n";
    RecordProperty("tfjs_max_abs_difference", std::to_string(largest));
    EXPECT_LE(largest, fixture.tolerance);
}

TEST_F(NanoDetTest, PersonsOnAFixedFrameMatchTheRecordedOnes) {
    const Fixture fixture = readFixture();
    std::vector<TensorsPtr> inputs = preprocessFrames({fixture.personFrame});
    ASSERT_EQ(inputs.size(), 1u);
    ASSERT_NE(inputs[0], nullptr);
    TensorsPtr output = infer(std::move(inputs[0]));
    ASSERT_NE(output, nullptr);
    TensorsPtr decoded = decodeAnchorFreeYoloOutput(output.get(), fixture.confidence, fixture.iou);
    ASSERT_NE(decoded, nullptr);
    std::vector<std::array<float, 5>> persons;
    if (decoded->count > 0) {
        const std::vector<float> rows = runtimetest::floatValues(decoded->tensors[0]);
        for (size_t r = 0; r + 6 <= rows.size(); r += 6) {
            if (rows[r + 5] == 0) {
                persons.push_back({rows[r], rows[r + 1], rows[r + 2], rows[r + 3], rows[r + 4]});
            }
        }
    }
    for (const auto& p : persons) {
        std::cout << "person [" << p[0] << ", " << p[1] << ", " << p[2] << ", " << p[3] << ", " << p[4]
                  << "]\n";
    }
    ASSERT_EQ(persons.size(), fixture.persons.size());
    // Both lists are in proposal order, which a correct model and decoder reproduce exactly.
    for (size_t i = 0; i < persons.size(); ++i) {
        for (int c = 0; c < 4; ++c) {
            EXPECT_NEAR(persons[i][c], fixture.persons[i][c], fixture.boxTolerance) << "person " << i;
        }
        EXPECT_NEAR(persons[i][4], fixture.persons[i][4], fixture.scoreTolerance) << "person " << i;
    }
}

}  // namespace
