// The records that travel between the frame path, pipeline configuration, preprocessing,
// the inference engine and postprocessing, with the bounded queue and walkers they need.
#pragma once

#include <vek/sdk/analytics/helpers/metadata.h>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "corvane/raw_postprocessors/raw_postprocessor_architecture.h"
#include "corvane/vekai_image_order.h"
#include "utils/tensor_utils.h"

struct VekAIObject_t;

namespace vekai {
class VideoFrame;
struct ExternalPreprocessor_t;
struct ExternalPostprocessor_t;
}  // namespace vekai

class VekAIThreadSafeStringList {
public:
    VekAIThreadSafeStringList() = default;
    VekAIThreadSafeStringList(const VekAIThreadSafeStringList& other) : items(other.get()) {}
    VekAIThreadSafeStringList& operator=(const VekAIThreadSafeStringList& other) {
        if (this != &other) {
            auto copy = other.get();
            std::lock_guard lock(mutex);
            items = std::move(copy);
        }
        return *this;
    }

    void push_back(const std::string& item) {
        std::lock_guard lock(mutex);
        items.push_back(item);
    }
    std::vector<std::string> get() const {
        std::lock_guard lock(mutex);
        return items;
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> items;
};

// Bounded multi-producer queue: a full queue refuses the item instead of blocking.
template <class T>
class VekAIThreadSafeQueue {
public:
    explicit VekAIThreadSafeQueue(uint64_t maxSize) : maxSize(maxSize) {}

    bool push(T item) {
        bool pushed = false;
        {
            std::lock_guard lock(mutex);
            if (count.load() < maxSize) {
                items.push_back(std::move(item));
                count.fetch_add(1);
                pushed = true;
            }
        }
        condition.notify_one();
        return pushed;
    }

    std::optional<T> pop_wait(int64_t timeoutMs) {
        std::unique_lock lock(mutex);
        if (!condition.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !items.empty(); }))
            return std::nullopt;
        T item = std::move(items.front());
        items.pop_front();
        count.fetch_sub(1);
        return item;
    }

    uint64_t size() const { return count.load(); }

private:
    std::deque<T> items;
    std::mutex mutex;
    std::condition_variable condition;
    const uint64_t maxSize;
    std::atomic<uint64_t> count{0};
};

struct TensorDetails_t {
    std::string name;
    uint64_t dataSize = 0;
    TensorElementType type = TensorElementType{};
    std::vector<uint64_t> shape;
};

enum class ModelStatus : int32_t {
    READY = 2,
    FAILED = 4,
};

// A value that one thread writes while others read it, in a record that is still copied whole.
template <class T>
class SharedValue {
public:
    SharedValue(T initial = T{}) : value(initial) {}
    SharedValue(const SharedValue& other) : value(other.value.load()) {}
    SharedValue& operator=(const SharedValue& other) {
        value.store(other.value.load());
        return *this;
    }
    SharedValue& operator=(T next) {
        value.store(next);
        return *this;
    }
    operator T() const { return value.load(); }
    T load() const { return value.load(); }

private:
    std::atomic<T> value;
};

struct ModelDetails_t {
    std::string id;
    std::string name;
    // Written by the loop thread while host threads build settings pages from it.
    SharedValue<int32_t> status{0};
    VekAIThreadSafeStringList errors;
    int64_t lastModified = 0;
    int64_t updatedAt = 0;
    SharedValue<int64_t> downloadProgress{0};
    std::string sourcePath;
    std::string keyPath;
    std::string runtimePath;
    // Name of the runtime the model runs on; some runtimes take byte images whatever the input type.
    std::string runtimeName;
    std::string downloadUrl;
    std::optional<int64_t> downloadSize;
    std::vector<TensorDetails_t> inputs;
    std::vector<TensorDetails_t> outputs;
    uint64_t inputHeight = 0;
    uint64_t inputWidth = 0;
    uint64_t inputChannels = 0;
    ImageOrder order = ImageOrder::Planar;
    std::array<float, 3> means{0, 0, 0};
    std::array<float, 3> vars{1, 1, 1};
    bool rawPostprocessingEnabled = false;
    float rawConfidenceThreshold = 0;
    float rawIouThreshold = 0;
    RawPostprocessingArchitecture rawArchitecture = RawPostprocessingArchitecture{};
    std::string boxesOutputName;
    std::vector<std::string> boxesClassNames;
    std::string scoresOutputName;
    std::vector<std::string> scoresClassNames;
};

struct MaskSettings_t {
    int32_t maskType = 0;  // 0 inclusive, 1 exclusive
    std::vector<float> polygon;
};

struct LoiterDetectionSettings_t {
    bool enabled = false;
    int64_t timeThresholdSeconds = 0;
    std::string objectClass;
};

struct DumpingDetectionSettings_t {
    bool enabled = false;
    std::string objectType;
    int64_t timeThresholdUs = 0;
    double distanceThreshold = 0;
    double iouThreshold = 0;
};

enum class ChainMethod : int32_t {
    Direct = 1,
    FeatureExtraction = 2,
    Conditional = 3,
};

struct pipeline_stage_parameters_t {
    std::string stageId;
    std::shared_ptr<ModelDetails_t> model;
    float nms = 0;
    std::string preprocessor;
    std::string postprocessor;
    const vekai::ExternalPreprocessor_t* externalPreprocessor = nullptr;
    const vekai::ExternalPostprocessor_t* externalPostprocessor = nullptr;
    std::map<std::string, std::string> preprocessorSettings;
    std::map<std::string, std::string> postprocessorSettings;
    std::vector<pipeline_stage_parameters_t> children;
    int32_t chainMethod = 0;
    std::map<std::string, bool> activeClasses;
    std::string featureExtractionClass;
    vekai::ResizingMethod resizingMethod = vekai::ResizingMethod::Letterbox;
    std::array<float, 4> crop{0, 0, 1, 1};
    std::vector<MaskSettings_t> masks;
    std::optional<std::array<float, 4>> crossingLine;
    std::optional<LoiterDetectionSettings_t> loiterSettings;
    std::optional<DumpingDetectionSettings_t> dumpingSettings;
    bool useVideoFrame = false;
};

using AvailablePipeline_t = std::tuple<std::string, std::string, std::string>;

struct DeviceAgentSettings_t {
    bool active = false;
    std::string deviceAdminUrl;
    std::vector<AvailablePipeline_t> availablePipelines;
    std::string selectedPipeline = "Custom";
    std::vector<pipeline_stage_parameters_t> stages;
    bool parametersReceived = false;
};

struct DeviceAgentDetails_t {
    std::string deviceId;
    std::string deviceName;
};

using ObjectPacketPtr = vek::sdk::Ptr<vek::sdk::analytics::ObjectMetadataPacket>;
using EventPacketPtr = vek::sdk::Ptr<vek::sdk::analytics::EventMetadataPacket>;
using BestShotPacketPtr = vek::sdk::Ptr<vek::sdk::analytics::ObjectTrackBestShotPacket>;
using InferenceResultCallback =
    std::function<void(ObjectPacketPtr, EventPacketPtr, std::vector<BestShotPacketPtr>)>;

struct InferenceInput_t {
    int64_t timestampUs = 0;
    std::shared_ptr<vekai::VideoFrame> videoFrame;
    uint64_t frameWidth = 0;
    uint64_t frameHeight = 0;
    std::shared_ptr<const DeviceAgentSettings_t> settings;
    std::shared_ptr<DeviceAgentDetails_t> details;
    const pipeline_stage_parameters_t* stage = nullptr;
    std::shared_ptr<VekAIObject_t> parentObject;
    std::array<float, 4> roi{0, 0, 1, 1};
    InferenceResultCallback callback;
};

struct InferenceOutput_t {
    InferenceOutput_t() = default;
    InferenceOutput_t(InferenceOutput_t&&) = default;
    InferenceOutput_t& operator=(InferenceOutput_t&&) = default;
    InferenceOutput_t(const InferenceOutput_t&) = delete;
    InferenceOutput_t& operator=(const InferenceOutput_t&) = delete;

    std::shared_ptr<InferenceInput_t> input;
    std::unique_ptr<Tensors, TensorsDeleter> tensors;
    bool hasThroughput = false;
    double engineInputFps = 0;
    double deviceInputFps = 0;
    double engineOutputFps = 0;
    double deviceOutputFps = 0;
};

// Rolling rate of one stream over a window of interval samples (microseconds).
struct ThroughputState_t {
    // A window is at least one sample long.
    explicit ThroughputState_t(size_t windowSize = 1) : samples(windowSize == 0 ? 1 : windowSize, 0.0) {}

    int64_t lastTimestamp = 0;
    std::vector<double> samples;
    uint64_t index = 0;
    bool full = false;
    double sum = 0;
};

namespace Utils {

std::map<std::string, std::shared_ptr<ModelDetails_t>> gatherModelsFromPipeline(
    const std::vector<pipeline_stage_parameters_t>& stages);
std::vector<const pipeline_stage_parameters_t*> flattenPipelineParameters(
    const std::vector<pipeline_stage_parameters_t>& stages);
std::map<std::string, pipeline_stage_parameters_t*> flattenPipelineParametersMap(
    std::vector<pipeline_stage_parameters_t>& stages);

}  // namespace Utils
