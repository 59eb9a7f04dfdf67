// Delays from a frame's push to the plugin's answer for it, collected from any thread and
// summarised as percentiles.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace vekhost {

struct LatencySummary {
    size_t samples = 0;
    int64_t p50Us = 0;
    int64_t p90Us = 0;
    int64_t p99Us = 0;
    int64_t maxUs = 0;
};

class LatencyStats {
public:
    void add(int64_t latencyUs);
    LatencySummary summary() const;

private:
    mutable std::mutex mutex;
    std::vector<int64_t> samples;
};

// The nearest-rank percentile (0 < percent <= 100) of the values; 0 for none.
int64_t percentile(std::vector<int64_t> values, double percent);

}  // namespace vekhost
