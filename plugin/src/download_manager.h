// Downloads the model files and keys the cloud assigns, keeps them cached below the working
// directory and remembers which downloads failed.
#pragma once

#include <atomic>
#include <string>

class MessagingManager;

class DownloadManager {
public:
    DownloadManager(const std::string& workingDirectory, MessagingManager& messages);

    void requestStop() { stopRequested.store(true); }
    bool isStopRequested() const { return stopRequested.load(); }

    const std::string modelFilesDirectory;
    const std::string keysDirectory;

private:
    MessagingManager& messages;
    std::atomic<bool> stopRequested{false};
};
