// The host's own log lines on standard error, kept apart from the plugin's log files so a reader
// can tell which side of the interface spoke.
#pragma once

#include <string_view>

namespace vekhost {

enum class LogLevel { verbose, info, warning, error };

void setLogThreshold(LogLevel level);
void hostLog(LogLevel level, std::string_view message);

inline void logVerbose(std::string_view message) {
    hostLog(LogLevel::verbose, message);
}
inline void logInfo(std::string_view message) {
    hostLog(LogLevel::info, message);
}
inline void logWarning(std::string_view message) {
    hostLog(LogLevel::warning, message);
}
inline void logError(std::string_view message) {
    hostLog(LogLevel::error, message);
}

}  // namespace vekhost
