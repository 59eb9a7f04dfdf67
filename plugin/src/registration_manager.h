// The plugin's client of the AI cloud: whether this server is connected to the cloud, which
// pipelines a device may run, and resetting devices to the cloud's defaults.
#pragma once

#include <atomic>
#include <cstdint>

class RegistrationManager {
public:
    static constexpr int32_t kNotChecked = 0;
    static constexpr int32_t kCheckInProgress = 1;
    static constexpr int32_t kNotConnected = 2;
    static constexpr int32_t kConnected = 5;

    int32_t getState() const { return state.load(std::memory_order_acquire); }
    void setState(int32_t value) { state.store(value, std::memory_order_release); }
    bool isConnected() const { return getState() == kConnected; }

private:
    std::atomic<int32_t> state{kNotChecked};
};
