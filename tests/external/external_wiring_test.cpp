// External processors in the inference manager's frame path, with the reference runtime: an objects
// postprocessor changes what the host receives, a preprocessor that answers late costs only its own
// answers, and shutdown asks every program to exit.
#include <gtest/gtest.h>

#include <vek/sdk/helpers/ref_countable.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "../ipc/ipc_test_support.h"
#include "corvane_interface.h"
#include "messaging_manager.h"
#include "vekai_utilities/vekai_utils.h"

// After the inference engine's header: Qt's keyword macros would rename a member there.
#include "corvane/vekai_external_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A grey planar YUV 4:2:0 frame.
class Frame : public vek::sdk::RefCountable<vek::sdk::analytics::IUncompressedVideoFrame1> {
public:
    Frame(int width, int height, int64_t timestamp) : w(width), h(height), timestamp(timestamp) {
        for (int plane = 0; plane < 3; ++plane)
            planes[plane].assign(size_t(lineSize(plane) * (plane == 0 ? h : h / 2)), 128);
    }
    int64_t timestampUs() const override { return timestamp; }
    int width() const override { return w; }
    int height() const override { return h; }
    PixelFormat pixelFormat() const override { return PixelFormat::yuv420; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int plane) const override { return planes[plane].data(); }
    int lineSize(int plane) const override { return plane == 0 ? w : w / 2; }
    int dataSize(int plane) const override { return int(planes[plane].size()); }

private:
    int w;
    int h;
    int64_t timestamp;
    std::vector<uint8_t> planes[3];
};

// The "Side" attribute of the first object delivered with one, once it comes.
class SideCollector {
public:
    InferenceResultCallback callback() {
        return [this](ObjectPacketPtr objects, EventPacketPtr, std::vector<BestShotPacketPtr>) {
            if (!objects)
                return;
            std::lock_guard lock(mutex);
            for (int i = 0; i < objects->count(); ++i) {
                const vek::sdk::Ptr<const vek::sdk::analytics::IObjectMetadata> object(objects->at(i));
                for (int a = 0; a < object->attributeCount(); ++a) {
                    // Handed out with a reference of its own.
                    const vek::sdk::Ptr<const vek::sdk::analytics::IAttribute> attribute(
                        object->attribute(a));
                    if (attribute && std::string(attribute->name()) == "Side")
                        side = attribute->value();
                }
            }
            changed.notify_all();
        };
    }
    std::optional<std::string> waitForSide(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, limit, [&] { return side.has_value(); });
        return side;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::string> side;
};

TEST(ExternalProcessorsInTheFramePath, ObjectsPostprocessorTagsDeliveredObjectsAndLatePreprocessorIsSkipped) {
    ipc_test::LogCapture log;
    ipc_test::TempDir work;
    const fs::path root = work.path();
    fs::create_directories(root / "inference_engine");
    fs::copy_file(VEK_REFERENCE_RUNTIME, root / "inference_engine" / "libRuntimeLibrary.so");
    // One person in the left half of the 64x64 model input, in model pixels.
    std::ofstream(root / "detector.json")
        << R"({"outputs":[{"name":"bboxes-format:xyxysc;0:person","type":1,"shape":[1,1,6],)"
           R"("values":[4,16,28,48,0.9,0]}]})";
    fs::create_directories(root / "preprocessors");
    std::ofstream(root / "preprocessors" / "external_preprocessors.json")
        << R"([{"Name": "late", "Command": ")" EXTERNAL_TEST_PROCESSOR R"(", "TimeoutMs": 50}])";
    fs::create_directories(root / "postprocessors");
    std::ofstream(root / "postprocessors" / "external_postprocessors.json")
        << R"([{"Name": "tagger", "Command": ")" SAMPLE_OBJECT_TAGGER R"("}])";

    auto model = std::make_shared<ModelDetails_t>();
    model->id = "m1";
    model->name = "detector";
    model->status = int32_t(ModelStatus::READY);
    model->sourcePath = (root / "detector.json").string();
    model->runtimePath = model->sourcePath;
    model->inputWidth = 64;
    model->inputHeight = 64;
    model->inputChannels = 3;
    model->inputs.push_back({"images", 4 * 3 * 64 * 64, TensorElementType(1), {1, 3, 64, 64}});
    model->outputs.push_back({"bboxes-format:xyxysc;0:person", 24, TensorElementType(1), {1, 1, 6}});
    model->boxesOutputName = model->outputs[0].name;
    model->boxesClassNames = {"person"};

    MessagingManager messages;
    CorvaneInterface corvane(root.string(), root.string(), messages);
    corvane.initialize();
    ASSERT_EQ(corvane.getExternalPreprocessors().size(), 1u);
    ASSERT_EQ(corvane.getExternalPostprocessors().size(), 1u);
    corvane.processParameters({{"m1", model}});
    ASSERT_TRUE(corvane.hasInferenceEngine());

    auto settings = std::make_shared<DeviceAgentSettings_t>();
    settings->active = true;
    pipeline_stage_parameters_t stage;
    stage.stageId = "m1-0";
    stage.model = model;
    stage.resizingMethod = vekai::ResizingMethod::Stretch;
    stage.activeClasses = {{"person", true}};
    stage.externalPreprocessor = &corvane.getExternalPreprocessors().at("late");
    stage.externalPostprocessor = &corvane.getExternalPostprocessors().at("tagger");
    stage.useVideoFrame = true;
    settings->stages.push_back(stage);
    auto details = std::make_shared<DeviceAgentDetails_t>(DeviceAgentDetails_t{"dev-1", "Camera"});

    SideCollector collector;
    const int64_t start = vekai_current_timestamp_us();
    std::optional<std::string> side;
    for (int i = 0; i < 20 && !side; ++i) {
        const vek::sdk::Ptr<vek::sdk::analytics::IUncompressedVideoFrame1> frame(
            new Frame(320, 240, start + i * 200000));
        corvane.sendInputMessage(frame, settings, details, collector.callback());
        side = collector.waitForSide(500ms);
    }
    ASSERT_TRUE(side) << "no tagged object came back";
    EXPECT_EQ(*side, "left");
    EXPECT_TRUE(log.contains("Warning! Timed out waiting for response from preprocessor: late\n"));

    corvane.stopInferenceEngine();
    corvane.requestExternalProcessorsShutdown();
    EXPECT_TRUE(ipc_test::waitUntil(
        [&] {
            return !corvane.getExternalPreprocessors().at("late").process->isRunning() &&
                   !corvane.getExternalPostprocessors().at("tagger").process->isRunning();
        },
        10s));
}

}  // namespace
