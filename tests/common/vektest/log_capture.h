// Everything the plugin logs, at the verbose level, while the object lives; for tests linking the
// plugin core.
#pragma once

#include <vektest/files.h>
#include <vektest/temp_dir.h>
#include <cstddef>
#include <string>

#include "vekai_utilities/vekai_utils.h"

namespace vektest {

class LogCapture {
public:
    LogCapture() {
        vekai_initialize_logging((dir.path / "start.log").c_str(), (dir.path / "rotating.log").c_str(), "",
                                 false, true, 2);
    }
    ~LogCapture() { vekai_finalise_logging(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return readText(dir.path / "start.log"); }
    size_t count(const std::string& needle) const {
        const std::string all = text();
        size_t found = 0;
        for (auto at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1))
            ++found;
        return found;
    }
    bool contains(const std::string& needle) const { return count(needle) > 0; }

private:
    TempDir dir{"vek-log"};
};

}  // namespace vektest
