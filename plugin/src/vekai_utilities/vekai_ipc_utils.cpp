#include "vekai_utilities/vekai_ipc_utils.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "vekai_utilities/vekai_utils.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxNameAttempts = 10;
// A peer that keeps its counter full must not keep a sender draining forever.
constexpr int kMaxStaleSignals = 64;
constexpr mode_t kOwnerOnly = 0600;

int sendSide(const ipc_sync_internal_t* channel) {
    return channel->role == ipc_role_plugin ? 0 : 1;
}

int receiveSide(const ipc_sync_internal_t* channel) {
    return 1 - sendSide(channel);
}

bool isComplete(const ipc_sync_internal_t* channel) {
    return channel != nullptr && channel->eventFds[0] >= 0 && channel->eventFds[1] >= 0 &&
           channel->signalSlots[0] != nullptr && channel->signalSlots[1] != nullptr && channel->dataShm &&
           channel->dataShm->attached && channel->dataShm->len >= VEKAI_IPC_LENGTH_HEADER_BYTES;
}

void closeDescriptor(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

void detach(vekai_shm_t* shm) {
    if (shm->attached) {
        munmap(shm->map, shm->len);
    }
    shm->attached = false;
    shm->map = nullptr;
}

// Maps the object whole, at the size the object has now.
bool attachWhole(vekai_shm_t* shm) {
    detach(shm);
    struct stat info {};
    if (fstat(shm->fd, &info) != 0 || info.st_size <= 0) {
        return false;
    }
    void* map =
        mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, shm->fd, 0);
    if (map == MAP_FAILED) {
        return false;
    }
    shm->map = map;
    shm->len = static_cast<size_t>(info.st_size);
    shm->attached = true;
    return true;
}

std::unique_ptr<vekai_shm_t> openByName(const std::string& name) {
    auto shm = std::make_unique<vekai_shm_t>();
    shm->fd = shm_open(name.c_str(), O_RDWR, kOwnerOnly);
    if (shm->fd < 0) {
        vekai_vlog("Warning! Could not open POSIX SHM %s: %s\n", name.c_str(), strerror(errno));
        return nullptr;
    }
    shm->name = name;
    if (!attachWhole(shm.get())) {
        vekai_vlog("Warning! Could not map POSIX SHM %s: %s\n", name.c_str(), strerror(errno));
        return nullptr;
    }
    return shm;
}

std::mutex& generatorMutex() {
    static std::mutex mutex;
    return mutex;
}

std::mt19937& processGenerator() {
    static std::mt19937 generator{std::random_device{}()};
    return generator;
}

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

Clock::time_point deadlineAfter(int timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
}

int raiseSignal(ipc_sync_internal_t* channel, uint8_t code) {
    const int side = sendSide(channel);
    std::atomic_ref<uint8_t>(*channel->signalSlots[side]).store(code, std::memory_order_release);
    const uint64_t one = 1;
    ssize_t written;
    do {
        written = write(channel->eventFds[side], &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    return written == sizeof one ? VEKAI_IPC_OK : VEKAI_IPC_SIGNAL_FAILED;
}

// Takes one unit from the receive counter once it is readable (or at once when `deadline` has passed)
// and reads the code from the peer's slot.
int waitSignal(ipc_sync_internal_t* channel, Clock::time_point deadline, uint8_t* code) {
    const int side = receiveSide(channel);
    for (;;) {
        pollfd readable{channel->eventFds[side], POLLIN, 0};
        const int polled = poll(&readable, 1, remainingMs(deadline));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled < 0 || (readable.revents & (POLLERR | POLLNVAL)) != 0) {
            return VEKAI_IPC_INVALID;
        }
        if (polled == 0) {
            return VEKAI_IPC_TIMEOUT;
        }
        uint64_t unit = 0;
        const ssize_t got = read(channel->eventFds[side], &unit, sizeof unit);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got != sizeof unit) {
            return VEKAI_IPC_INVALID;
        }
        *code = std::atomic_ref<uint8_t>(*channel->signalSlots[side]).load(std::memory_order_acquire);
        return VEKAI_IPC_OK;
    }
}

int drainStaleSignals(ipc_sync_internal_t* channel) {
    for (int drained = 0; drained < kMaxStaleSignals; ++drained) {
        uint8_t code = 0;
        const int status = waitSignal(channel, Clock::now(), &code);
        if (status == VEKAI_IPC_TIMEOUT) {
            return VEKAI_IPC_OK;
        }
        if (status != VEKAI_IPC_OK) {
            return status;
        }
        vekai_vlog("Warning! Discarded stale signal %d left over from an abandoned exchange.\n", code);
    }
    vekai_vlog("Warning! External process keeps raising signals; message not sent.\n");
    return VEKAI_IPC_UNEXPECTED_SIGNAL;
}

// The peer resized the data object: map it again, preferably through a fresh open of its name.
bool remapResizedData(vekai_shm_t* shm) {
    detach(shm);
    const int reopened = shm_open(shm->name.c_str(), O_RDWR, kOwnerOnly);
    if (reopened >= 0) {
        close(shm->fd);
        shm->fd = reopened;
    }
    return attachWhole(shm) && shm->len >= VEKAI_IPC_LENGTH_HEADER_BYTES;
}

bool parseDescriptor(const std::string& text, int* fd) {
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, *fd);
    return !text.empty() && error == std::errc() && stop == end && *fd >= 0 && fcntl(*fd, F_GETFD) >= 0;
}

}  // namespace

vekai_shm_t::~vekai_shm_t() {
    detach(this);
    closeDescriptor(fd);
    if (owner) {
        shm_unlink(name.c_str());
    }
}

ipc_sync_internal_t::~ipc_sync_internal_t() {
    closeDescriptor(eventFds[0]);
    closeDescriptor(eventFds[1]);
}

std::unique_ptr<vekai_shm_t> vekai_shm_create_random(size_t size) {
    std::lock_guard lock(generatorMutex());
    return vekai_shm_create_random(size, processGenerator());
}

std::unique_ptr<vekai_shm_t> vekai_shm_create_random(size_t size, std::mt19937& generator) {
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        char name[32];
        snprintf(name, sizeof name, "%s%08X", VEKAI_IPC_SHM_NAME_PREFIX, static_cast<unsigned>(generator()));
        const int fd = shm_open(name, O_CREAT | O_EXCL | O_RDWR, kOwnerOnly);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            vekai_vlog("Error! Could not create POSIX SHM %s: %s\n", name, strerror(errno));
            return nullptr;
        }
        auto shm = std::make_unique<vekai_shm_t>();
        shm->fd = fd;
        shm->name = name;
        shm->owner = true;
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
            vekai_vlog("Warning! Could not size POSIX SHM %s: %s\n", name, strerror(errno));
            continue;
        }
        shm->len = size;
        return shm;
    }
    vekai_vlog("Error! Could not create a POSIX SHM with a free name after %d attempts.\n", kMaxNameAttempts);
    return nullptr;
}

bool vekai_shm_realloc(vekai_shm_t* shm, size_t newLength) {
    detach(shm);
    if (ftruncate(shm->fd, static_cast<off_t>(newLength)) != 0) {
        vekai_error_log("Error! Could not truncate POSIX SHM: %s\n", strerror(errno));
        attachWhole(shm);
        return false;
    }
    return attachWhole(shm) && shm->len == newLength;
}

vekai_ipc_channel vekai_ipc_create(size_t capacity) {
    if (capacity > UINT32_MAX - VEKAI_IPC_LENGTH_HEADER_BYTES) {
        vekai_vlog("Error! IPC channel capacity %zu is too large.\n", capacity);
        return nullptr;
    }
    auto channel = std::make_unique<ipc_sync_internal_t>();
    channel->role = ipc_role_plugin;
    for (int& fd : channel->eventFds) {
        // Without close-on-exec: the external program inherits the counters.
        fd = eventfd(0, EFD_SEMAPHORE);
        if (fd < 0) {
            vekai_vlog("Error! Could not create IPC event counter: %s\n", strerror(errno));
            return nullptr;
        }
    }
    channel->controlShm = vekai_shm_create_random(VEKAI_IPC_CONTROL_BYTES);
    channel->dataShm = vekai_shm_create_random(capacity + VEKAI_IPC_LENGTH_HEADER_BYTES);
    if (!channel->controlShm || !channel->dataShm) {
        return nullptr;
    }
    if (!attachWhole(channel->controlShm.get()) || !attachWhole(channel->dataShm.get())) {
        vekai_vlog("Error! Could not map IPC channel SHM: %s\n", strerror(errno));
        return nullptr;
    }
    auto* slots = static_cast<uint8_t*>(channel->controlShm->map);
    slots[0] = VEKAI_IPC_SIGNAL_ACK;
    slots[1] = VEKAI_IPC_SIGNAL_ACK;
    channel->signalSlots[0] = &slots[0];
    channel->signalSlots[1] = &slots[1];
    return channel;
}

std::string ipc_sync_to_str(const ipc_sync_internal_t* channel) {
    if (channel == nullptr || channel->eventFds[0] < 0 || channel->eventFds[1] < 0 || !channel->controlShm ||
        !channel->dataShm) {
        return {};
    }
    const char separator = VEKAI_IPC_DESCRIPTION_SEPARATOR;
    return std::to_string(channel->eventFds[0]) + separator + std::to_string(channel->eventFds[1]) +
           separator + channel->controlShm->name + separator + channel->dataShm->name;
}

vekai_ipc_channel ipc_from_str(const std::string& text) {
    std::string fields[4];
    size_t field = 0;
    for (char c : text) {
        if (c != VEKAI_IPC_DESCRIPTION_SEPARATOR) {
            fields[field] += c;
        } else if (++field == 4) {
            break;
        }
    }
    int counters[2] = {-1, -1};
    if (field != 3 || !parseDescriptor(fields[0], &counters[0]) ||
        !parseDescriptor(fields[1], &counters[1]) || fields[2].empty() || fields[3].empty()) {
        vekai_vlog("Warning! Malformed IPC channel description: %s\n", text.c_str());
        return nullptr;
    }
    auto channel = std::make_unique<ipc_sync_internal_t>();
    channel->role = ipc_role_peer;
    // The peer has nobody to wait for before it answers.
    channel->ready = true;
    channel->eventFds[0] = counters[0];
    channel->eventFds[1] = counters[1];
    channel->controlShm = openByName(fields[2]);
    channel->dataShm = openByName(fields[3]);
    if (!channel->controlShm || !channel->dataShm || channel->controlShm->len < VEKAI_IPC_CONTROL_BYTES ||
        channel->dataShm->len < VEKAI_IPC_LENGTH_HEADER_BYTES) {
        return nullptr;
    }
    auto* slots = static_cast<uint8_t*>(channel->controlShm->map);
    channel->signalSlots[0] = &slots[0];
    channel->signalSlots[1] = &slots[1];
    return channel;
}

int vekai_ipc_wait_ready(ipc_sync_internal_t* channel, int timeoutMs) {
    if (!isComplete(channel)) {
        return VEKAI_IPC_INVALID;
    }
    uint8_t code = 0;
    const int status = waitSignal(channel, deadlineAfter(timeoutMs), &code);
    if (status != VEKAI_IPC_OK) {
        return status;
    }
    if (code != VEKAI_IPC_SIGNAL_READY) {
        vekai_vlog("Warning! Expected ready signal from external process, got %d.\n", code);
        return VEKAI_IPC_UNEXPECTED_SIGNAL;
    }
    channel->ready = true;
    return VEKAI_IPC_OK;
}

int vekai_ipc_send_ready(ipc_sync_internal_t* channel) {
    return isComplete(channel) ? raiseSignal(channel, VEKAI_IPC_SIGNAL_READY) : VEKAI_IPC_INVALID;
}

int vekai_ipc_send_kill(ipc_sync_internal_t* channel) {
    return isComplete(channel) ? raiseSignal(channel, VEKAI_IPC_SIGNAL_KILL) : VEKAI_IPC_INVALID;
}

int vekai_ipc_send(ipc_sync_internal_t* channel, const void* data, size_t length) {
    if (!isComplete(channel)) {
        return VEKAI_IPC_INVALID;
    }
    if (!channel->ready) {
        return VEKAI_IPC_NOT_READY;
    }
    if (length > UINT32_MAX - VEKAI_IPC_LENGTH_HEADER_BYTES) {
        vekai_vlog("Warning! Message of %zu bytes is too large for the IPC channel.\n", length);
        return VEKAI_IPC_INVALID;
    }
    if (const int drained = drainStaleSignals(channel); drained != VEKAI_IPC_OK) {
        return drained;
    }
    vekai_vlog_verbose("Sending message with size: %u\n", static_cast<unsigned>(length));

    vekai_shm_t* shm = channel->dataShm.get();
    const size_t needed = length + VEKAI_IPC_LENGTH_HEADER_BYTES;
    uint8_t code = 0;
    if (shm->len < needed) {
        vekai_vlog_verbose("Reallocating buffer from %zu to %zu\n", shm->len, needed);
        if (!vekai_shm_realloc(shm, needed)) {
            vekai_vlog("Warning! Could not attach to reallocated data SHM!\n");
            return VEKAI_IPC_INVALID;
        }
        if (raiseSignal(channel, VEKAI_IPC_SIGNAL_REALLOC) != VEKAI_IPC_OK) {
            vekai_vlog("Warning! Could not send reallocation signal to external process!\n");
            return VEKAI_IPC_SIGNAL_FAILED;
        }
        vekai_vlog_verbose("Sent realloc signal, waiting for ack\n");
        const int status = waitSignal(channel, deadlineAfter(ipc_timeout_ms), &code);
        if (status != VEKAI_IPC_OK) {
            vekai_vlog("Warning! Could not receive reallocation signal from external process!\n");
            return status;
        }
        vekai_vlog_verbose("Got response: %d %d\n", status, code);
        if (code != VEKAI_IPC_SIGNAL_ACK) {
            vekai_vlog("Warning! External process did not acknowledge reallocation!\n");
            return VEKAI_IPC_NOT_ACKNOWLEDGED;
        }
    }

    auto* bytes = static_cast<uint8_t*>(shm->map);
    const uint32_t header = static_cast<uint32_t>(length);
    memcpy(bytes, &header, sizeof header);
    if (length > 0) {
        memcpy(bytes + VEKAI_IPC_LENGTH_HEADER_BYTES, data, length);
    }
    if (raiseSignal(channel, VEKAI_IPC_SIGNAL_DATA) != VEKAI_IPC_OK) {
        vekai_vlog("Warning! Could not send data notice to external process!\n");
        return VEKAI_IPC_SIGNAL_FAILED;
    }
    const int status = waitSignal(channel, deadlineAfter(ipc_timeout_ms), &code);
    if (status != VEKAI_IPC_OK) {
        vekai_vlog("Warning! Could not receive data-notice acknowledgement from external process!\n");
        return status;
    }
    if (code != VEKAI_IPC_SIGNAL_ACK) {
        vekai_vlog("Warning! External process did not acknowledge data notice!\n");
        return VEKAI_IPC_NOT_ACKNOWLEDGED;
    }
    return VEKAI_IPC_OK;
}

int vekai_ipc_receive(ipc_sync_internal_t* channel, int timeoutMs, const uint8_t** data, uint32_t* length) {
    if (!isComplete(channel)) {
        return VEKAI_IPC_INVALID;
    }
    // Late ready signals and resizes do not extend the caller's wait.
    const auto deadline = deadlineAfter(timeoutMs);
    uint8_t code = 0;
    for (;;) {
        const int status = waitSignal(channel, deadline, &code);
        if (status != VEKAI_IPC_OK) {
            return status;
        }
        if (code == VEKAI_IPC_SIGNAL_READY) {
            continue;
        }
        if (code != VEKAI_IPC_SIGNAL_REALLOC) {
            break;
        }
        if (!remapResizedData(channel->dataShm.get())) {
            vekai_vlog("Warning! Could not attach to reallocated data SHM!\n");
            return VEKAI_IPC_INVALID;
        }
        if (raiseSignal(channel, VEKAI_IPC_SIGNAL_ACK) != VEKAI_IPC_OK) {
            vekai_vlog("Warning! Could not acknowledge reallocation to external process!\n");
            return VEKAI_IPC_SIGNAL_FAILED;
        }
    }
    if (code != VEKAI_IPC_SIGNAL_DATA) {
        vekai_vlog("Warning! Unexpected signal %d from external process while waiting for data.\n", code);
        return VEKAI_IPC_UNEXPECTED_SIGNAL;
    }

    const vekai_shm_t* shm = channel->dataShm.get();
    const auto* bytes = static_cast<const uint8_t*>(shm->map);
    // The peer can shrink the object without telling; reading past its end, even the length
    // header, would fault.
    struct stat info {};
    const size_t objectSize = fstat(shm->fd, &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
    const size_t usable = std::min(shm->len, objectSize);
    uint32_t announced = 0;
    if (usable >= VEKAI_IPC_LENGTH_HEADER_BYTES) {
        memcpy(&announced, bytes, sizeof announced);
    }
    if (usable < VEKAI_IPC_LENGTH_HEADER_BYTES || announced > usable - VEKAI_IPC_LENGTH_HEADER_BYTES) {
        vekai_vlog(
            "Warning! External process announced a message of %u bytes but the data SHM holds %zu; "
            "message refused.\n",
            announced, usable < VEKAI_IPC_LENGTH_HEADER_BYTES ? 0 : usable - VEKAI_IPC_LENGTH_HEADER_BYTES);
        return VEKAI_IPC_LENGTH_EXCEEDS_OBJECT;
    }
    *length = announced;
    *data = bytes + VEKAI_IPC_LENGTH_HEADER_BYTES;
    return VEKAI_IPC_OK;
}

int release_buffer(ipc_sync_internal_t* channel) {
    return isComplete(channel) ? raiseSignal(channel, VEKAI_IPC_SIGNAL_ACK) : VEKAI_IPC_INVALID;
}

void ipc_sync_close(vekai_ipc_channel channel) {
    channel.reset();
}
