// Chooses, downloads, verifies, unpacks and remembers the inference runtime library that
// matches this machine, and decides in each loop pass whether inference may go on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "accl_manager/chips.h"
#include "accl_manager/globals.h"

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

// What the runtime step needs from the engine around it.
struct RuntimeStepContext {
    MessagingManager& messages;
    std::function<void()> stopInferenceEngine;
    std::function<void(const std::string& name, const std::string& mimeType)> reportRuntime;
    std::function<void()> requestImmediateRefresh;
};

class RuntimesManager {
public:
    explicit RuntimesManager(const std::string& workingDirectory);

    // Describes the machine and runs the accelerator probes, once.
    void initialize(MessagingManager& messages);
    void printSummary() const;

    RuntimeState getState() const { return runtimeState.load(std::memory_order_acquire); }
    void setState(RuntimeState state) { runtimeState.store(state, std::memory_order_release); }

    // True when the rest of the loop's pass (device parameters and models) may run.
    bool runtimeStep(const RuntimeStepContext& context);

    std::vector<std::string> getAllPossibleRuntimes(const std::string& mimeType);
    bool isRuntimeInstalled() const;
    std::string getInstalledRuntime();
    void setInstalledRuntime(const std::string& name);
    void downloadRuntimeLibrary(const std::string& name, MessagingManager& messages);
    void markInstalled(MessagingManager& messages, const std::string& name);
    void recordRuntimeInUse(const std::string& name);
    void clearStaleChipCandidateWarnings(MessagingManager& messages);
    bool hidesNvidiaRuntime() const;
    void deleteAllRuntimes();
    std::string getSupportedMIMEType(const std::string& name) const;

    std::string getOSName() const { return osName; }
    std::string getOSVersion() const { return osVersion; }
    CPU_ARCH getCPUArchitecture() const { return cpuArchitecture; }

    const std::string binDirectory;
    const std::string runtimeCacheDirectory;
    std::atomic<bool> cancelDownloadRequested{false};
    std::atomic<bool> downloadCancelled{false};
    // Written before the state that publishes them (AWAITING_SELECTION, SELECTED).
    std::vector<std::string> candidateRuntimes;
    std::string userSelectedRuntime;

private:
    // Unpacks the package into binDirectory; false, with its notice posted, when that fails.
    bool extractPackage(const std::string& packagePath, MessagingManager& messages);
    bool runtimeLibraryPresent() const;

    // Settings pages read the name from host threads while the loop sets it.
    mutable std::mutex installedRuntimeMutex;
    std::string installedRuntimeName;
    std::atomic<RuntimeState> runtimeState{RuntimeState::NONE};
    std::atomic<bool> nvidiaRuntimeUsed{false};
    std::string osName;
    std::string osVersion;
    CPU_ARCH cpuArchitecture = CPU_ARCH::UNKNOWN;
    std::unique_ptr<CPUChipInfo> cpuChip;
    std::unique_ptr<HailoChipInfo> hailoChip;
    std::unique_ptr<NvidiaChipInfo> nvidiaChip;
    std::unique_ptr<DEEPXChipInfo> deepxChip;
    std::unique_ptr<IntelChipInfo> intelChip;
    // Every registered runtime and the probe record that registered it.
    std::map<std::string, const ChipInfo*> runtimeIndex;
};
