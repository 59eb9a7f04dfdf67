#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>

#include "log_test_support.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

using namespace logtest;

struct FreeBuffer {
    void operator()(char* buffer) const { std::free(buffer); }
};
using Buffer = std::unique_ptr<char, FreeBuffer>;

class SprintfGrowthTest : public ::testing::TestWithParam<size_t> {};

TEST_P(SprintfGrowthTest, ResultIsCompleteWhateverTheInitialSize) {
    const std::string word(37, 'w');
    const std::string expected = word + "=" + std::to_string(-12345);
    ASSERT_EQ(expected.size(), 44u);
    Buffer text(vekai_sprintf(GetParam(), "%s=%d", word.c_str(), -12345));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text.get()), expected);
}

// Sizes around the exact fit (44 characters need 45 bytes) plus the degenerate ones.
INSTANTIATE_TEST_SUITE_P(InitialSizes, SprintfGrowthTest, ::testing::Values(0, 1, 16, 43, 44, 45, 46, 1000));

TEST(SprintfTest, FormattingFailureGivesNull) {
    // In the C locale a non-ASCII wide character cannot be converted, so the formatter fails.
    const wchar_t unconvertible[] = {0x20AC, 0};
    EXPECT_EQ(vekai_sprintf(4, "%ls", unconvertible), nullptr);
    EXPECT_EQ(vekai_sprintf(64, "%ls", unconvertible), nullptr);
}

TEST(SprintfTest, PointerTextMatchesPrintf) {
    int object = 0;
    char expected[64];
    std::snprintf(expected, sizeof expected, "%p", static_cast<void*>(&object));
    Buffer text(vekai_pointer_to_string(&object));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), expected);
}

TEST(StrcasecmpTest, ComparesIgnoringCase) {
    EXPECT_EQ(vekai_strcasecmp("Letterbox", "lETTERBOX"), 0);
    EXPECT_LT(vekai_strcasecmp("alpha", "BETA"), 0);
    EXPECT_GT(vekai_strcasecmp("Beta", "alpha"), 0);
    EXPECT_LT(vekai_strcasecmp("abc", "ABCD"), 0);
}

TEST(FileSizeTest, ExistingFileReportsItsSize) {
    ScratchDir dir;
    const std::filesystem::path file = dir.path / "sized";
    writeFile(file, std::string(1234, 'a'));
    uint64_t size = 0;
    EXPECT_TRUE(vekai_get_file_size(file.c_str(), &size));
    EXPECT_EQ(size, 1234u);
}

TEST(FileSizeTest, MissingFileIsReportedOnStdout) {
    ScratchDir dir;
    const std::string missing = dir.path / "missing.log";
    uint64_t size = 77;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(vekai_get_file_size(missing.c_str(), &size));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "An unexpected error occurred accessing log file: " + missing + " No such file or directory\n");
    EXPECT_EQ(size, 77u);
}

TEST(FileSizeTest, UnreadableDirectoryIsReportedAsPermissionDenied) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root is never denied access";
    }
    ScratchDir dir;
    const std::filesystem::path locked = dir.path / "locked";
    std::filesystem::create_directory(locked);
    const std::string file = locked / "inside.log";
    writeFile(file, "x");
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    uint64_t size = 0;
    ::testing::internal::CaptureStdout();
    const bool found = vekai_get_file_size(file.c_str(), &size);
    const std::string output = ::testing::internal::GetCapturedStdout();
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
    EXPECT_FALSE(found);
    EXPECT_EQ(output, "Permission denied trying to open logfile: " + file + ".\n");
}

TEST(ThreadNameTest, LongNamesAreCutToTheSystemLimit) {
    int result = -1;
    std::string name;
    std::thread worker([&] {
        result = vekai_set_thread_name(pthread_self(), "vekai_output_worker_7");
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name = buffer;
    });
    worker.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(name, "vekai_output_wo");
}

TEST(TimestampTest, MicrosecondsAndMillisecondsAreWallClockSinceTheEpoch) {
    const auto realtimeSeconds = [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<int64_t>(now.tv_sec);
    };
    const int64_t beforeS = realtimeSeconds();
    const int64_t ms = vekai_current_timestamp_ms();
    const int64_t us = vekai_current_timestamp_us();
    const int64_t afterS = realtimeSeconds();
    EXPECT_GE(ms / 1000, beforeS);
    EXPECT_LE(us / 1'000'000, afterS);
    EXPECT_LE(ms, us / 1000);
}

}  // namespace
