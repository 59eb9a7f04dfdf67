// The plugin's profiling lines ("[Timer] name::label | +N us | total M us") read back from its log
// files: the mean time of each timed step, so that a frame's cost can be split by stage.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace e2e {

struct StepTime {
    double totalUs = 0;
    long count = 0;
    double meanUs() const { return count > 0 ? totalUs / static_cast<double>(count) : 0; }
};

// Keyed "name::label"; a timer's closing line (label equal to its name) holds its whole time.
std::map<std::string, StepTime> readTimerLines(const std::vector<std::filesystem::path>& logs);

}  // namespace e2e
