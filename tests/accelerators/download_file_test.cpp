#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "download_manager_utils.h"
#include "fake_machine.h"
#include "loopback_server.h"
#include "messaging_manager.h"

namespace {

using acceltest::LogCapture;
using acceltest::LoopbackServer;
using acceltest::ScratchDir;
using acceltest::ServedFile;

constexpr const char* kKey = "RUNTIME_PACKAGE";
constexpr const char* kTitle = "Downloading runtime package";

std::string pattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>((i * 7919) % 251);
    return text;
}

std::string progress(const std::string& amount) {
    return std::string("Adding message: ") + kKey + " : " + kTitle + " (" + amount +
           ")\nPress 'Refresh' to see updated progress.\n";
}

struct DownloadFixture : ::testing::Test {
    LogCapture log;
    LoopbackServer server;
    ScratchDir dir;
    MessagingManager messages;
    std::string destination = (dir.path / "package.tar.gz").string();
    std::string md5 = "untouched";

    bool download(const std::string& path, const std::atomic<bool>* cancel = nullptr) {
        return Utils::downloadFile(server.url(path), destination, messages, kKey, kTitle, cancel, &md5);
    }
};

TEST_F(DownloadFixture, StreamsTheBodyWithProgressInPercent) {
    const std::string body = pattern(300000);
    server.put("/file", {body, "0123abcd"});
    messages.addMessage(kKey, "stale progress", MESSAGE_TYPE::INFO);
    ASSERT_TRUE(download("/file"));
    EXPECT_EQ(acceltest::readText(destination), body);
    EXPECT_EQ(md5, "0123abcd");
    EXPECT_TRUE(log.contains(progress("100%")));
    EXPECT_FALSE(log.contains("bytes)"));
    EXPECT_TRUE(messages.getMessages().empty());
}

TEST_F(DownloadFixture, WithoutALengthProgressCountsBytes) {
    const std::string body = pattern(100000);
    ServedFile file{body};
    file.chunked = true;
    server.put("/file", file);
    ASSERT_TRUE(download("/file"));
    EXPECT_EQ(acceltest::readText(destination), body);
    EXPECT_EQ(md5, "");
    EXPECT_TRUE(
        log.contains("Warning! Could not get content length of download " + server.url("/file") + " : \n"));
    EXPECT_TRUE(log.contains(progress("100000 bytes")));
    EXPECT_TRUE(messages.getMessages().empty());
}

TEST_F(DownloadFixture, FailuresLeaveNoFileBehind) {
    ServedFile truncated{pattern(200000)};
    truncated.truncated = true;
    server.put("/truncated", truncated);
    ServedFile error{"server error"};
    error.status = 500;
    server.put("/error", error);
    struct Case {
        std::string path;
        std::string logLine;
    };
    const Case cases[] = {
        {"/missing", "Error! Could not request file data! Status code: 404\n"},
        {"/error", "Error! Could not request file data! Status code: 500\n"},
        {"/truncated", "Download of " + server.url("/truncated") + " was interrupted before completing.\n"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(download(c.path)) << c.path;
        EXPECT_FALSE(std::filesystem::exists(destination)) << c.path;
        EXPECT_TRUE(log.contains(c.logLine)) << c.path;
        EXPECT_TRUE(messages.getMessages().empty()) << c.path;
    }

    EXPECT_FALSE(Utils::downloadFile("http://127.0.0.1:1/file", destination, messages, kKey, kTitle, nullptr,
                                     nullptr));
    EXPECT_TRUE(log.contains("Failed to download file at: http://127.0.0.1:1/file\n"));

    server.put("/file", {"content"});
    destination = (dir.path / "no" / "such" / "folder" / "file").string();
    EXPECT_FALSE(download("/file"));
    EXPECT_TRUE(log.contains("Error opening file for writing: " + destination + "\n"));
}

TEST_F(DownloadFixture, CancellationBetweenChunksRemovesThePartialFile) {
    std::atomic<bool> cancel{false};
    ServedFile file{pattern(400000)};
    file.afterFirstHalf = [&] { cancel.store(true); };
    server.put("/slow", file);
    EXPECT_FALSE(download("/slow", &cancel));
    server.release();
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_TRUE(log.contains("Download of " + server.url("/slow") + " was cancelled by the user.\n"));
    EXPECT_TRUE(messages.getMessages().empty());
}

// A write that fails (here: the file size limit) must not pass for a finished download.
TEST_F(DownloadFixture, AWriteFailureIsAFailedDownload) {
    server.put("/file", {pattern(300000)});
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 100000;
    setrlimit(RLIMIT_FSIZE, &limited);
    const bool downloaded = download("/file");
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(downloaded);
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_TRUE(log.contains("Error writing to file: " + destination + "\n"));
}

TEST(FileHelpers, ExistenceRemovalAndDigest) {
    LogCapture log;
    ScratchDir dir;
    const auto file = dir.path / "file";
    EXPECT_FALSE(Utils::checkFileExists(file.string()));
    EXPECT_TRUE(Utils::safelyRemoveFile(file.string()));
    EXPECT_EQ(Utils::computeFileMD5(file.string()), std::nullopt);

    acceltest::writeText(file, "");
    EXPECT_TRUE(Utils::checkFileExists(file.string()));
    EXPECT_EQ(Utils::computeFileMD5(file.string()), "d41d8cd98f00b204e9800998ecf8427e");
    acceltest::writeText(file, "abc");
    EXPECT_EQ(Utils::computeFileMD5(file.string()), "900150983cd24fb0d6963f7d28e17f72");

    // Longer than one read buffer, against the system's md5sum.
    acceltest::writeText(file, pattern(200001));
    const auto [status, output] = Utils::runShellCommand("md5sum " + Utils::shellQuote(file.string()));
    ASSERT_EQ(status, 0);
    EXPECT_EQ(Utils::computeFileMD5(file.string()), output.substr(0, 32));

    EXPECT_EQ(Utils::computeFileMD5(dir.path.string()), std::nullopt);
    EXPECT_TRUE(Utils::safelyRemoveFile(file.string()));
    EXPECT_FALSE(Utils::checkFileExists(file.string()));

    acceltest::writeText(dir.path / "full" / "inner", "x");
    EXPECT_FALSE(Utils::safelyRemoveFile((dir.path / "full").string()));
    EXPECT_TRUE(
        log.contains("Warning! Could not delete file: " + (dir.path / "full").string() + " (Error: "));
}

}  // namespace
