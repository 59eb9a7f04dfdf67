#include "ipc_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "vekai_utilities/vekai_utils.h"

namespace ipc_test {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    root =
        std::filesystem::temp_directory_path() / ("vekai_ipc_test_" + std::to_string(getpid()) + "_" +
                                                  std::to_string(counter++) + "_" + std::to_string(random()));
    std::filesystem::create_directories(root);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

LogCapture::LogCapture() {
    const std::string start = (folder.path() / "start.log").string();
    const std::string rotating = (folder.path() / "plugin.log").string();
    vekai_initialize_logging(start.c_str(), rotating.c_str(), "AI Plugin: ", false, true, 2);
}

LogCapture::~LogCapture() {
    vekai_finalise_logging();
}

std::string LogCapture::text() const {
    return readFile(folder.path() / "start.log") + readFile(folder.path() / "plugin.log");
}

bool shmExists(const std::string& name) {
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

namespace {
std::optional<struct stat> shmStat(const std::string& name) {
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    const bool ok = fstat(fd, &info) == 0;
    close(fd);
    return ok ? std::optional(info) : std::nullopt;
}

int openShm(const std::string& name) {
    const int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + name + ": " + strerror(errno));
    }
    return fd;
}

uint8_t* mapWhole(int fd, size_t* length) {
    struct stat info {};
    fstat(fd, &info);
    *length = static_cast<size_t>(info.st_size);
    void* map = mmap(nullptr, *length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        throw std::runtime_error("cannot map shared memory");
    }
    return static_cast<uint8_t*>(map);
}
}  // namespace

std::optional<unsigned> shmMode(const std::string& name) {
    const auto info = shmStat(name);
    return info ? std::optional(static_cast<unsigned>(info->st_mode & 0777)) : std::nullopt;
}

std::optional<size_t> shmSize(const std::string& name) {
    const auto info = shmStat(name);
    return info ? std::optional(static_cast<size_t>(info->st_size)) : std::nullopt;
}

std::vector<std::string> descriptionFields(const std::string& description) {
    std::vector<std::string> fields;
    std::stringstream stream(description);
    for (std::string field; std::getline(stream, field, '|');) {
        fields.push_back(field);
    }
    return fields;
}

std::string withDuplicatedCounters(const std::string& description) {
    const auto fields = descriptionFields(description);
    return std::to_string(dup(std::stoi(fields.at(0)))) + "|" + std::to_string(dup(std::stoi(fields.at(1)))) +
           "|" + fields.at(2) + "|" + fields.at(3);
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

RawPeer::RawPeer(const std::string& description) {
    const auto fields = descriptionFields(description);
    counters[0] = std::stoi(fields.at(0));
    counters[1] = std::stoi(fields.at(1));
    const int controlFd = openShm(fields.at(2));
    size_t controlLength = 0;
    controlBytes = mapWhole(controlFd, &controlLength);
    close(controlFd);
    dataName = fields.at(3);
    remapData();
}

RawPeer::~RawPeer() {
    munmap(controlBytes, 2);
    if (data != nullptr) {
        munmap(data, dataLength);
    }
}

void RawPeer::raise(uint8_t code) {
    __atomic_store_n(&controlBytes[1], code, __ATOMIC_RELEASE);
    const uint64_t one = 1;
    if (write(counters[1], &one, sizeof one) != sizeof one) {
        throw std::runtime_error("cannot raise a signal");
    }
}

std::optional<uint8_t> RawPeer::wait(std::chrono::milliseconds timeout) {
    pollfd readable{counters[0], POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(timeout.count())) != 1) {
        return std::nullopt;
    }
    uint64_t unit = 0;
    if (read(counters[0], &unit, sizeof unit) != sizeof unit) {
        return std::nullopt;
    }
    return __atomic_load_n(&controlBytes[0], __ATOMIC_ACQUIRE);
}

bool RawPeer::pluginHasPendingSignal() const {
    pollfd readable{counters[1], POLLIN, 0};
    return poll(&readable, 1, 0) == 1;
}

void RawPeer::remapData() {
    if (data != nullptr) {
        munmap(data, dataLength);
    }
    const int fd = openShm(dataName);
    data = mapWhole(fd, &dataLength);
    close(fd);
}

uint32_t RawPeer::announcedLength() const {
    uint32_t length = 0;
    memcpy(&length, data, sizeof length);
    return length;
}

std::vector<uint8_t> RawPeer::message() const {
    return {data + 4, data + 4 + announcedLength()};
}

void RawPeer::writeMessage(uint32_t announced, const std::vector<uint8_t>& bytes) {
    memcpy(data, &announced, sizeof announced);
    std::copy(bytes.begin(), bytes.end(), data + 4);
}

void RawPeer::resizeData(size_t size) {
    const int fd = openShm(dataName);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        throw std::runtime_error("cannot resize shared memory");
    }
    close(fd);
    remapData();
}

ChildProgram::ChildProgram(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> owned{program};
    owned.insert(owned.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : owned) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
}

ChildProgram::~ChildProgram() {
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::optional<std::string> reportValue(const std::filesystem::path& report, const std::string& key,
                                       std::chrono::milliseconds timeout) {
    if (!waitUntil([&] { return std::filesystem::exists(report); }, timeout)) {
        return std::nullopt;
    }
    std::stringstream lines(readFile(report));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + " ", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return std::nullopt;
}

}  // namespace ipc_test
