// The in-process inference manager: takes frames from device agents through preprocessing,
// the inference engine and postprocessing, and hands the results back.
#pragma once

#include <atomic>
#include <string>

class MessagingManager;

class CorvaneInterface {
public:
    CorvaneInterface(const std::string& rootDir, const std::string& homeDir, MessagingManager& messages);
    ~CorvaneInterface();

    void initialize();
    bool isInitialized() const { return initialized.load(); }
    void requestExternalProcessorsShutdown();
    void stopInferenceEngine();

    const std::string rootDir;
    const std::string homeDir;

private:
    MessagingManager& messagingManager;
    std::atomic<bool> initialized{false};
};
