#include <vekhost/latency_stats.h>

#include <algorithm>
#include <cmath>

namespace vekhost {

LatencyStats::LatencyStats(size_t keptSamples) : keptSamples(std::max<size_t>(keptSamples, 1)) {}

void LatencyStats::add(int64_t latencyUs) {
    std::lock_guard lock(mutex);
    ++seen;
    maxUs = seen == 1 ? latencyUs : std::max(maxUs, latencyUs);
    if (samples.size() < keptSamples) {
        samples.push_back(latencyUs);
        return;
    }
    // Each delay seen so far stays in the sample with the same chance.
    const size_t slot = std::uniform_int_distribution<size_t>(0, seen - 1)(random);
    if (slot < keptSamples)
        samples[slot] = latencyUs;
}

LatencySummary LatencyStats::summary() const {
    std::vector<int64_t> copy;
    LatencySummary result;
    {
        std::lock_guard lock(mutex);
        copy = samples;
        result.samples = seen;
        result.keptSamples = samples.size();
        result.maxUs = maxUs;
    }
    if (copy.empty())
        return result;
    result.p50Us = percentile(copy, 50);
    result.p90Us = percentile(copy, 90);
    result.p99Us = percentile(copy, 99);
    return result;
}

int64_t percentile(std::vector<int64_t> values, double percent) {
    if (values.empty())
        return 0;
    const double rank = std::ceil(percent / 100.0 * static_cast<double>(values.size()));
    const size_t index = static_cast<size_t>(std::clamp(rank, 1.0, static_cast<double>(values.size()))) - 1;
    std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(index), values.end());
    return values[index];
}

}  // namespace vekhost
