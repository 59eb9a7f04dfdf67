#include "download_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vek/network/http_client.h>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "download_manager_utils.h"
#include "engine.h"
#include "ini_manager.h"
#include "messaging_manager.h"
#include "utils/plugin_utils.h"
#include "vekai_crypto.h"
#include "vekai_utilities/vekai_utils.h"

namespace fs = std::filesystem;

namespace {

using vek::network::http::HttpClient;

int64_t modificationTimeSeconds(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<int64_t>(status.st_mtime) : 0;
}

// The key is private to the server's account from the moment the file exists.
bool writePrivateFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (descriptor < 0)
        return false;
    ::fchmod(descriptor, S_IRUSR | S_IWUSR);
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t result = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (result <= 0) {
            ::close(descriptor);
            return false;
        }
        written += static_cast<size_t>(result);
    }
    return ::close(descriptor) == 0;
}

}  // namespace

DownloadManager::DownloadManager(const std::string& workingDirectory, MessagingManager& messages)
    : modelFilesDirectory(Utils::joinPaths({workingDirectory, "cache", "model_files"})),
      keysDirectory(Utils::joinPaths({workingDirectory, "cache", "keys"})),
      messages(messages) {
    createModelDirectories();
}

void DownloadManager::createModelDirectories() {
    std::error_code modelsFailure;
    std::error_code keysFailure;
    fs::create_directories(modelFilesDirectory, modelsFailure);
    fs::create_directories(keysDirectory, keysFailure);
    if (modelsFailure || keysFailure || !fs::is_directory(modelFilesDirectory) ||
        !fs::is_directory(keysDirectory)) {
        messages.addMessage(
            "FAILED_CREATE_CACHE_DIR",
            "Corvane could not create directories needed to store cached models. Please check for "
            "any permission or disk space issues:\n " +
                modelFilesDirectory + "\nand\n" + keysDirectory,
            MESSAGE_TYPE::WARNING);
    }
}

bool DownloadManager::isFailed(const std::string& modelId) const {
    std::lock_guard lock(failedMutex);
    return std::find(failedModelDownloads.begin(), failedModelDownloads.end(), modelId) !=
           failedModelDownloads.end();
}

void DownloadManager::checkModelDownloads(
    const std::map<std::string, std::shared_ptr<ModelDetails_t>>& models, const std::string& cloudToken) {
    for (const auto& [key, model] : models) {
        if (stopRequested.load())
            return;
        if (!model->downloadSize)
            continue;
        if (isFailed(model->id)) {
            showEarlierFailure(*model);
            continue;
        }
        const bool missing =
            !Utils::checkFileExists(model->sourcePath) || !Utils::checkFileExists(model->keyPath);
        if (!missing && modificationTimeSeconds(model->sourcePath) >= model->lastModified) {
            model->status = static_cast<int32_t>(ModelStatus::READY);
            continue;
        }
        vekai_vlog("Model %s needs to be downloaded. Model file missing: %s Model updated on cloud: %s\n",
                   key.c_str(), bool_to_string(missing), bool_to_string(!missing));
        const bool downloaded = downloadModelFile(*model, cloudToken);
        if (!downloaded && !stopRequested.load()) {
            std::lock_guard lock(failedMutex);
            failedModelDownloads.push_back(model->id);
            failedModelErrors[model->id] = model->errors.get();
        }
        if (stopRequested.load())
            return;
    }
}

void DownloadManager::showEarlierFailure(ModelDetails_t& model) const {
    std::lock_guard lock(failedMutex);
    const auto earlier = failedModelErrors.find(model.id);
    if (earlier == failedModelErrors.end() || earlier->second.empty())
        return;
    model.status = static_cast<int32_t>(ModelStatus::FAILED);
    if (model.errors.get().empty()) {
        for (const auto& error : earlier->second)
            model.errors.push_back(error);
    }
}

bool DownloadManager::failDownload(ModelDetails_t& model, const std::string& error,
                                   const std::string& temporaryPath) {
    model.status = static_cast<int32_t>(ModelStatus::FAILED);
    model.errors.push_back(error);
    Utils::safelyRemoveFile(temporaryPath);
    return false;
}

bool DownloadManager::downloadModelFile(ModelDetails_t& model, const std::string& cloudToken) {
    if (stopRequested.load())
        return false;
    const std::string temporaryPath = model.sourcePath + ".tmp";
    model.status = 1;
    vekai_vlog("Downloading %s to temp file: %s then moving to %s\n", model.downloadUrl.c_str(),
               temporaryPath.c_str(), model.sourcePath.c_str());

    HttpClient client(vek::network::ssl::kAcceptAnyCertificate);
    client.addAdditionalHeader("Authorization", cloudToken,
                               vek::network::http::HeaderScope::originalServerOnly);
    client.addAdditionalHeader("User-Agent", std::string("VEKAI-Plugin/") +
                                                 vek::vms_server_plugins::analytics::vekai::kPluginVersion);
    client.setMaxNumberOfRedirects(0);
    client.setAllTimeouts(std::chrono::milliseconds(static_cast<int64_t>(ini().modelDownloadSeconds) * 1000));
    const std::string noResponse =
        "Failed to download model from:" + model.downloadUrl + "\nCouldn't get a response.";
    if (!client.doGet(vek::Url(model.downloadUrl)) && !client.response())
        return failDownload(model, noResponse, temporaryPath);

    if (client.response() && client.response()->statusLine.statusCode == 307) {
        client.removeAdditionalHeader("Authorization");
        client.setMaxNumberOfRedirects(10);
        const auto location = client.response()->headers.getHeaderValue("Location");
        if (!location) {
            vekai_vlog("Error! Got redirection code without 'Location'!\n");
            return false;
        }
        vekai_vlog_verbose("Got redirection link: %s\n", location->c_str());
        if (!client.doGet(vek::Url(model.downloadUrl).resolved(*location)) && !client.response())
            return failDownload(model, noResponse, temporaryPath);
    }
    if (!client.response())
        return failDownload(model, noResponse, temporaryPath);

    const auto& status = client.response()->statusLine;
    if (status.statusCode != 200) {
        const auto body = client.fetchEntireMessageBody();
        return failDownload(model,
                            "Failed to download model from:" + model.downloadUrl +
                                " Code: " + std::to_string(status.statusCode) +
                                " Line: " + status.toString() + " Body: " + body.value_or(""),
                            temporaryPath);
    }

    vekai_vlog_verbose("Getting model symmetric key and save to file.\n");
    const auto keyHeader = client.response()->headers.getHeaderValue("X-Key");
    if (!keyHeader || keyHeader->empty()) {
        vekai_vlog("Error! Model is encrypted but could not get symmetric key!\n");
        return false;
    }
    // A key that does not decode, or is too short to decrypt with, must never reach the key file.
    const auto key = vekai_decode_model_key(*keyHeader);
    if (!key) {
        vekai_vlog("Error! The symmetric key of model %s is not a valid 32-byte Base64 key.\n",
                   model.id.c_str());
        return failDownload(model,
                            "Failed to download model from:" + model.downloadUrl +
                                "\nThe download carried no valid decryption key.",
                            temporaryPath);
    }
    vekai_vlog_verbose("Got symmetric key length %zu for model saved to %s\n", key->size(),
                       temporaryPath.c_str());
    if (!writePrivateFile(model.keyPath, *key)) {
        vekai_vlog("ERROR: Failed to save the symmetric key.\n");
        return false;
    }

    FILE* file = std::fopen(temporaryPath.c_str(), "wb");
    if (!file) {
        vekai_vlog("Error opening file for writing: %s\n", temporaryPath.c_str());
        return false;
    }
    uint64_t received = 0;
    bool writeFailed = false;
    while (!client.eof() && !stopRequested.load()) {
        const std::string chunk = client.fetchMessageBodyBuffer();
        if (!chunk.empty() && std::fwrite(chunk.data(), 1, chunk.size(), file) != chunk.size()) {
            writeFailed = true;
            break;
        }
        received += chunk.size();
        if (model.downloadSize && *model.downloadSize > 0)
            model.downloadProgress =
                static_cast<int64_t>(received * 100 / static_cast<uint64_t>(*model.downloadSize));
    }
    writeFailed = std::fclose(file) != 0 || writeFailed;
    if (stopRequested.load()) {
        Utils::safelyRemoveFile(temporaryPath);
        return false;
    }
    if (writeFailed) {
        return failDownload(model,
                            "Failed to download model from:" + model.downloadUrl +
                                "\nThe model file could not be written to disk.",
                            temporaryPath);
    }
    if (!client.hasRequestSucceeded()) {
        return failDownload(model,
                            "Failed to download model from:" + model.downloadUrl +
                                "\nConnection was interrupted before the download completed.",
                            temporaryPath);
    }
    std::error_code renameFailure;
    fs::rename(temporaryPath, model.sourcePath, renameFailure);
    if (renameFailure) {
        return failDownload(model,
                            "Failed to rename file " + temporaryPath + " to: " + model.sourcePath +
                                "\nEnsure file is accessible and not being used by another program.",
                            temporaryPath);
    }
    model.status = static_cast<int32_t>(ModelStatus::READY);
    vekai_vlog("Download completed of %s to %s\n", model.downloadUrl.c_str(), model.sourcePath.c_str());
    return true;
}

void DownloadManager::clearFailedModelDownloads() {
    vekai_vlog("Clearing failed model downloads. This will cause model downloads to be retried.");
    std::lock_guard lock(failedMutex);
    failedModelDownloads.clear();
    failedModelErrors.clear();
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
    fs::directory_iterator entries(directory, failure);
    if (failure) {
        vekai_vlog("Warning! Failed to list directory %s: %s\n", directory.c_str(),
                   failure.message().c_str());
        return;
    }
    for (const auto& entry : entries) {
        std::error_code removeFailure;
        fs::remove_all(entry.path(), removeFailure);
        if (removeFailure)
            vekai_vlog("Warning! Failed to remove %s: %s\n", entry.path().c_str(),
                       removeFailure.message().c_str());
    }
}
