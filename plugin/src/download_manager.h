// Downloads the model files and keys the cloud assigns, keeps them cached below the working
// directory and remembers which downloads failed.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "corvane/vekai_corvane_utils.h"

class MessagingManager;

class DownloadManager {
public:
    DownloadManager(const std::string& workingDirectory, MessagingManager& messages);

    // Brings every model of the map to its downloaded state, or records why it failed.
    void checkModelDownloads(const std::map<std::string, std::shared_ptr<ModelDetails_t>>& models,
                             const std::string& cloudToken);
    void clearFailedModelDownloads();
    void clearModelFiles();
    std::vector<std::string> getFailedModelDownloads() const;

    void requestStop() { stopRequested.store(true); }
    bool isStopRequested() const { return stopRequested.load(); }

    const std::string modelFilesDirectory;
    const std::string keysDirectory;

private:
    void clearDirectoryContents(const std::string& directory);

    MessagingManager& messages;
    mutable std::mutex failedMutex;
    std::vector<std::string> failedModelDownloads;
    std::atomic<bool> stopRequested{false};
};
