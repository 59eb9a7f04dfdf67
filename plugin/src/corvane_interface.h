// The in-process inference manager: takes frames from device agents through preprocessing,
// the inference engine and postprocessing on bounded worker pools, feeds chained pipeline
// nodes, and hands the resulting packets back through each request's callback.
#pragma once

#include <vek/sdk/analytics/i_data_packet.h>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_external_processors.h"
#include "corvane/vekai_inference_engine.h"
#include "corvane/vekai_postprocessor.h"
#include "corvane/vekai_preprocessor.h"

class MessagingManager;

class CorvaneInterface {
public:
    using ModelMap = std::map<std::string, std::shared_ptr<ModelDetails_t>>;
    static constexpr int64_t kMaxWorkers = 1024;
    static constexpr uint64_t kOutputQueueSize = 64;

    CorvaneInterface(const std::string& rootDir, const std::string& homeDir, MessagingManager& messages);
    ~CorvaneInterface();
    CorvaneInterface(const CorvaneInterface&) = delete;
    CorvaneInterface& operator=(const CorvaneInterface&) = delete;

    void initialize();
    bool isInitialized() const { return initialized.load(); }
    // Starts or reconfigures inference for the models that are ready.
    void processParameters(const ModelMap& models);
    // Entry of the frame path; returns at once, results arrive through the callback.
    void sendInputMessage(vek::sdk::Ptr<vek::sdk::analytics::IUncompressedVideoFrame1> frame,
                          std::shared_ptr<const DeviceAgentSettings_t> settings,
                          std::shared_ptr<DeviceAgentDetails_t> details, InferenceResultCallback callback);
    void stopInferenceEngine();
    // Blocks until no input or output worker runs.
    void waitForInFlightInferences();
    void requestExternalProcessorsShutdown();
    // The device's next pass of the stage records the scene for dumping detection.
    void sendReferenceRunCommand(const std::string& deviceId, const std::string& stageId);

    const vekai::ExternalPreprocessorTable& getExternalPreprocessors() const {
        return preprocessor.getExternalPreprocessors();
    }
    const vekai::ExternalPostprocessorTable& getExternalPostprocessors() const {
        return postProcessor.getExternalPostprocessors();
    }
    bool hasInferenceEngine() const { return currentEngine() != nullptr; }
    int64_t getWorkerLimit() const { return workerLimit; }

    const std::string rootDir;
    const std::string homeDir;

private:
    struct InputJob {
        std::shared_ptr<vekai::VideoFrame> videoFrame;
        TensorsPtr tensors;
        uint64_t width = 0;
        uint64_t height = 0;
        std::shared_ptr<const DeviceAgentSettings_t> settings;
        std::shared_ptr<DeviceAgentDetails_t> details;
        const pipeline_stage_parameters_t* stage = nullptr;
        int64_t timestampUs = 0;
        InferenceResultCallback callback;
    };

    void processAndSendInput(InputJob job);
    void inferenceOutputLoop(std::stop_token stopToken);
    void processOutput(InferenceOutput_t result);
    void handlePipelineChaining(const std::shared_ptr<InferenceInput_t>& request, const Tensors* tensors,
                                const vekai::ObjectsByClass& objects);
    void sendChildInput(const std::shared_ptr<InferenceInput_t>& parent,
                        const pipeline_stage_parameters_t& child, std::shared_ptr<VekAIObject_t> parentObject,
                        const std::array<float, 4>& roi, TensorsPtr tensors);
    void startOutputLoop();
    void stopOutputLoop();
    std::shared_ptr<InferenceEngine> currentEngine() const;
    // Destroys the engine on the calling thread once no host call still holds it.
    void destroyEngine();

    MessagingManager& messagingManager;
    const int64_t workerLimit;
    std::counting_semaphore<kMaxWorkers> inputPermits;
    std::counting_semaphore<kMaxWorkers> outputPermits;
    std::atomic<bool> accepting{true};
    std::atomic<bool> initialized{false};
    InferenceEngine::OutputQueue outputQueue{kOutputQueueSize};
    vekai::Preprocessor preprocessor;
    vekai::PostProcessor postProcessor;
    // Shared so that a host thread or worker still holding it keeps it alive across a stop.
    mutable std::mutex engineMutex;
    std::shared_ptr<InferenceEngine> inferenceEngine;
    std::jthread outputLoopThread;
};
