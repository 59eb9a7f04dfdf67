// The shared-memory + eventfd channel to an external processor program: creating the plugin's end,
// describing it to the child as text, and exchanging one message at a time (constants in vekai_ipc_wire.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "vekai_utilities/vekai_ipc_wire.h"

inline constexpr int ipc_timeout_ms = VEKAI_IPC_ACK_TIMEOUT_MS;
inline constexpr uint32_t ipc_role_peer = 0;
inline constexpr uint32_t ipc_role_plugin = 1;

// One named POSIX shared-memory object. Destroying it unmaps and closes it, and unlinks the name when
// this process created the object.
struct vekai_shm_t {
    int fd = -1;
    std::string name;
    bool attached = false;
    void* map = nullptr;
    size_t len = 0;
    bool owner = false;

    vekai_shm_t() = default;
    ~vekai_shm_t();
    vekai_shm_t(const vekai_shm_t&) = delete;
    vekai_shm_t& operator=(const vekai_shm_t&) = delete;
};

// One end of a channel. The plugin's end (role 1) raises signals in slot 0 / counter 0 and takes
// them from slot 1 / counter 1; the external program's end uses the opposite pair.
// Destroying it releases both objects (unlinking them at the creating end) and both counters.
struct ipc_sync_internal_t {
    int eventFds[2] = {-1, -1};
    std::unique_ptr<vekai_shm_t> controlShm;
    std::unique_ptr<vekai_shm_t> dataShm;
    uint8_t* signalSlots[2] = {nullptr, nullptr};
    uint32_t role = ipc_role_peer;
    bool ready = false;

    ipc_sync_internal_t() = default;
    ~ipc_sync_internal_t();
    ipc_sync_internal_t(const ipc_sync_internal_t&) = delete;
    ipc_sync_internal_t& operator=(const ipc_sync_internal_t&) = delete;
};

using vekai_ipc_channel = std::unique_ptr<ipc_sync_internal_t>;

// Creates an object named "/vekai_shm_" + 8 upper-case hex digits, owner-only, of `size` bytes, not yet
// mapped. Names come from a process-wide generator; the second form draws them from `generator`.
// Null after 10 name collisions or any other failure.
std::unique_ptr<vekai_shm_t> vekai_shm_create_random(size_t size);
std::unique_ptr<vekai_shm_t> vekai_shm_create_random(size_t size, std::mt19937& generator);

// Resizes the object to `newLength` bytes and maps it whole again; its first bytes survive up to the
// smaller of the two sizes (truncation keeps them). On failure it stays mapped at its old size.
bool vekai_shm_realloc(vekai_shm_t* shm, size_t newLength);

// The plugin's end with a data object of `capacity` + 4 bytes; null on any failure.
vekai_ipc_channel vekai_ipc_create(size_t capacity);

// "<counter 0>|<counter 1>|<control name>|<data name>"; empty for an incomplete channel.
std::string ipc_sync_to_str(const ipc_sync_internal_t* channel);

// The external program's end from a description; it takes over the two descriptors named there.
// Null unless the text has exactly four well-formed fields and both objects open and map.
vekai_ipc_channel ipc_from_str(const std::string& text);

// All return a VEKAI_IPC_* status. Timeouts are milliseconds; a negative one counts as 0.
int vekai_ipc_wait_ready(ipc_sync_internal_t* channel, int timeoutMs);
int vekai_ipc_send_ready(ipc_sync_internal_t* channel);
int vekai_ipc_send_kill(ipc_sync_internal_t* channel);
int vekai_ipc_send(ipc_sync_internal_t* channel, const void* data, size_t length);
// On success `*data` points into the data object and stays valid until release_buffer().
int vekai_ipc_receive(ipc_sync_internal_t* channel, int timeoutMs, const uint8_t** data, uint32_t* length);
int release_buffer(ipc_sync_internal_t* channel);

void ipc_sync_close(vekai_ipc_channel channel);
