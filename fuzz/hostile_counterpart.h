// The far end of a shared-memory channel played by the fuzz input: it raises any signal code,
// resizes the data object and writes any length header and bytes, between the receiver's calls.
#pragma once

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vekai_utilities/vekai_ipc_wire.h"

namespace fuzz {

class HostileCounterpart {
public:
    // Opens the data object by its name, as the real counterpart does, so that the receiver's
    // reopening never leaves this end holding a stale descriptor.
    HostileCounterpart(uint8_t* slot, int counter, const std::string& dataName)
        : slot(slot), counter(counter), dataFd(shm_open(dataName.c_str(), O_RDWR, 0600)) {}
    ~HostileCounterpart() {
        if (dataFd >= 0)
            close(dataFd);
    }
    HostileCounterpart(const HostileCounterpart&) = delete;
    HostileCounterpart& operator=(const HostileCounterpart&) = delete;

    // Performs one action and returns false, or returns true when the receiver's turn has come.
    // The counterpart's own failures need no handling: the receiver meets whatever state results.
    bool act(FuzzedDataProvider& input) const {
        switch (input.ConsumeIntegralInRange(0, 4)) {
            case 0: {
                __atomic_store_n(slot, input.ConsumeIntegral<uint8_t>(), __ATOMIC_RELEASE);
                const uint64_t units = input.ConsumeIntegralInRange<uint64_t>(1, 3);
                settle(write(counter, &units, sizeof units));
                return false;
            }
            case 1:
                settle(ftruncate(dataFd, input.ConsumeIntegralInRange<off_t>(0, 1 << 16)));
                return false;
            case 2: {
                const uint32_t announced = input.ConsumeBool()
                                               ? input.ConsumeIntegral<uint32_t>()
                                               : input.ConsumeIntegralInRange<uint32_t>(0, 1 << 16);
                settle(pwrite(dataFd, &announced, sizeof announced, 0));
                return false;
            }
            case 3: {
                const std::vector<uint8_t> bytes =
                    input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange(0, 256));
                settle(pwrite(dataFd, bytes.data(), bytes.size(), VEKAI_IPC_LENGTH_HEADER_BYTES));
                return false;
            }
            default:
                return true;
        }
    }

private:
    static void settle(ssize_t) {}

    uint8_t* slot;  // the control byte the receiver reads its signal code from
    int counter;    // the eventfd the receiver waits on
    int dataFd;     // the data object
};

// Reads every byte of a received message, as a decoder would.
inline uint32_t touchAll(const uint8_t* data, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i)
        sum += data[i];
    return sum;
}

}  // namespace fuzz
