// The general file download, streamed to disk with progress notices and a cancel flag, and the
// small file helpers that the downloads share.
#pragma once

#include <atomic>
#include <optional>
#include <string>

class MessagingManager;

namespace Utils {

// Streams url into destination, showing "<title> (N%)" or "<title> (N bytes)" under messageKey
// while it runs. cancelFlag (may be null) is polled between chunks; md5Out (may be null) receives
// the server's "X-Checksum-Md5" header. On failure nothing is left at destination.
bool downloadFile(const std::string& url, const std::string& destination, MessagingManager& messages,
                  const std::string& messageKey, const std::string& title,
                  const std::atomic<bool>* cancelFlag, std::string* md5Out);

// True when the path can be examined.
bool checkFileExists(const std::string& path);

// True when the file was removed or was not there.
bool safelyRemoveFile(const std::string& path);

// 32 lower-case hexadecimal digits, or nothing when the file cannot be read.
std::optional<std::string> computeFileMD5(const std::string& path);

}  // namespace Utils
