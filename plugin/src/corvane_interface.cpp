#include "corvane_interface.h"

#include "vekai_utilities/vekai_utils.h"

CorvaneInterface::CorvaneInterface(const std::string& rootDir, const std::string& homeDir,
                                   MessagingManager& messages)
    : rootDir(rootDir), homeDir(homeDir), messagingManager(messages) {}

CorvaneInterface::~CorvaneInterface() {
    stopInferenceEngine();
}

void CorvaneInterface::initialize() {
    initialized.store(true);
    vekai_vlog_verbose("Inference manager initialized in %s\n", rootDir.c_str());
}

void CorvaneInterface::requestExternalProcessorsShutdown() {}

void CorvaneInterface::sendInputMessage(vek::sdk::Ptr<vek::sdk::analytics::IUncompressedVideoFrame1>,
                                        std::shared_ptr<const DeviceAgentSettings_t>,
                                        std::shared_ptr<DeviceAgentDetails_t>, InferenceResultCallback) {
    // No inference runs until models are assigned; the frame is accounted for and released.
    inputMessages.fetch_add(1);
}

void CorvaneInterface::stopInferenceEngine() {}

void CorvaneInterface::processParameters(
    const std::map<std::string, std::shared_ptr<ModelDetails_t>>& models) {
    vekai_vlog_verbose("Inference manager received %zu models\n", models.size());
}
