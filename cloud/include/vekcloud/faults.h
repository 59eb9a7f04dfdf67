// Faults the local cloud injects into its answers so that tests can drive a client's failure paths;
// each is set for a path prefix, and the longest prefix that matches a request's path applies.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace vekcloud {

struct Fault {
    // Waited before answering at all.
    std::chrono::milliseconds delay{0};
    // When not 0, the request is answered with this status and a short text body (or `body`).
    int status = 0;
    // Replaces the body of the answer (with a matching length).
    std::optional<std::string> body{};
    // The connection closes after this many body bytes, although the head announced more.
    std::optional<uint64_t> truncateAfter{};
    // The body byte at this offset is inverted.
    std::optional<uint64_t> corruptAt{};
    // Waited before each piece of the body (pieces are at most 64 KiB).
    std::chrono::milliseconds chunkDelay{0};
    // "X-Checksum-Md5" of a runtime package names other content.
    bool wrongChecksum = false;
    // A model file comes without "X-Key".
    bool missingKey = false;
    // "X-Key" holds a key other than the one the model file was encrypted with.
    bool wrongKey = false;
};

class FaultTable {
public:
    void set(const std::string& pathPrefix, const Fault& fault);
    void clear(const std::string& pathPrefix);
    void clearAll();
    // The fault of the longest prefix of `path`; none when no prefix matches.
    std::optional<Fault> lookup(const std::string& path) const;

private:
    mutable std::mutex mutex;
    std::map<std::string, Fault> faults;
};

}  // namespace vekcloud
