#include "timer_log.h"

#include <cstdio>
#include <fstream>

namespace e2e {

std::map<std::string, StepTime> readTimerLines(const std::vector<std::filesystem::path>& logs) {
    std::map<std::string, StepTime> steps;
    for (const auto& path : logs) {
        std::ifstream log(path);
        std::string line;
        while (std::getline(log, line)) {
            const size_t start = line.find("[Timer] ");
            if (start == std::string::npos)
                continue;
            const std::string rest = line.substr(start + 8);
            const size_t bar = rest.find(" | +");
            if (bar == std::string::npos)
                continue;
            long long lap = 0;
            long long total = 0;
            if (std::sscanf(rest.c_str() + bar, " | +%lld us | total %lld us", &lap, &total) != 2)
                continue;
            const std::string key = rest.substr(0, bar);
            const size_t colons = key.find("::");
            const bool closing =
                colons != std::string::npos && key.substr(0, colons) == key.substr(colons + 2);
            StepTime& step = steps[key];
            step.totalUs += static_cast<double>(closing ? total : lap);
            ++step.count;
        }
    }
    return steps;
}

}  // namespace e2e
