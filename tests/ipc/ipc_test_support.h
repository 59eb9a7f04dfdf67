// Helpers for the channel and external-process tests: a wire-level stand-in for the external program,
// log capture, temporary folders and bounded waiting.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ipc_test {

// A fresh folder below the system temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return root; }

private:
    std::filesystem::path root;
};

// Sends the plugin's log (verbose) to a file for the lifetime of the object.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::string text() const;
    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

private:
    TempDir folder;
};

bool shmExists(const std::string& name);
// Permission bits of a shared-memory object, or nothing when it cannot be opened.
std::optional<unsigned> shmMode(const std::string& name);
// Size of a shared-memory object, or nothing when it cannot be opened.
std::optional<size_t> shmSize(const std::string& name);

// Splits a channel description at its bars.
std::vector<std::string> descriptionFields(const std::string& description);
// The same description with both counters duplicated, for a second end inside this process.
std::string withDuplicatedCounters(const std::string& description);

// Polls `done` until it holds or `timeout` passes; true when it held.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// Plays the external program's end directly on the wire, inside this process: same counters
// (shared descriptors), objects opened by name.
class RawPeer {
public:
    explicit RawPeer(const std::string& description);
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    // Writes the code into slot 1 and one unit into counter 1.
    void raise(uint8_t code);
    // Takes one unit from counter 0 and returns slot 0, or nothing after the timeout.
    std::optional<uint8_t> wait(std::chrono::milliseconds timeout);
    // Units waiting in counter 1, that is signals the plugin's end has not taken yet.
    bool pluginHasPendingSignal() const;

    // Re-opens and maps the data object at its current size.
    void remapData();
    size_t dataSize() const { return dataLength; }
    uint32_t announcedLength() const;
    std::vector<uint8_t> message() const;
    // Writes a length header and the bytes (which may disagree on purpose).
    void writeMessage(uint32_t announced, const std::vector<uint8_t>& bytes);
    void resizeData(size_t size);

private:
    int counters[2] = {-1, -1};
    std::string dataName;
    uint8_t* controlBytes = nullptr;
    uint8_t* data = nullptr;
    size_t dataLength = 0;
};

// A child process running `program` with `arguments`, killed and reaped when the object goes.
class ChildProgram {
public:
    ChildProgram(const std::string& program, const std::vector<std::string>& arguments);
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    pid_t pid() const { return child; }

private:
    pid_t child = -1;
};

// Reads a whole text file; empty when it does not exist.
std::string readFile(const std::filesystem::path& path);

// Reads "key value" lines of a report written by the test program, once it exists.
std::optional<std::string> reportValue(const std::filesystem::path& report, const std::string& key,
                                       std::chrono::milliseconds timeout);

}  // namespace ipc_test
