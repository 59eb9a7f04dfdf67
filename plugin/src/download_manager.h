// Downloads the model files and keys the cloud assigns, keeps them cached below the working
// directory and remembers which downloads failed so that they are not retried on every pass.
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

    void createModelDirectories();
    // Brings every model of the map to its downloaded state, or records why it failed.
    void checkModelDownloads(const std::map<std::string, std::shared_ptr<ModelDetails_t>>& models,
                             const std::string& cloudToken);
    // True when the model file and its key are in place.
    bool downloadModelFile(ModelDetails_t& model, const std::string& cloudToken);
    void clearFailedModelDownloads();
    void clearModelFiles();
    std::vector<std::string> getFailedModelDownloads() const;
    static std::string getRuntimeFilepath(const std::string& name) { return "/dev/shm/" + name; }

    void requestStop() { stopRequested.store(true); }
    bool isStopRequested() const { return stopRequested.load(); }

    const std::string modelFilesDirectory;
    const std::string keysDirectory;

private:
    void clearDirectoryContents(const std::string& directory);
    bool isFailed(const std::string& modelId) const;
    // The records are made anew whenever the device list changes: a model still on the failed list
    // shows the failure its download reported, instead of a blank status, until the user retries.
    void showEarlierFailure(ModelDetails_t& model) const;
    // Marks the model failed with a text the settings page shows, and drops the partial file.
    bool failDownload(ModelDetails_t& model, const std::string& error, const std::string& temporaryPath);

    MessagingManager& messages;
    std::atomic<bool> stopRequested{false};
    mutable std::mutex failedMutex;
    std::vector<std::string> failedModelDownloads;
    // What each failed download reported, by model id.
    std::map<std::string, std::vector<std::string>> failedModelErrors;
};
