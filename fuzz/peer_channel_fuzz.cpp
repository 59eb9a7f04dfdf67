// The peer library's end of the shared-memory channel, as an external program links it, receiving
// from a plugin end that raises any signal, resizes the data object and announces any length.
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "hostile_counterpart.h"
#include "vekai_external_peer.h"
#include "vekai_utilities/vekai_ipc_utils.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const vekai_ipc_channel plugin = vekai_ipc_create(input.ConsumeIntegralInRange<size_t>(0, 4096));
    if (!plugin)
        return 0;
    // The peer takes over the counters it is given: hand it copies, as a child process gets.
    const std::string description = std::to_string(dup(plugin->eventFds[0])) + "|" +
                                    std::to_string(dup(plugin->eventFds[1])) + "|" +
                                    plugin->controlShm->name + "|" + plugin->dataShm->name;
    vekai_peer_channel* peer = nullptr;
    if (vekai_peer_open(description.c_str(), &peer) != VEKAI_IPC_OK)
        return 0;
    // The peer takes signals from slot 0 and counter 0.
    const fuzz::HostileCounterpart counterpart(plugin->signalSlots[0], plugin->eventFds[0],
                                               plugin->dataShm->name);
    for (int turn = 0; turn < 32 && input.remaining_bytes() > 0; ++turn) {
        if (!counterpart.act(input))
            continue;
        const void* message = nullptr;
        uint32_t length = 0;
        if (vekai_peer_receive(peer, 0, &message, &length) == VEKAI_IPC_OK) {
            fuzz::touchAll(static_cast<const uint8_t*>(message), length);
            vekai_peer_release(peer);
        }
    }
    vekai_peer_close(peer);
    return 0;
}
