// Frames, model scripts and result collection for driving the inference manager end to end
// through the reference runtime library.
#pragma once

#include <vektest/temp_dir.h>

#include <vek/sdk/helpers/ref_countable.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_event_types.h"

namespace corvanetest {

namespace fs = std::filesystem;

struct Yuv {
    uint8_t y, u, v;
};
// Limited-range BT.601 codes of the pure primaries.
constexpr Yuv kRed{82, 90, 240};
constexpr Yuv kGreen{145, 54, 34};
constexpr Yuv kBlue{41, 240, 110};

// A planar YUV 4:2:0 frame with padded lines: the top three quarters red on the left half and green
// on the right half, the bottom quarter blue. Whatever a model sees of it says which part it was given.
class ColourFrame : public vek::sdk::RefCountable<vek::sdk::analytics::IUncompressedVideoFrame1> {
public:
    ColourFrame(int width, int height, int64_t timestamp) : w(width), h(height), timestamp(timestamp) {
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? h : h / 2;
            const int columns = plane == 0 ? w : w / 2;
            const int scale = plane == 0 ? 1 : 2;
            planes[plane].assign(static_cast<size_t>(lineSize(plane) * rows), 0);
            for (int row = 0; row < rows; ++row)
                for (int column = 0; column < columns; ++column) {
                    const Yuv colour = colourAt(column * scale, row * scale);
                    planes[plane][static_cast<size_t>(row * lineSize(plane) + column)] = plane == 0 ? colour.y
                                                                                         : plane == 1
                                                                                             ? colour.u
                                                                                             : colour.v;
                }
        }
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
    Yuv colourAt(int x, int y) const {
        if (y >= h * 3 / 4)
            return kBlue;
        return x < w / 2 ? kRed : kGreen;
    }
    int w;
    int h;
    int64_t timestamp;
    std::vector<uint8_t> planes[3];
};

using FramePtr = vek::sdk::Ptr<vek::sdk::analytics::IUncompressedVideoFrame1>;

inline FramePtr colourFrame(int64_t timestamp, int width = 320, int height = 240) {
    return FramePtr(new ColourFrame(width, height, timestamp));
}

// One call of a request's callback.
struct Delivery {
    int64_t timestampUs = 0;
    size_t objects = 0;
    std::vector<std::string> categories;  // class names of category events
};

class Collector {
public:
    InferenceResultCallback callback() {
        return [this](ObjectPacketPtr objects, EventPacketPtr events, std::vector<BestShotPacketPtr>) {
            Delivery delivery;
            if (objects) {
                delivery.timestampUs = objects->timestampUs();
                delivery.objects = static_cast<size_t>(objects->count());
            }
            if (events) {
                delivery.timestampUs = events->timestampUs();
                for (int i = 0; i < events->count(); ++i) {
                    const vek::sdk::Ptr<const vek::sdk::analytics::IEventMetadata> event(events->at(i));
                    const std::string description = event->description();
                    // A category event describes its class as "\n<name>\n".
                    if (std::string(event->typeId()) == vekai::EventTypes::Category)
                        delivery.categories.push_back(description.substr(1, description.size() - 2));
                }
            }
            std::lock_guard lock(mutex);
            deliveries.push_back(std::move(delivery));
            changed.notify_all();
        };
    }
    // Waits until the deliveries satisfy the condition; false if they did not within the limit.
    bool waitUntil(std::chrono::milliseconds limit,
                   const std::function<bool(const std::vector<Delivery>&)>& done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return done(deliveries); });
    }
    std::vector<Delivery> all() {
        std::lock_guard lock(mutex);
        return deliveries;
    }
    size_t categoryCount(const std::string& name) {
        std::lock_guard lock(mutex);
        return countCategory(deliveries, name);
    }
    static size_t countCategory(const std::vector<Delivery>& deliveries, const std::string& name) {
        size_t count = 0;
        for (const auto& delivery : deliveries)
            count +=
                static_cast<size_t>(std::count(delivery.categories.begin(), delivery.categories.end(), name));
        return count;
    }
    static size_t countObjects(const std::vector<Delivery>& deliveries) {
        size_t count = 0;
        for (const auto& delivery : deliveries)
            count += delivery.objects;
        return count;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivery> deliveries;
};

// The class names of the colour models' score outputs, by channel.
inline const std::string kColourScores = "scores-0:red;1:green;2:blue";

// Writes a model script and returns a ready model record for it.
inline std::shared_ptr<ModelDetails_t> scriptedModel(const fs::path& dir, const std::string& id,
                                                     const std::string& script) {
    const fs::path path = dir / (id + ".json");
    std::ofstream(path) << script;
    auto model = std::make_shared<ModelDetails_t>();
    model->id = id;
    model->name = id;
    model->status = static_cast<int32_t>(ModelStatus::READY);
    model->sourcePath = path.string();
    model->runtimePath = model->sourcePath;
    return model;
}

// A model whose float image input of width x height is declared as "image".
inline void giveImageInput(ModelDetails_t& model, uint64_t width, uint64_t height) {
    model.inputWidth = width;
    model.inputHeight = height;
    model.inputChannels = 3;
    model.inputs = {{"image", 4 * 3 * width * height, TensorElementType(1), {1, 3, height, width}}};
}

// A one-pixel classifier answering with its own input image as the scores of red, green and blue:
// the strongest channel of what it was shown names its class.
inline std::shared_ptr<ModelDetails_t> colourClassifier(const fs::path& dir, const std::string& id) {
    auto model =
        scriptedModel(dir, id, R"({"outputs":[{"name":")" + kColourScores + R"(","echo":"image"}]})");
    giveImageInput(*model, 1, 1);
    model->outputs = {{kColourScores, 12, TensorElementType(1), {1, 3, 1, 1}}};
    return model;
}

inline pipeline_stage_parameters_t stageFor(const std::shared_ptr<ModelDetails_t>& model,
                                            std::array<float, 4> crop = {0, 0, 1, 1}) {
    pipeline_stage_parameters_t stage;
    stage.stageId = model->id;
    stage.model = model;
    stage.resizingMethod = vekai::ResizingMethod::Stretch;
    stage.crop = crop;
    return stage;
}

// Places the reference runtime where the inference engine below `root` loads its runtime from.
inline void installReferenceRuntime(const fs::path& root, const char* library) {
    fs::create_directories(root / "inference_engine");
    fs::copy_file(library, root / "inference_engine" / "libRuntimeLibrary.so",
                  fs::copy_options::overwrite_existing);
}

}  // namespace corvanetest
