// The inference engine: owns the loaded runtime library and its models, keeps every request in
// one of 100 slots until its output returns, measures rates and queues results for postprocessing.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_runtime.h"

class MessagingManager;

enum class EngineState : int32_t {
    STOPPING = 3,
    INITIALISING = 4,
    FAILED = 5,
    RUNNING = 7,
};

class InferenceEngine {
public:
    using ModelMap = std::map<std::string, std::shared_ptr<ModelDetails_t>>;
    using OutputQueue = VekAIThreadSafeQueue<InferenceOutput_t>;

    static constexpr int kSlotCount = 100;
    static constexpr size_t kDeviceThroughputWindowSize = 100;
    static constexpr int kOutputTimeoutMs = 1000;

    InferenceEngine(const std::string& rootDir, const ModelMap& models, OutputQueue& outputQueue,
                    MessagingManager& messagingManager);
    ~InferenceEngine();
    InferenceEngine(const InferenceEngine&) = delete;
    InferenceEngine& operator=(const InferenceEngine&) = delete;

    // Restarts the runtime unless the map equals the loaded one in keys and change stamps.
    void processParameters(const ModelMap& models);
    bool canReceiveInput() const;
    void logAttemptedInput(const std::string& deviceId);
    // Takes the set (leaving `tensors` empty) only when the runtime accepted it.
    bool sendInput(std::shared_ptr<InferenceInput_t> input, TensorsPtr& tensors);
    // Refuses input from now on and ends the output thread's loop; the runtime itself stays loaded
    // until stopRuntime, so that a request already being handed over never meets a cleaned-up runtime.
    void markStopping() { state.store(EngineState::STOPPING); }
    void stopRuntime();

    EngineState getState() const { return state.load(); }
    int inFlightCount() const { return inFlight.load(); }
    const std::string& getEngineDir() const { return engineDir; }

    static void updateState(ThroughputState_t& state, int64_t nowNs);
    static double getFPS(const ThroughputState_t& state);

private:
    // A model file as handed to the runtime; decrypted copies are removed when the runtime stops.
    struct PreparedModel {
        std::string path;
        bool decryptedCopy = false;
    };
    // What a model map looked like when the runtime was last started from it.
    struct ModelStamp {
        int64_t lastModified = 0;
        int32_t status = 0;
    };

    void initRuntime(const ModelMap& models);
    bool matchesConfiguredModels(const ModelMap& models) const;
    void rememberConfiguredModels(const ModelMap& models);
    std::vector<std::pair<std::string, std::string>> readRuntimeArgs() const;
    bool prepareModelFile(const ModelDetails_t& model, PreparedModel& prepared) const;
    bool decryptModelFile(const std::string& keyPath, const std::string& sourcePath,
                          const std::string& targetPath) const;
    void startOutputThread();
    void outputLoop(std::stop_token stopToken);
    void fillRates(InferenceOutput_t& output, const std::string& deviceId);
    ThroughputState_t newEngineWindow() const;

    std::array<std::shared_ptr<InferenceInput_t>, kSlotCount> slots;
    std::array<std::atomic<uint8_t>, kSlotCount> slotState{};
    std::string engineDir;
    std::jthread outputThread;
    OutputQueue& outputQueue;
    MessagingManager& messagingManager;
    std::unique_ptr<VekaiRuntime> runtime;
    ModelMap models;
    std::map<std::string, int> modelIndex;
    std::vector<std::string> decryptedCopies;
    std::map<std::string, ModelStamp> configuredModels;
    std::atomic<int32_t> inFlight{0};

    std::mutex inputStatsMutex;
    std::map<std::string, ThroughputState_t> perDeviceInput;
    ThroughputState_t engineInput;

    std::mutex outputStatsMutex;
    std::map<std::string, ThroughputState_t> perDeviceOutput;
    ThroughputState_t engineOutput;
    std::map<std::string, std::chrono::steady_clock::time_point> lastThroughputReport;

    int maxInFlight;
    std::atomic<EngineState> state{EngineState::INITIALISING};
};
