// The in-process inference manager: takes frames from device agents through preprocessing,
// the inference engine and postprocessing, and hands the results back.
#pragma once

#include <vek/sdk/analytics/i_data_packet.h>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "corvane/vekai_corvane_utils.h"
#include "corvane/vekai_external_processors.h"

class MessagingManager;

class CorvaneInterface {
public:
    CorvaneInterface(const std::string& rootDir, const std::string& homeDir, MessagingManager& messages);
    ~CorvaneInterface();

    void initialize();
    bool isInitialized() const { return initialized.load(); }
    void requestExternalProcessorsShutdown();
    // Entry of the frame path; returns at once, results arrive through the callback.
    void sendInputMessage(vek::sdk::Ptr<vek::sdk::analytics::IUncompressedVideoFrame1> frame,
                          std::shared_ptr<const DeviceAgentSettings_t> settings,
                          std::shared_ptr<DeviceAgentDetails_t> details, InferenceResultCallback callback);
    const vekai::ExternalPreprocessorTable& getExternalPreprocessors() const { return externalPreprocessors; }
    const vekai::ExternalPostprocessorTable& getExternalPostprocessors() const {
        return externalPostprocessors;
    }
    uint64_t inputMessagesReceived() const { return inputMessages.load(); }
    void stopInferenceEngine();
    // Starts or reconfigures inference for the models that are ready.
    void processParameters(const std::map<std::string, std::shared_ptr<ModelDetails_t>>& models);

    const std::string rootDir;
    const std::string homeDir;

private:
    MessagingManager& messagingManager;
    std::atomic<bool> initialized{false};
    std::atomic<uint64_t> inputMessages{0};
    vekai::ExternalPreprocessorTable externalPreprocessors;
    vekai::ExternalPostprocessorTable externalPostprocessors;
};
