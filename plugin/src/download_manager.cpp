#include "download_manager.h"

#include "utils/plugin_utils.h"

DownloadManager::DownloadManager(const std::string& workingDirectory, MessagingManager& messages)
    : modelFilesDirectory(Utils::joinPaths({workingDirectory, "cache", "model_files"})),
      keysDirectory(Utils::joinPaths({workingDirectory, "cache", "keys"})),
      messages(messages) {}
