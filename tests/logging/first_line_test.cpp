#include <gtest/gtest.h>

#include "log_test_support.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

using namespace logtest;

TEST(LoggerFirstLine, FirstLineOfTheProcessHasAZeroDelta) {
    ScratchDir dir;
    const std::string startLog = dir.path / "vekai_plugin_start.log";
    const std::string rotatingLog = dir.path / "vekai_plugin.log";
    vekai_initialize_logging(startLog.c_str(), rotatingLog.c_str(), kPrefix, false, true, 1);
    vekai_vlog("first\n");
    vekai_sleep_ms(2);
    vekai_vlog("second\n");
    vekai_finalise_logging();

    const std::vector<std::string> lines = splitLines(readFile(startLog));
    ASSERT_EQ(lines.size(), 2u);
    const std::string expectedTail = " 000000000: first";
    EXPECT_EQ(lines[0].size(), std::string(kPrefix).size() + 13 + expectedTail.size()) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(expectedTail)) << lines[0];
    const std::optional<LogLine> second = parseLogLine(lines[1]);
    ASSERT_TRUE(second) << lines[1];
    EXPECT_GT(second->deltaUs, 0u);
}

}  // namespace
