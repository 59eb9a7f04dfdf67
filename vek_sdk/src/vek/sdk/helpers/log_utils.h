// Debug output of the SDK helper classes: printed to standard error with the object's prefix
// when the output switch is on; errors are printed regardless.
#pragma once

#include <string>

namespace vek::sdk {

class LogUtils {
public:
    LogUtils(bool enableOutput, std::string printPrefix)
        : enableOutput(enableOutput), printPrefix(std::move(printPrefix)) {}

    void output(const std::string& message) const;
    void error(const std::string& message) const;

    const bool enableOutput;
    const std::string printPrefix;
};

}  // namespace vek::sdk
