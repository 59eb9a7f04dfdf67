#include <vek/sdk/helpers/log_utils.h>

#include <cstdio>

namespace vek::sdk {

void LogUtils::output(const std::string& message) const {
    if (enableOutput)
        std::fprintf(stderr, "%s%s\n", printPrefix.c_str(), message.c_str());
}

void LogUtils::error(const std::string& message) const {
    std::fprintf(stderr, "%s%s\n", printPrefix.c_str(), message.c_str());
}

}  // namespace vek::sdk
