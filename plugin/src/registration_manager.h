// The plugin's client of the AI cloud: whether this server is connected to the cloud, which
// pipelines a device may run, and resetting devices to the cloud's defaults.
#pragma once

#include <vek/sdk/i_utility_provider.h>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace vek::network::http {
class HttpClient;
}

class RegistrationManager {
public:
    static constexpr int32_t kNotChecked = 0;
    static constexpr int32_t kCheckInProgress = 1;
    static constexpr int32_t kNotConnected = 2;
    static constexpr int32_t kConnected = 5;

    using UtilityProvider = vek::sdk::Ptr<vek::sdk::IUtilityProvider>;
    // Pipeline id, display name, and the parameters text {"parameters":{"vekAI":...}}.
    using AvailablePipeline = std::tuple<std::string, std::string, std::string>;

    // Lets another thread abort a pipeline fetch in flight.
    class FetchCancellationHandle {
    public:
        void cancel();
        bool isCancelled() const;

    private:
        friend class RegistrationManager;
        mutable std::mutex mutex;
        vek::network::http::HttpClient* client = nullptr;
        bool cancelled = false;
    };

    int32_t getState() const { return state.load(std::memory_order_acquire); }
    void setState(int32_t value) { state.store(value, std::memory_order_release); }
    bool isConnected() const { return getState() == kConnected; }

    void checkCloudConnection(const UtilityProvider& utilityProvider);
    static std::vector<AvailablePipeline> fetchDeviceAvailablePipelines(
        const UtilityProvider& utilityProvider, const std::string& deviceId,
        FetchCancellationHandle* handle = nullptr);
    static void resetDevicePipelines(const UtilityProvider& utilityProvider,
                                     const std::vector<std::string>& deviceIds);

    // The triple of one element of the available-pipelines answer.
    static AvailablePipeline toAvailablePipeline(const std::string& elementJson);
    // Every element of the available-pipelines answer; none when it is not a JSON array.
    static std::vector<AvailablePipeline> parseAvailablePipelines(const std::string& body);
    // Device id and parameters PATCH body for each member of the reset answer's "Devices" object.
    static std::vector<std::pair<std::string, std::string>> resetDevicePatches(const std::string& answer);

private:
    std::atomic<int32_t> state{kNotChecked};
};
