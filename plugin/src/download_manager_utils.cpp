#include "download_manager_utils.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <vek/network/http_client.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "messaging_manager.h"
#include "vekai_utilities/vekai_utils.h"

namespace Utils {

namespace {

std::optional<uint64_t> parseLength(const std::string& text) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string progressText(const std::string& title, uint64_t received, uint64_t total) {
    const std::string amount =
        total != 0 ? std::to_string(received * 100 / total) + "%" : std::to_string(received) + " bytes";
    return title + " (" + amount + ")\nPress 'Refresh' to see updated progress.";
}

}  // namespace

bool downloadFile(const std::string& url, const std::string& destination, MessagingManager& messages,
                  const std::string& messageKey, const std::string& title,
                  const std::atomic<bool>* cancelFlag, std::string* md5Out) {
    vekai_vlog("Downloading %s to file: %s\n", url.c_str(), destination.c_str());
    messages.removeMessage(messageKey);

    // What arrives here is installed and run as native code: the server must prove who it is.
    vek::network::http::HttpClient client(vek::network::ssl::kDefaultCertificateCheck);
    if (!client.doGet(vek::Url(url)) || !client.response()) {
        vekai_vlog("Failed to download file at: %s\n", url.c_str());
        return false;
    }
    const auto& response = *client.response();
    if (response.statusLine.statusCode != 200) {
        vekai_vlog("Error! Could not request file data! Status code: %d\n", response.statusLine.statusCode);
        return false;
    }

    std::ofstream file(destination, std::ios::binary | std::ios::trunc);
    if (!file) {
        vekai_vlog("Error opening file for writing: %s\n", destination.c_str());
        return false;
    }
    if (md5Out != nullptr)
        *md5Out = response.headers.getHeaderValue("X-Checksum-Md5").value_or("");
    const std::string lengthText = response.headers.getHeaderValue("Content-Length").value_or("");
    const auto length = parseLength(lengthText);
    if (!length)
        vekai_vlog("Warning! Could not get content length of download %s : %s\n", url.c_str(),
                   lengthText.c_str());
    const uint64_t total = length.value_or(0);

    const auto giveUp = [&] {
        messages.removeMessage(messageKey);
        file.close();
        safelyRemoveFile(destination);
        return false;
    };
    uint64_t received = 0;
    while (true) {
        if (client.eof()) {
            file.flush();
            messages.removeMessage(messageKey);
            if (!file) {
                vekai_vlog("Error writing to file: %s\n", destination.c_str());
                return giveUp();
            }
            if (client.hasRequestSucceeded())
                return true;
            vekai_vlog("Download of %s was interrupted before completing.\n", url.c_str());
            return giveUp();
        }
        if (cancelFlag != nullptr && cancelFlag->load()) {
            vekai_vlog("Download of %s was cancelled by the user.\n", url.c_str());
            return giveUp();
        }
        const std::string chunk = client.fetchMessageBodyBuffer();
        // A full disk must not pass for a complete download.
        if (!file.write(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
            vekai_vlog("Error writing to file: %s\n", destination.c_str());
            return giveUp();
        }
        received += chunk.size();
        messages.addMessage(messageKey, progressText(title, received, total), MESSAGE_TYPE::INFO);
    }
}

bool checkFileExists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

bool safelyRemoveFile(const std::string& path) {
    if (std::remove(path.c_str()) == 0 || errno == ENOENT)
        return true;
    vekai_vlog("Warning! Could not delete file: %s (Error: %s)\n", path.c_str(), std::strerror(errno));
    return false;
}

std::optional<std::string> computeFileMD5(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1)
        return std::nullopt;
    char buffer[64 * 1024];
    while (file) {
        file.read(buffer, sizeof(buffer));
        if (file.gcount() > 0 &&
            EVP_DigestUpdate(context.get(), buffer, static_cast<size_t>(file.gcount())) != 1)
            return std::nullopt;
    }
    if (!file.eof())
        return std::nullopt;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1)
        return std::nullopt;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < digestLength; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0f];
    }
    return hex;
}

}  // namespace Utils
