#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <vektest/log_capture.h>
#include "messaging_manager.h"

#include "test_host.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

using vektest::LogCapture;

TEST(MessagingManager, RepostingTheSameTextLogsOnceAndNewTextReplaces) {
    LogCapture log;
    MessagingManager store;
    store.addMessage("A", "first", MESSAGE_TYPE::INFO);
    store.addMessage("A", "first", MESSAGE_TYPE::INFO);
    EXPECT_EQ(log.count("Adding message: A : first\n"), 1u);
    store.addMessage("A", "second", MESSAGE_TYPE::WARNING);
    EXPECT_EQ(log.count("Adding warning: A : second\n"), 1u);
    const auto messages = store.getMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.at("A").text, "second");
    EXPECT_EQ(messages.at("A").type, MESSAGE_TYPE::WARNING);
}

TEST(MessagingManager, WarningRepostedAsInfoWithTheSameTextBecomesInfoSilently) {
    LogCapture log;
    MessagingManager store;
    store.addMessage("K", "text", MESSAGE_TYPE::WARNING);
    store.addMessage("K", "text", MESSAGE_TYPE::INFO);
    EXPECT_EQ(store.getMessages().at("K").type, MESSAGE_TYPE::INFO);
    EXPECT_EQ(log.count("Adding"), 1u);
    store.clearWarnings();
    EXPECT_EQ(store.getMessages().size(), 1u);
}

TEST(MessagingManager, ClearWarningsKeepsInfoAndRemovingUnknownKeysIsSilent) {
    LogCapture log;
    MessagingManager store;
    store.addMessage("I", "info", MESSAGE_TYPE::INFO);
    store.addMessage("W1", "w1", MESSAGE_TYPE::WARNING);
    store.addMessage("W2", "w2", MESSAGE_TYPE::WARNING);
    store.clearWarnings();
    const auto messages = store.getMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.count("I"), 1u);

    store.removeMessage("unknown");
    EXPECT_EQ(log.count("Removed message"), 0u);
    store.removeMessage("I");
    EXPECT_EQ(log.count("Removed message: I \n"), 1u);
    EXPECT_TRUE(store.getMessages().empty());
}

}  // namespace

namespace {

TEST(MessagingManager, ConcurrentPostsKeepOneNoticePerKey) {
    LogCapture log;
    MessagingManager store;
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&store, t] {
            for (int i = 0; i < 500; ++i) {
                store.addMessage("K" + std::to_string(i % 10), "from " + std::to_string(t),
                                 i % 2 ? MESSAGE_TYPE::WARNING : MESSAGE_TYPE::INFO);
                if (i % 50 == 0)
                    store.clearWarnings();
                (void)store.getMessages();
            }
        });
    }
    for (auto& poster : posters)
        poster.join();
    const auto messages = store.getMessages();
    EXPECT_EQ(messages.size(), 10u);
    for (const auto& [key, message] : messages)
        EXPECT_EQ(message.text.rfind("from ", 0), 0u) << key;
}

}  // namespace
