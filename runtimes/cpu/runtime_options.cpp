#include "runtime_options.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace vekrt {

namespace {

constexpr int kMaxCount = 1024;

bool parseCount(const char* text, int& value) {
    const char* end = text + std::strlen(text);
    const auto [last, error] = std::from_chars(text, end, value);
    return error == std::errc() && last == end && value > 0 && value <= kMaxCount;
}

}  // namespace

std::optional<RuntimeOptions> parseRuntimeOptions(const Config& config, unsigned hardwareThreads,
                                                  std::string& error) {
    const int threads = static_cast<int>(std::clamp(hardwareThreads, 1u, static_cast<unsigned>(kMaxCount)));
    RuntimeOptions options;
    bool intraOpGiven = false;
    // Two threads per inference keep latency low while leaving room for parallel inferences.
    options.workers = std::max(1, threads / 2);
    for (int32_t i = 0; i < config.count; ++i) {
        if (config.keys == nullptr || config.values == nullptr || config.keys[i] == nullptr ||
            config.values[i] == nullptr) {
            error = "runtime argument " + std::to_string(i) + " is missing";
            return std::nullopt;
        }
        const std::string key = config.keys[i];
        int* target = key == "workers"            ? &options.workers
                      : key == "intra_op_threads" ? &options.intraOpThreads
                      : key == "queue_capacity"   ? &options.queueCapacity
                                                  : nullptr;
        if (target == nullptr) {
            continue;
        }
        if (!parseCount(config.values[i], *target)) {
            error = "runtime argument '" + key + "' must be an integer from 1 to " +
                    std::to_string(kMaxCount) + ", got '" + config.values[i] + "'";
            return std::nullopt;
        }
        intraOpGiven = intraOpGiven || target == &options.intraOpThreads;
    }
    if (!intraOpGiven) {
        options.intraOpThreads = std::max(1, threads / options.workers);
    }
    return options;
}

}  // namespace vekrt
