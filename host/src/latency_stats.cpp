#include <vekhost/latency_stats.h>

#include <algorithm>
#include <cmath>

namespace vekhost {

void LatencyStats::add(int64_t latencyUs) {
    std::lock_guard lock(mutex);
    samples.push_back(latencyUs);
}

LatencySummary LatencyStats::summary() const {
    std::vector<int64_t> copy;
    {
        std::lock_guard lock(mutex);
        copy = samples;
    }
    LatencySummary result;
    result.samples = copy.size();
    if (copy.empty())
        return result;
    result.p50Us = percentile(copy, 50);
    result.p90Us = percentile(copy, 90);
    result.p99Us = percentile(copy, 99);
    result.maxUs = *std::max_element(copy.begin(), copy.end());
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
