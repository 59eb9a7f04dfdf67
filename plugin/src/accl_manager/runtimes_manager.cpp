#include "accl_manager/runtimes_manager.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "messaging_manager.h"
#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kInstalledRuntimeFile = "installed_runtime.txt";
constexpr const char* kRuntimeLibrary = "libRuntimeLibrary.so";

bool isReadable(const std::string& path) {
    return std::ifstream(path).good();
}

}  // namespace

RuntimesManager::RuntimesManager(const std::string& workingDirectory)
    : binDirectory(Utils::joinPaths({workingDirectory, "inference_engine"})),
      runtimeCacheDirectory(Utils::joinPaths({workingDirectory, "runtime_cache"})) {}

void RuntimesManager::initialize(MessagingManager&) {
    vekai_vlog("Initializing Runtimes Manager\n");
    setState(RuntimeState::NONE);
}

bool RuntimesManager::runtimeStep(const RuntimeStepContext& context) {
    const RuntimeState state = getState();
    if (state == RuntimeState::INSTALLED)
        return true;
    if (state == RuntimeState::RESELECT_REQUESTED) {
        context.stopInferenceEngine();
        deleteAllRuntimes();
        if (getState() == RuntimeState::NONE)
            context.reportRuntime("", "");
        return false;
    }
    if (isRuntimeInstalled()) {
        markInstalled(context.messages, getInstalledRuntime());
        return false;
    }

    const auto candidates = getAllPossibleRuntimes("");
    std::string choice;
    if (candidates.size() >= 2 || (candidates.size() == 1 && hidesNvidiaRuntime())) {
        if (state == RuntimeState::SELECTED) {
            choice = userSelectedRuntime;
        } else {
            if (state == RuntimeState::NONE) {
                candidateRuntimes = candidates;
                setState(RuntimeState::AWAITING_SELECTION);
                if (hidesNvidiaRuntime())
                    context.messages.addMessage("NVIDIA_RESTART_REQUIRED",
                                                "The NVIDIA runtime can't be selected again until the "
                                                "mediaserver is restarted. Restart the "
                                                "mediaserver to make it available.",
                                                MESSAGE_TYPE::INFO);
            }
            return false;
        }
    } else if (candidates.size() == 1) {
        if (state != RuntimeState::FAILED)
            choice = candidates.front();
    } else {
        return false;
    }

    if (!choice.empty()) {
        downloadRuntimeLibrary(choice, context.messages);
        if (getState() == RuntimeState::INSTALLED) {
            setInstalledRuntime(choice);
            context.reportRuntime(choice, getSupportedMIMEType(choice));
            context.requestImmediateRefresh();
        }
    }
    return true;
}

std::vector<std::string> RuntimesManager::getAllPossibleRuntimes(const std::string& mimeType) {
    std::vector<std::string> names;
    for (const auto& [name, primaryMimeType] : runtimeIndex) {
        if (mimeType.empty() || primaryMimeType == mimeType)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    if (names.empty()) {
        vekai_vlog("ERROR: Couldn't find any compatible runtime.\n");
        setState(RuntimeState::NO_COMPATIBLE_RUNTIME);
    }
    return names;
}

bool RuntimesManager::isRuntimeInstalled() const {
    if (!fs::exists(Utils::joinPaths({binDirectory, kInstalledRuntimeFile})))
        return false;
    return isReadable(Utils::joinPaths({binDirectory, kRuntimeLibrary})) ||
           isReadable(Utils::joinPaths({binDirectory, "Generic CPU", kRuntimeLibrary}));
}

std::string RuntimesManager::getInstalledRuntime() {
    if (installedRuntimeName.empty()) {
        std::ifstream file(Utils::joinPaths({binDirectory, kInstalledRuntimeFile}));
        if (!file) {
            vekai_vlog("Warning: There is no installed runtime on this machine.\n");
            return installedRuntimeName;
        }
        std::getline(file, installedRuntimeName);
    }
    return installedRuntimeName;
}

void RuntimesManager::setInstalledRuntime(const std::string& name) {
    installedRuntimeName = name;
    std::ofstream file(Utils::joinPaths({binDirectory, kInstalledRuntimeFile}), std::ios::trunc);
    file << name;
    if (!file.flush())
        vekai_vlog("ERROR: Failed to save the installed runtime's name.\n");
}

void RuntimesManager::downloadRuntimeLibrary(const std::string& name, MessagingManager& messages) {
    messages.removeMessage("RUNTIME_EXTRACTION_FAILED");
    messages.removeMessage("RUNTIME_DOWNLOAD_CORRUPTED");
    messages.removeMessage("NVIDIA_RESTART_REQUIRED");
    if (getState() == RuntimeState::INSTALLED) {
        vekai_vlog("Info: runtime is already installed.");
        return;
    }
    if (runtimeIndex.find(name) == runtimeIndex.end()) {
        vekai_vlog("ERROR: couldn't find a download link for the desired runtime.");
        setState(RuntimeState::FAILED);
    }
}

void RuntimesManager::markInstalled(MessagingManager& messages, const std::string&) {
    setState(RuntimeState::INSTALLED);
    clearStaleChipCandidateWarnings(messages);
}

void RuntimesManager::clearStaleChipCandidateWarnings(MessagingManager& messages) {
    messages.removeMessage("MISSING_OPENCL_ERROR");
    messages.removeMessage("NVIDIA_GPU_SDK");
}

bool RuntimesManager::hidesNvidiaRuntime() const {
    return false;
}

void RuntimesManager::deleteAllRuntimes() {
    std::error_code failure;
    if (fs::exists(binDirectory, failure)) {
        bool entryFailed = false;
        fs::directory_iterator entries(binDirectory, failure);
        if (failure) {
            vekai_vlog("Warning! Failed to list %s: %s\n", binDirectory.c_str(), failure.message().c_str());
            return;
        }
        for (const auto& entry : entries) {
            std::error_code removeFailure;
            fs::remove_all(entry.path(), removeFailure);
            if (removeFailure) {
                vekai_vlog("Warning! Failed to remove %s: %s\n", entry.path().c_str(),
                           removeFailure.message().c_str());
                entryFailed = true;
            }
        }
        fs::remove(binDirectory, failure);
        if (failure && fs::exists(binDirectory)) {
            vekai_vlog("Warning! Failed to remove %s: %s\n", binDirectory.c_str(), failure.message().c_str());
            return;
        }
        if (entryFailed)
            return;
    }
    vekai_vlog("Succesfully removed runtime library.\n");
    setState(RuntimeState::NONE);
}

std::string RuntimesManager::getSupportedMIMEType(const std::string& name) const {
    if (name.empty()) {
        vekai_vlog("Warning: There is no installed runtime on this machine.");
        return {};
    }
    const auto found = runtimeIndex.find(name);
    if (found == runtimeIndex.end()) {
        vekai_vlog("ERROR: Invalid runtime name.\n");
        return {};
    }
    return found->second;
}
