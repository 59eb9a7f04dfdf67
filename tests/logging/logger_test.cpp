#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <ostream>
#include <thread>

#include "log_test_support.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

using namespace logtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr uint64_t kLimitBytes = 10'000'000;

// The logger is process-wide: every test gets its own directory and leaves the logger finalised.
class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override {
        vekai_finalise_logging();
        VekAITimer::setEnabled(false);
    }

    void start(bool console, bool file, int level, const char* prefix = kPrefix) {
        vekai_initialize_logging(startLog().c_str(), rotatingLog().c_str(), prefix, console, file, level);
    }

    std::string startLog() const { return dir.path / "vekai_plugin_start.log"; }
    std::string rotatingLog() const { return dir.path / "vekai_plugin.log"; }
    std::string oldLog() const { return rotatingLog() + ".old"; }

    ScratchDir dir;
};

// The delta of `later` is the microsecond distance between the two lines, which their millisecond
// stamps bound to within a millisecond either way.
void expectDeltaSpans(const LogLine& earlier, const LogLine& later) {
    const int64_t spanUs = (static_cast<int64_t>(later.ms) - static_cast<int64_t>(earlier.ms)) * 1000;
    EXPECT_GE(static_cast<int64_t>(later.deltaUs), spanUs - 999);
    EXPECT_LE(static_cast<int64_t>(later.deltaUs), spanUs + 999);
}

TEST_F(LoggerTest, LineHeaderIsPrefixMillisecondsAndDelta) {
    start(false, true, 1);
    const int64_t beforeMs = vekai_current_timestamp_ms();
    vekai_vlog("first %d\n", 1);
    vekai_sleep_ms(3);
    vekai_vlog("second %s\n", "line");
    const int64_t afterMs = vekai_current_timestamp_ms();
    vekai_finalise_logging();

    const std::vector<LogLine> lines = parseLogFile(startLog());
    ASSERT_THAT(messagesOf(lines), ElementsAre("first 1", "second line"));
    EXPECT_GE(static_cast<int64_t>(lines[0].ms), beforeMs);
    EXPECT_LE(static_cast<int64_t>(lines[1].ms), afterMs);
    expectDeltaSpans(lines[0], lines[1]);
    EXPECT_EQ(readFile(rotatingLog()), "");
}

TEST_F(LoggerTest, MissingPrefixLeavesTheHeaderBare) {
    start(false, true, 1, nullptr);
    vekai_vlog("bare\n");
    vekai_finalise_logging();

    const std::vector<LogLine> lines = parseLogFile(startLog(), "");
    ASSERT_THAT(messagesOf(lines), ElementsAre("bare"));
}

TEST_F(LoggerTest, MessageWithoutNewlineRunsIntoTheNextHeader) {
    start(false, true, 1);
    vekai_vlog("no newline");
    vekai_vlog("end\n");
    vekai_finalise_logging();

    const std::vector<LogLine> lines = parseLogFile(startLog());
    ASSERT_EQ(lines.size(), 1u);
    const std::string& message = lines[0].message;
    ASSERT_TRUE(message.starts_with(std::string("no newline") + kPrefix)) << message;
    const std::optional<LogLine> inner = parseLogLine(std::string_view(message).substr(10));
    ASSERT_TRUE(inner) << message;
    EXPECT_EQ(inner->message, "end");
}

TEST_F(LoggerTest, ConsoleOnlyLoggingWritesStdoutAndCreatesNoFiles) {
    start(true, false, 1);
    ::testing::internal::CaptureStdout();
    vekai_vlog("to console %d\n", 5);
    const std::string console = ::testing::internal::GetCapturedStdout();
    vekai_finalise_logging();

    const std::vector<std::string> lines = splitLines(console);
    ASSERT_EQ(lines.size(), 1u) << console;
    const std::optional<LogLine> line = parseLogLine(lines[0]);
    ASSERT_TRUE(line) << console;
    EXPECT_EQ(line->message, "to console 5");
    EXPECT_TRUE(dir.isEmpty());
}

TEST_F(LoggerTest, ConsoleAndFileBothGetTheFormattedMessage) {
    start(true, true, 1);
    ::testing::internal::CaptureStdout();
    vekai_vlog("%s took %d ms\n", "decode", 12);
    const std::string console = ::testing::internal::GetCapturedStdout();
    vekai_finalise_logging();

    const std::vector<std::string> lines = splitLines(console);
    ASSERT_EQ(lines.size(), 1u) << console;
    const std::optional<LogLine> line = parseLogLine(lines[0]);
    ASSERT_TRUE(line) << console;
    EXPECT_EQ(line->message, "decode took 12 ms");
    EXPECT_THAT(messagesOf(parseLogFile(startLog())), ElementsAre("decode took 12 ms"));
}

TEST_F(LoggerTest, NothingIsWrittenAfterFinalisation) {
    start(true, true, 2);
    vekai_vlog("kept\n");
    vekai_finalise_logging();
    vekai_finalise_logging();

    ::testing::internal::CaptureStdout();
    vekai_vlog("after finalise\n");
    vekai_vlog_verbose("after finalise\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_THAT(messagesOf(parseLogFile(startLog())), ElementsAre("kept"));
}

TEST_F(LoggerTest, LinesFromManyThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 500;
    start(false, true, 1);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLinesEach; ++i) {
                vekai_vlog("thread %d line %03d\n", t, i);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    vekai_finalise_logging();

    std::vector<std::string> messages = messagesOf(parseLogFile(startLog()));
    std::vector<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLinesEach; ++i) {
            char text[48];
            std::snprintf(text, sizeof text, "thread %d line %03d", t, i);
            expected.push_back(text);
        }
    }
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages, expected);
}

TEST_F(LoggerTest, FinalisingWhileOtherThreadsLogIsSafe) {
    start(true, true, 1);
    std::atomic<bool> stop{false};
    ::testing::internal::CaptureStdout();
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&stop] {
            while (!stop.load()) {
                vekai_vlog("busy\n");
            }
        });
    }
    for (int round = 0; round < 50; ++round) {
        vekai_initialize_logging(startLog().c_str(), rotatingLog().c_str(), kPrefix, round % 2 == 0, true, 1);
        vekai_finalise_logging();
    }
    stop.store(true);
    for (std::thread& writer : writers) {
        writer.join();
    }
    // Console lines of different threads may interleave; only the last one is known to be whole.
    ::testing::internal::GetCapturedStdout();
    start(false, true, 1);
    vekai_vlog("after the storm\n");
    vekai_finalise_logging();
    EXPECT_THAT(messagesOf(parseLogFile(startLog())), ElementsAre("after the storm"));
}

struct LevelCase {
    int level;
    std::vector<std::string> expected;
};

std::ostream& operator<<(std::ostream& out, const LevelCase& c) {
    return out << "level " << c.level;
}

class LoggerLevelTest : public LoggerTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LoggerLevelTest, EachVariantNeedsItsLevel) {
    start(false, true, GetParam().level);
    vekai_vlog("basic %d\n", 1);
    vekai_vlog_verbose("verbose %d\n", 2);
    vekai_vlog_profiling("profiling %d\n", 3);
    vekai_finalise_logging();

    EXPECT_EQ(messagesOf(parseLogFile(startLog())), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Levels, LoggerLevelTest,
                         ::testing::Values(LevelCase{0, {}}, LevelCase{1, {"basic 1"}},
                                           LevelCase{2, {"basic 1", "verbose 2"}},
                                           LevelCase{3, {"basic 1", "verbose 2", "profiling 3"}}));

struct SuppressedCase {
    const char* name;
    bool console;
    bool file;
    int level;
};

std::ostream& operator<<(std::ostream& out, const SuppressedCase& c) {
    return out << c.name;
}

class LoggerSuppressedTest : public LoggerTest, public ::testing::WithParamInterface<SuppressedCase> {};

TEST_P(LoggerSuppressedTest, SuppressedLineWritesNothingAndKeepsTheLastTimestamp) {
    start(false, true, 1);
    vekai_vlog("before\n");
    vekai_finalise_logging();
    const std::vector<LogLine> before = parseLogFile(startLog());
    ASSERT_EQ(before.size(), 1u);

    start(GetParam().console, GetParam().file, GetParam().level);
    // The pause makes a wrongly updated timestamp show in the next line's delta.
    vekai_sleep_ms(20);
    ::testing::internal::CaptureStdout();
    vekai_vlog("suppressed\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    vekai_finalise_logging();
    EXPECT_EQ(readFile(startLog()).find("suppressed"), std::string::npos);
    EXPECT_EQ(readFile(rotatingLog()).find("suppressed"), std::string::npos);

    start(false, true, 1);
    vekai_vlog("after\n");
    vekai_finalise_logging();
    const std::vector<LogLine> after = parseLogFile(startLog());
    ASSERT_THAT(messagesOf(after), ElementsAre("after"));
    expectDeltaSpans(before[0], after[0]);
}

INSTANTIATE_TEST_SUITE_P(Suppressed, LoggerSuppressedTest,
                         ::testing::Values(SuppressedCase{"LevelZero", true, true, 0},
                                           SuppressedCase{"BothFlagsOff", false, false, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoggerTest, InitialisationTruncatesBothLogs) {
    writeFile(startLog(), "stale start\n");
    writeFile(rotatingLog(), "stale rotating\n");
    start(false, true, 1);
    vekai_vlog("first run\n");
    vekai_finalise_logging();
    EXPECT_THAT(messagesOf(parseLogFile(startLog())), ElementsAre("first run"));
    EXPECT_EQ(readFile(rotatingLog()), "");

    start(false, true, 1);
    vekai_vlog("second run\n");
    vekai_finalise_logging();
    EXPECT_THAT(messagesOf(parseLogFile(startLog())), ElementsAre("second run"));
    EXPECT_EQ(std::filesystem::status(startLog()).permissions() & std::filesystem::perms::all,
              static_cast<std::filesystem::perms>(0666));
}

TEST_F(LoggerTest, UnopenableStartLogIsReportedAndLinesGoToTheRotatingLog) {
    const std::string unreachable = dir.path / "absent" / "start.log";
    ::testing::internal::CaptureStdout();
    vekai_initialize_logging(unreachable.c_str(), rotatingLog().c_str(), kPrefix, false, true, 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Failed to initialise logfile: " + unreachable + "\n");

    vekai_vlog("still logged\n");
    vekai_finalise_logging();
    EXPECT_THAT(messagesOf(parseLogFile(rotatingLog())), ElementsAre("still logged"));
}

TEST_F(LoggerTest, ErrorLogReachesStderrEvenAtLevelZero) {
    start(false, true, 0);
    ::testing::internal::CaptureStderr();
    vekai_error_log("Error! code %d\n", 7);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error! code 7\n");
    vekai_finalise_logging();
    EXPECT_EQ(readFile(startLog()), "");
}

TEST_F(LoggerTest, ErrorLogAlsoGoesToTheLogWithHeader) {
    start(false, true, 1);
    ::testing::internal::CaptureStderr();
    vekai_error_log("ERROR: %s failed\n", "open");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "ERROR: open failed\n");
    vekai_finalise_logging();
    EXPECT_THAT(messagesOf(parseLogFile(startLog())), ElementsAre("ERROR: open failed"));
}

// Lines of one fixed length make every file size and every split point exact. The parameter is the
// line length: 1000 divides the limit, so the start log ends exactly on it and the rotating log is
// only "over" the limit one line later; 1003 does not, so the crossing line shows.
class LoggerRotationTest : public LoggerTest, public ::testing::WithParamInterface<size_t> {
protected:
    // Prefix, header, "line 0000000 " and the newline around the padding.
    static constexpr size_t kFixedPart = std::string_view(kPrefix).size() + 13 + 1 + 9 + 2 + 13 + 1;

    uint64_t lineLength() const { return GetParam(); }
    std::string padding() const { return std::string(GetParam() - kFixedPart, 'x'); }
    // Lines the start log takes: it accepts lines while its count is below the limit.
    int startLines() const { return static_cast<int>((kLimitBytes + lineLength() - 1) / lineLength()); }
    // Lines the rotating log holds when it rotates: it rotates once its count exceeds the limit.
    int rotatedLines() const { return static_cast<int>(kLimitBytes / lineLength() + 1); }

    void writeLines(int from, int to) const {
        const std::string text = padding();
        for (int i = from; i < to; ++i) {
            vekai_vlog("line %07d %s\n", i, text.c_str());
        }
    }

    // The numbers of the lines in a file, after checking every line's shape and length.
    std::vector<int> lineNumbers(const std::string& path) const {
        std::vector<int> numbers;
        const std::string tail = " " + padding();
        for (const std::string& text : splitLines(readFile(path))) {
            const std::optional<LogLine> line = parseLogLine(text);
            if (!line || text.size() + 1 != lineLength() || !line->message.ends_with(tail)) {
                ADD_FAILURE() << "malformed line in " << path << ": " << text.substr(0, 80);
                return numbers;
            }
            numbers.push_back(std::stoi(line->message.substr(5, 7)));
        }
        return numbers;
    }

    static std::vector<int> range(int from, int to) {
        std::vector<int> numbers(static_cast<size_t>(to - from));
        std::iota(numbers.begin(), numbers.end(), from);
        return numbers;
    }

    static uint64_t sizeOf(const std::string& path) { return std::filesystem::file_size(path); }
};

TEST_P(LoggerRotationTest, StartLogThenRotatingLogWithOneOldGeneration) {
    // Level 2 flushes every line, so the files can be inspected while the logger runs.
    start(false, true, 2);
    const int n = startLines();
    const int m = rotatedLines();
    const int total = static_cast<int>((25'000'000 + lineLength() - 1) / lineLength());
    writeLines(0, total);

    EXPECT_GE(sizeOf(startLog()), kLimitBytes);
    EXPECT_LT(sizeOf(startLog()), kLimitBytes + lineLength());
    EXPECT_GT(sizeOf(oldLog()), kLimitBytes);
    EXPECT_LE(sizeOf(oldLog()), kLimitBytes + lineLength());
    EXPECT_EQ(lineNumbers(startLog()), range(0, n));
    EXPECT_EQ(lineNumbers(oldLog()), range(n, n + m));
    EXPECT_EQ(lineNumbers(rotatingLog()), range(n + m, total));

    // The next rotation replaces the old generation; the start log is never touched again.
    const int end = n + 2 * m + 5;
    writeLines(total, end);
    vekai_finalise_logging();
    EXPECT_EQ(lineNumbers(startLog()), range(0, n));
    EXPECT_EQ(lineNumbers(oldLog()), range(n + m, n + 2 * m));
    EXPECT_EQ(lineNumbers(rotatingLog()), range(n + 2 * m, end));
}

TEST_P(LoggerRotationTest, FailedRenameDropsTheLineAndTheNextLineRetries) {
    start(false, true, 1);
    const int n = startLines();
    const int m = rotatedLines();
    // A non-empty directory in the old generation's place cannot be deleted or renamed over.
    std::filesystem::create_directory(oldLog());
    writeFile(std::filesystem::path(oldLog()) / "occupant", "x");

    writeLines(0, n + m);
    ::testing::internal::CaptureStderr();
    writeLines(n + m, n + m + 1);
    const std::string error = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(error.starts_with("Error renaming file: ")) << error;
    EXPECT_THAT(splitLines(error), ::testing::SizeIs(1)) << error;
    EXPECT_TRUE(error.ends_with("\n")) << error;

    std::filesystem::remove_all(oldLog());
    ::testing::internal::CaptureStderr();
    writeLines(n + m + 1, n + m + 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    vekai_finalise_logging();

    EXPECT_EQ(lineNumbers(startLog()), range(0, n));
    EXPECT_EQ(lineNumbers(oldLog()), range(n, n + m));
    EXPECT_EQ(lineNumbers(rotatingLog()), range(n + m + 1, n + m + 2));
}

INSTANTIATE_TEST_SUITE_P(LineLengths, LoggerRotationTest, ::testing::Values(1000, 1003));

class TimerTest : public LoggerTest {
protected:
    struct TimerLine {
        std::string name;
        std::string label;
        long long sinceLastUs;
        long long totalUs;
    };

    static std::optional<TimerLine> parseTimerLine(const std::string& message) {
        char name[64] = {};
        char label[64] = {};
        long long sinceLast = -1;
        long long total = -1;
        int consumed = 0;
        if (std::sscanf(message.c_str(), "[Timer] %63[^:]::%63[^|] | +%lld us | total %lld us%n", name, label,
                        &sinceLast, &total, &consumed) != 4 ||
            static_cast<size_t>(consumed) != message.size()) {
            return std::nullopt;
        }
        std::string labelText(label);
        if (!labelText.ends_with(' ')) {
            return std::nullopt;
        }
        labelText.pop_back();
        return TimerLine{name, labelText, sinceLast, total};
    }
};

TEST_F(TimerTest, EnabledTimerLogsEachLapAndItsEnd) {
    VekAITimer::setEnabled(true);
    start(false, true, 1);
    {
        VekAITimer timer("process_objects");
        vekai_sleep_ms(1);
        timer.lap("find index");
        vekai_sleep_ms(1);
        timer.lap("map lock");
    }
    vekai_finalise_logging();

    std::vector<TimerLine> timers;
    for (const std::string& message : messagesOf(parseLogFile(startLog()))) {
        const std::optional<TimerLine> line = parseTimerLine(message);
        ASSERT_TRUE(line) << message;
        timers.push_back(*line);
    }
    ASSERT_EQ(timers.size(), 3u);
    EXPECT_EQ(timers[0].name, "process_objects");
    EXPECT_EQ(timers[0].label, "find index");
    EXPECT_EQ(timers[1].label, "map lock");
    EXPECT_EQ(timers[2].name, "process_objects");
    EXPECT_EQ(timers[2].label, "process_objects");

    EXPECT_EQ(timers[0].sinceLastUs, timers[0].totalUs);
    EXPECT_GE(timers[0].totalUs, 1000);
    for (size_t i = 1; i < timers.size(); ++i) {
        // Each total is the previous total plus the lap, up to the truncation of each to microseconds.
        const long long drift = timers[i].totalUs - timers[i - 1].totalUs - timers[i].sinceLastUs;
        EXPECT_GE(drift, 0) << i;
        EXPECT_LE(drift, 1) << i;
    }
}

TEST_F(TimerTest, TimerKeepsTheSwitchItWasBornWith) {
    start(false, true, 1);
    VekAITimer::setEnabled(false);
    {
        VekAITimer silent("silent");
        VekAITimer::setEnabled(true);
        silent.lap("step");
    }
    {
        VekAITimer loud("loud");
        VekAITimer::setEnabled(false);
        loud.lap("step");
    }
    vekai_finalise_logging();

    std::vector<std::string> labels;
    for (const std::string& message : messagesOf(parseLogFile(startLog()))) {
        const std::optional<TimerLine> line = parseTimerLine(message);
        ASSERT_TRUE(line) << message;
        labels.push_back(line->name + "::" + line->label);
    }
    EXPECT_THAT(labels, ElementsAre("loud::step", "loud::loud"));
}

}  // namespace
