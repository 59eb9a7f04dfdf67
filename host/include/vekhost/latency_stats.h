// Delays from a frame's push to the plugin's answer for it, collected from any thread and
// summarised as percentiles.
#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

namespace vekhost {

struct LatencySummary {
    size_t samples = 0;
    // How many of them the percentiles come from: fewer than `samples` once a long run is sampled.
    size_t keptSamples = 0;
    int64_t p50Us = 0;
    int64_t p90Us = 0;
    int64_t p99Us = 0;
    int64_t maxUs = 0;
};

// Keeps every delay up to `keptSamples`, then a uniform random sample of that size: a run of days
// holds bounded memory, and its percentiles become estimates from the sample. Count and maximum stay
// exact.
class LatencyStats {
public:
    static constexpr size_t kDefaultKeptSamples = 10000;

    explicit LatencyStats(size_t keptSamples = kDefaultKeptSamples);
    void add(int64_t latencyUs);
    LatencySummary summary() const;

private:
    const size_t keptSamples;
    mutable std::mutex mutex;
    std::vector<int64_t> samples;
    size_t seen = 0;
    int64_t maxUs = 0;
    std::minstd_rand random;
};

// The nearest-rank percentile (0 < percent <= 100) of the values; 0 for none.
int64_t percentile(std::vector<int64_t> values, double percent);

}  // namespace vekhost
