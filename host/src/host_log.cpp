#include <vekhost/host_log.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace vekhost {
namespace {

std::atomic<LogLevel> threshold{LogLevel::info};
std::mutex outputMutex;

const char* levelPrefix(LogLevel level) {
    switch (level) {
        case LogLevel::verbose:
        case LogLevel::info:
            return "";
        case LogLevel::warning:
            return "Warning! ";
        case LogLevel::error:
            return "Error! ";
    }
    return "";
}

}  // namespace

void setLogThreshold(LogLevel level) {
    threshold.store(level);
}

void hostLog(LogLevel level, std::string_view message) {
    if (level < threshold.load())
        return;
    std::lock_guard lock(outputMutex);
    std::fprintf(stderr, "vekhost: %s%.*s\n", levelPrefix(level), static_cast<int>(message.size()),
                 message.data());
}

}  // namespace vekhost
