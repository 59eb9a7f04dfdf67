// The plugin's end of the shared-memory channel receiving from an external program that raises
// any signal, resizes the data object at will and announces any length.
#include "fuzz_support.h"
#include "hostile_counterpart.h"
#include "vekai_utilities/vekai_ipc_utils.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    vekai_ipc_channel channel = vekai_ipc_create(input.ConsumeIntegralInRange<size_t>(0, 4096));
    if (!channel)
        return 0;
    // The plugin's end takes signals from slot 1 and counter 1.
    const fuzz::HostileCounterpart peer(channel->signalSlots[1], channel->eventFds[1],
                                        channel->dataShm->name);
    for (int turn = 0; turn < 32 && input.remaining_bytes() > 0; ++turn) {
        if (!peer.act(input))
            continue;
        if (input.ConsumeBool()) {
            vekai_ipc_wait_ready(channel.get(), 0);
            continue;
        }
        const uint8_t* message = nullptr;
        uint32_t length = 0;
        if (vekai_ipc_receive(channel.get(), 0, &message, &length) == VEKAI_IPC_OK) {
            fuzz::touchAll(message, length);
            release_buffer(channel.get());
        }
    }
    return 0;
}
