#include "accl_manager/runtimes_manager.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "accl_manager/runtime_package.h"
#include "accl_manager/utils.h"
#include "download_manager_utils.h"
#include "ini_manager.h"
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

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

void postExtractionFailed(MessagingManager& messages) {
    messages.addMessage("RUNTIME_EXTRACTION_FAILED",
                        "Failed to extract the runtime package. Please ensure you have a stable Internet "
                        "connection and enough free space on your disk.",
                        MESSAGE_TYPE::WARNING);
}

}  // namespace

RuntimesManager::RuntimesManager(const std::string& workingDirectory)
    : binDirectory(Utils::joinPaths({workingDirectory, "inference_engine"})),
      runtimeCacheDirectory(Utils::joinPaths({workingDirectory, "runtime_cache"})) {}

void RuntimesManager::initialize(MessagingManager& messages) {
    vekai_vlog("Initializing Runtimes Manager\n");
    setState(RuntimeState::NONE);
    const MachineInfo machine;
    osName = machine.getOSName();
    osVersion = machine.getOSVersion();
    cpuArchitecture = machine.getCPUArchitecture();

    if (osName.empty() || cpuArchitecture == CPU_ARCH::UNKNOWN) {
        vekai_vlog("Error: The OS name or CPU architecture are not extracted correctly from the system.\n");
        return;
    }
    if (cpuArchitecture == CPU_ARCH::X86_64 && !Utils::is_avx2_supported()) {
        messages.addMessage(
            "MISSING_AVX2_ERROR",
            "AVX2 is not supported on this machine. As a result, no runtime is compatible. Please "
            "ensure that your hardware supports AVX2 if you wish to use AI runtimes.",
            MESSAGE_TYPE::WARNING);
        return;
    }
    if (!Utils::is_library_installed("libgomp.so")) {
        messages.addMessage(
            "MISSING_LIBGOMP_ERROR",
            "libgomp is not installed on this machine. Please install it and restart the server to "
            "be able to use AI runtimes.",
            MESSAGE_TYPE::WARNING);
        return;
    }

    cpuChip = std::make_unique<CPUChipInfo>(cpuArchitecture, osName, osVersion);
    nvidiaChip = std::make_unique<NvidiaChipInfo>(cpuArchitecture, osName, osVersion, messages);
    deepxChip = std::make_unique<DEEPXChipInfo>(cpuArchitecture, osName, osVersion);
    hailoChip = std::make_unique<HailoChipInfo>(cpuArchitecture, osName, osVersion);
    intelChip = std::make_unique<IntelChipInfo>(cpuArchitecture, osName, osVersion, messages);

    runtimeIndex.clear();
    for (const ChipInfo* chip : std::initializer_list<const ChipInfo*>{
             cpuChip.get(), nvidiaChip.get(), deepxChip.get(), hailoChip.get(), intelChip.get()}) {
        for (const auto& name : chip->getPossibleRuntimeNames(""))
            runtimeIndex[name] = chip;
    }
    vekai_vlog("Runtimes Manager initialized.\n");
    printSummary();
}

void RuntimesManager::printSummary() const {
    vekai_vlog("Machine Info:\n");
    vekai_vlog("OS Name: %s, OS Version: %s, CPU Architecture: %s\n", osName.c_str(), osVersion.c_str(),
               Utils::CPUArchitectureToString(cpuArchitecture).c_str());
    if (intelChip)
        intelChip->printSummary();
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
        if (state != RuntimeState::SELECTED) {
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
        choice = userSelectedRuntime;
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
    const bool hideNvidia = nvidiaRuntimeUsed.load();
    std::vector<std::string> names;
    for (const auto& [name, chip] : runtimeIndex) {
        if (hideNvidia && chip == nvidiaChip.get())
            continue;
        if (mimeType.empty()) {
            names.push_back(name);
        } else {
            const auto matching = chip->getPossibleRuntimeNames(mimeType);
            names.insert(names.end(), matching.begin(), matching.end());
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    if (names.empty()) {
        vekai_vlog("ERROR: Couldn't find any compatible runtime.\n");
        setState(RuntimeState::NO_COMPATIBLE_RUNTIME);
    }
    return names;
}

bool RuntimesManager::runtimeLibraryPresent() const {
    return isReadable(Utils::joinPaths({binDirectory, kRuntimeLibrary})) ||
           isReadable(Utils::joinPaths({binDirectory, RuntimeNames::VEK_CPU, kRuntimeLibrary}));
}

bool RuntimesManager::isRuntimeInstalled() const {
    return fs::exists(Utils::joinPaths({binDirectory, kInstalledRuntimeFile})) && runtimeLibraryPresent();
}

std::string RuntimesManager::getInstalledRuntime() {
    std::lock_guard lock(installedRuntimeMutex);
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
    std::lock_guard lock(installedRuntimeMutex);
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
    cancelDownloadRequested.store(false);
    downloadCancelled.store(false);
    clearStaleChipCandidateWarnings(messages);
    setState(RuntimeState::DOWNLOADING);

    // The name becomes part of a path: only names the probes registered may get that far.
    const auto indexed = runtimeIndex.find(name);
    if (indexed == runtimeIndex.end()) {
        vekai_vlog("ERROR: couldn't find a download link for the desired runtime.");
        setState(RuntimeState::FAILED);
        return;
    }
    for (const auto& directory : {runtimeCacheDirectory, binDirectory}) {
        std::error_code failure;
        fs::create_directories(directory, failure);
        if (failure)
            vekai_vlog("ERROR: Failed to create %s: %s\n", directory.c_str(), failure.message().c_str());
    }
    const std::string packagePath = Utils::joinPaths({runtimeCacheDirectory, name + ".tar.gz"});

    if (ini().cacheRuntimeArchives && Utils::checkFileExists(packagePath)) {
        vekai_vlog("Info: Runtime package file already exists. Skipping download step.\n");
    } else {
        vekai_vlog("Info: Downloading runtime package for %s...\n", name.c_str());
        const std::string link = indexed->second->getDownloadLink(name);
        if (link.empty()) {
            vekai_vlog("ERROR: couldn't find a download link for the desired runtime.");
            setState(RuntimeState::FAILED);
            return;
        }
        std::string serverMD5;
        if (!Utils::downloadFile(link, packagePath, messages, "RUNTIME_PACKAGE",
                                 "Downloading runtime package", &cancelDownloadRequested, &serverMD5)) {
            if (cancelDownloadRequested.load()) {
                vekai_vlog("Info: Runtime download for %s was cancelled by the user.\n", name.c_str());
                downloadCancelled.store(true);
            } else {
                vekai_vlog("ERROR: Failed to download the runtime package.\n");
            }
            setState(RuntimeState::FAILED);
            return;
        }
        // Whichever store sent it, a checksum that disagrees means the package is not what was published.
        if (!serverMD5.empty()) {
            const std::string expected = lowerCase(serverMD5);
            const auto actual = Utils::computeFileMD5(packagePath);
            if (!actual || *actual != expected) {
                vekai_vlog("ERROR: Runtime package checksum mismatch for %s. Expected MD5: %s, got: %s\n",
                           name.c_str(), expected.c_str(), actual ? actual->c_str() : "<unreadable>");
                Utils::safelyRemoveFile(packagePath);
                messages.addMessage(
                    "RUNTIME_DOWNLOAD_CORRUPTED",
                    "The downloaded runtime package appears to be corrupted (checksum mismatch). "
                    "Please check your Internet connection and try again.",
                    MESSAGE_TYPE::WARNING);
                setState(RuntimeState::FAILED);
                return;
            }
        }
    }

    if (!extractPackage(packagePath, messages)) {
        setState(RuntimeState::FAILED);
        return;
    }
    vekai_vlog("Info: Runtime %s downloaded successfully.\n", name.c_str());
    if (ini().cacheRuntimeArchives) {
        vekai_vlog("Info: Caching the runtime package file as per configuration.\n");
    } else if (Utils::safelyRemoveFile(packagePath)) {
        vekai_vlog("Info: Deleted the tar file successfully.\n");
    } else {
        vekai_vlog("ERROR: Failed to delete the tar file: %s\n", packagePath.c_str());
    }
    markInstalled(messages, name);
}

bool RuntimesManager::extractPackage(const std::string& packagePath, MessagingManager& messages) {
    messages.addMessage("RUNTIME_EXTRACTION", "Extracting runtime from package", MESSAGE_TYPE::INFO);
    const PackageVerdict verdict = inspectRuntimePackage(packagePath, binDirectory);
    if (!verdict.safe) {
        messages.removeMessage("RUNTIME_EXTRACTION");
        vekai_vlog("ERROR: Refusing to extract the runtime package %s: %s\n", packagePath.c_str(),
                   verdict.reason.c_str());
        Utils::safelyRemoveFile(packagePath);
        postExtractionFailed(messages);
        return false;
    }

    std::string command = "tar -xf {file_path} -C {folder_path}";
    Utils::replaceAll(command, "{file_path}", Utils::shellQuote(packagePath));
    Utils::replaceAll(command, "{folder_path}", Utils::shellQuote(binDirectory));
    const auto [status, output] = Utils::runShellCommand(command);
    messages.removeMessage("RUNTIME_EXTRACTION");

    if (status != 0) {
        if (runtimeLibraryPresent()) {
            vekai_vlog(
                "Warning: tar exited with status %d while extracting the runtime package, but the runtime "
                "library "
                "was found on disk. Treating the extraction as successful. Output: %s\n",
                status, output.c_str());
            return true;
        }
        vekai_vlog("ERROR: Failed to extract the runtime package. Tar exit status: %d. Output: %s\n", status,
                   output.c_str());
        postExtractionFailed(messages);
        return false;
    }
    // A package without the library would pass for installed while nothing can load; kept, it would
    // be unpacked again at every attempt.
    if (!runtimeLibraryPresent()) {
        vekai_vlog("ERROR: The runtime package holds no %s.\n", kRuntimeLibrary);
        Utils::safelyRemoveFile(packagePath);
        postExtractionFailed(messages);
        return false;
    }
    return true;
}

void RuntimesManager::markInstalled(MessagingManager& messages, const std::string& name) {
    setState(RuntimeState::INSTALLED);
    recordRuntimeInUse(name);
    clearStaleChipCandidateWarnings(messages);
}

void RuntimesManager::recordRuntimeInUse(const std::string& name) {
    const auto found = runtimeIndex.find(name);
    if (found != runtimeIndex.end() && nvidiaChip && found->second == nvidiaChip.get())
        nvidiaRuntimeUsed.store(true);
}

void RuntimesManager::clearStaleChipCandidateWarnings(MessagingManager& messages) {
    messages.removeMessage("MISSING_OPENCL_ERROR");
    messages.removeMessage("NVIDIA_GPU_SDK");
}

bool RuntimesManager::hidesNvidiaRuntime() const {
    return nvidiaRuntimeUsed.load() && nvidiaChip && nvidiaChip->correctlyInstalled;
}

void RuntimesManager::deleteAllRuntimes() {
    std::error_code failure;
    if (fs::exists(binDirectory, failure)) {
        std::vector<fs::path> entries;
        for (fs::directory_iterator it(binDirectory, failure), end; !failure && it != end;
             it.increment(failure))
            entries.push_back(it->path());
        if (failure) {
            vekai_vlog("Warning! Failed to list %s: %s\n", binDirectory.c_str(), failure.message().c_str());
            return;
        }
        bool entryFailed = false;
        for (const auto& entry : entries) {
            std::error_code removeFailure;
            fs::remove_all(entry, removeFailure);
            if (removeFailure) {
                vekai_vlog("Warning! Failed to remove %s: %s\n", entry.c_str(),
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
    return found->second->getSupportedMIMEType(name);
}
