// Chooses, downloads, verifies, unpacks and remembers the inference runtime library that
// matches this machine.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

class MessagingManager;

enum class RuntimeState : int32_t {
    NONE = 0,
    AWAITING_SELECTION = 1,
    SELECTED = 2,
    DOWNLOADING = 3,
    FAILED = 4,
    NO_COMPATIBLE_RUNTIME = 5,
    INSTALLED = 6,
    RESELECT_REQUESTED = 7,
};

class RuntimesManager {
public:
    explicit RuntimesManager(const std::string& workingDirectory);

    void initialize(MessagingManager& messages);

    RuntimeState getState() const { return runtimeState.load(std::memory_order_acquire); }
    void setState(RuntimeState state) { runtimeState.store(state, std::memory_order_release); }

    const std::string binDirectory;
    const std::string runtimeCacheDirectory;
    std::atomic<bool> cancelDownloadRequested{false};

private:
    std::atomic<RuntimeState> runtimeState{RuntimeState::NONE};
};
