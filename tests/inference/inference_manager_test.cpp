#include <gtest/gtest.h>

#include <vektest/temp_dir.h>

#include <vek/sdk/helpers/ref_countable.h>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "corvane_interface.h"
#include "messaging_manager.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using vektest::TempDir;

// A grey planar YUV 4:2:0 frame with padded lines.
class Frame : public vek::sdk::RefCountable<vek::sdk::analytics::IUncompressedVideoFrame1> {
public:
    Frame(int width, int height, int64_t timestamp) : w(width), h(height), timestamp(timestamp) {
        for (int plane = 0; plane < 3; ++plane)
            planes[plane].assign(static_cast<size_t>(lineSize(plane) * planeHeight(plane)), 128);
    }
    int64_t timestampUs() const override { return timestamp; }
    int width() const override { return w; }
    int height() const override { return h; }
    PixelFormat pixelFormat() const override { return PixelFormat::yuv420; }
    int planeCount() const override { return 3; }
    const uint8_t* data(int plane) const override { return planes[plane].data(); }
    int lineSize(int plane) const override { return plane == 0 ? w + 32 : w / 2 + 32; }
    int dataSize(int plane) const override { return static_cast<int>(planes[plane].size()); }

private:
    int planeHeight(int plane) const { return plane == 0 ? h : h / 2; }
    int w;
    int h;
    int64_t timestamp;
    std::vector<uint8_t> planes[3];
};

struct Delivery {
    int64_t timestampUs = 0;
    std::vector<vek::sdk::analytics::Rect> boxes;
    std::vector<std::string> typeIds;
    size_t events = 0;
};

class Collector {
public:
    InferenceResultCallback callback() {
        return [this](ObjectPacketPtr objects, EventPacketPtr events, std::vector<BestShotPacketPtr>) {
            Delivery delivery;
            if (objects) {
                delivery.timestampUs = objects->timestampUs();
                for (int i = 0; i < objects->count(); ++i) {
                    const vek::sdk::Ptr<const vek::sdk::analytics::IObjectMetadata> object(objects->at(i));
                    delivery.boxes.push_back(object->boundingBox());
                    delivery.typeIds.emplace_back(object->typeId());
                }
            }
            delivery.events = events ? static_cast<size_t>(events->count()) : 0;
            std::lock_guard lock(mutex);
            deliveries.push_back(std::move(delivery));
            changed.notify_all();
        };
    }
    // The first delivery carrying objects, or nothing within the time limit.
    std::optional<Delivery> waitForObjects(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        std::optional<Delivery> found;
        changed.wait_for(lock, limit, [&] {
            for (const auto& delivery : deliveries)
                if (!delivery.boxes.empty()) {
                    found = delivery;
                    return true;
                }
            return false;
        });
        return found;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivery> deliveries;
};

struct InferenceFixture : ::testing::Test {
    TempDir work;
    MessagingManager messages;
    std::shared_ptr<ModelDetails_t> model = std::make_shared<ModelDetails_t>();

    void SetUp() override {
        fs::create_directories(work.path / "inference_engine");
        fs::copy_file(VEK_REFERENCE_RUNTIME, work.path / "inference_engine" / "libRuntimeLibrary.so");
        // One person in the middle of the 64x64 model input, in model pixels.
        std::ofstream(work.path / "detector.json")
            << R"({"outputs":[{"name":"bboxes-format:xyxysc;0:person","type":1,"shape":[1,1,6],)"
               R"("values":[16,16,48,48,0.9,0]}]})";
        model->id = "m1";
        model->name = "detector";
        model->status = static_cast<int32_t>(ModelStatus::READY);
        model->sourcePath = (work.path / "detector.json").string();
        model->runtimePath = model->sourcePath;
        model->inputWidth = 64;
        model->inputHeight = 64;
        model->inputChannels = 3;
        model->inputs.push_back({"images", 4 * 3 * 64 * 64, TensorElementType(1), {1, 3, 64, 64}});
        model->outputs.push_back({"bboxes-format:xyxysc;0:person", 24, TensorElementType(1), {1, 1, 6}});
        model->boxesOutputName = model->outputs[0].name;
        model->boxesClassNames = {"person"};
    }

    std::shared_ptr<DeviceAgentSettings_t> settingsWithStages(size_t roots) {
        auto settings = std::make_shared<DeviceAgentSettings_t>();
        settings->active = true;
        for (size_t i = 0; i < roots; ++i) {
            pipeline_stage_parameters_t stage;
            stage.stageId = "m1-" + std::to_string(i);
            stage.model = model;
            stage.resizingMethod = vekai::ResizingMethod::Stretch;
            stage.activeClasses = {{"person", true}};
            settings->stages.push_back(stage);
        }
        return settings;
    }
};

TEST_F(InferenceFixture, FramesComeBackAsTrackedObjectsInFrameFractions) {
    Collector collector;  // outlives the inference manager, whose workers call it
    CorvaneInterface corvane(work.path.string(), work.path.string(), messages);
    corvane.initialize();
    corvane.processParameters({{"m1", model}});
    ASSERT_TRUE(corvane.hasInferenceEngine());

    const auto settings = settingsWithStages(1);
    auto details = std::make_shared<DeviceAgentDetails_t>(DeviceAgentDetails_t{"dev-1", "Camera"});
    const int64_t start = vekai_current_timestamp_us();
    std::optional<Delivery> delivery;
    // A track is reported once it has been seen again at least 100 ms of frame time later.
    for (int i = 0; i < 20 && !delivery; ++i) {
        const vek::sdk::Ptr<vek::sdk::analytics::IUncompressedVideoFrame1> frame(
            new Frame(320, 240, start + i * 200000));
        corvane.sendInputMessage(frame, settings, details, collector.callback());
        delivery = collector.waitForObjects(300ms);
    }
    ASSERT_TRUE(delivery) << "no object came back";
    ASSERT_EQ(delivery->boxes.size(), 1u);
    EXPECT_EQ(delivery->typeIds[0], "vek.base.Person");
    EXPECT_NEAR(delivery->boxes[0].x, 0.25, 0.02);
    EXPECT_NEAR(delivery->boxes[0].y, 0.25, 0.02);
    EXPECT_NEAR(delivery->boxes[0].width, 0.5, 0.02);
    EXPECT_NEAR(delivery->boxes[0].height, 0.5, 0.02);
    EXPECT_GE(delivery->timestampUs, start);
    corvane.stopInferenceEngine();
    EXPECT_FALSE(corvane.hasInferenceEngine());
}

TEST_F(InferenceFixture, InactiveClassesAreNotReportedAndFramesWithoutEngineAreRefused) {
    Collector collector;
    CorvaneInterface corvane(work.path.string(), work.path.string(), messages);
    corvane.initialize();
    auto settings = settingsWithStages(1);
    auto details = std::make_shared<DeviceAgentDetails_t>(DeviceAgentDetails_t{"dev-1", "Camera"});
    const vek::sdk::Ptr<vek::sdk::analytics::IUncompressedVideoFrame1> early(
        new Frame(320, 240, vekai_current_timestamp_us()));
    corvane.sendInputMessage(early, settings, details, collector.callback());  // no engine yet: refused

    auto notActive = settingsWithStages(1);
    notActive->stages[0].activeClasses = {{"person", false}};
    corvane.processParameters({{"m1", model}});
    const int64_t start = vekai_current_timestamp_us();
    for (int i = 0; i < 6; ++i) {
        const vek::sdk::Ptr<vek::sdk::analytics::IUncompressedVideoFrame1> frame(
            new Frame(320, 240, start + i * 200000));
        corvane.sendInputMessage(frame, notActive, details, collector.callback());
    }
    EXPECT_FALSE(collector.waitForObjects(1500ms));
}

TEST_F(InferenceFixture, ModelsThatAreNotReadyStartNoEngine) {
    CorvaneInterface corvane(work.path.string(), work.path.string(), messages);
    model->status = 0;
    corvane.processParameters({{"m1", model}});
    EXPECT_FALSE(corvane.hasInferenceEngine());
}

}  // namespace
