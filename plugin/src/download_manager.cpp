#include "download_manager.h"

#include <filesystem>
#include <system_error>

#include "utils/plugin_utils.h"
#include "vekai_utilities/vekai_utils.h"

DownloadManager::DownloadManager(const std::string& workingDirectory, MessagingManager& messages)
    : modelFilesDirectory(Utils::joinPaths({workingDirectory, "cache", "model_files"})),
      keysDirectory(Utils::joinPaths({workingDirectory, "cache", "keys"})),
      messages(messages) {}

void DownloadManager::checkModelDownloads(const std::map<std::string, std::shared_ptr<ModelDetails_t>>&,
                                          const std::string&) {}

void DownloadManager::clearFailedModelDownloads() {
    vekai_vlog("Clearing failed model downloads. This will cause model downloads to be retried.");
    std::lock_guard lock(failedMutex);
    failedModelDownloads.clear();
}

std::vector<std::string> DownloadManager::getFailedModelDownloads() const {
    std::lock_guard lock(failedMutex);
    return failedModelDownloads;
}

void DownloadManager::clearModelFiles() {
    clearDirectoryContents(modelFilesDirectory);
    clearDirectoryContents(keysDirectory);
}

void DownloadManager::clearDirectoryContents(const std::string& directory) {
    vekai_vlog("Clearing cached files from %s\n", directory.c_str());
    std::error_code failure;
    std::filesystem::directory_iterator entries(directory, failure);
    if (failure) {
        vekai_vlog("Warning! Failed to list directory %s: %s\n", directory.c_str(),
                   failure.message().c_str());
        return;
    }
    for (const auto& entry : entries) {
        std::error_code removeFailure;
        std::filesystem::remove_all(entry.path(), removeFailure);
        if (removeFailure)
            vekai_vlog("Warning! Failed to remove %s: %s\n", entry.path().c_str(),
                       removeFailure.message().c_str());
    }
}
