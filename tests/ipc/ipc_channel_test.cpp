// The plugin's end of the shared-memory channel against a stand-in that speaks the wire format
// directly, so that both the behaviour and the format itself are checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <future>
#include <numeric>
#include <regex>
#include <thread>

#include "ipc_test_support.h"
#include "vekai_utilities/vekai_ipc_utils.h"

using namespace std::chrono_literals;
using ipc_test::LogCapture;
using ipc_test::RawPeer;

namespace {

constexpr size_t kCapacity = 1024;

std::vector<uint8_t> pattern(size_t size, uint8_t seed = 7) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
    }
    return bytes;
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        channel = vekai_ipc_create(kCapacity);
        ASSERT_TRUE(channel);
        description = ipc_sync_to_str(channel.get());
        names = {channel->controlShm->name, channel->dataShm->name};
        peer = std::make_unique<RawPeer>(description);
    }

    void TearDown() override {
        peer.reset();
        ipc_sync_close(std::move(channel));
        for (const auto& name : names) {
            EXPECT_FALSE(ipc_test::shmExists(name)) << name;
        }
    }

    // Plays a well-behaved receiver for one message, answering a resize and the data notice.
    std::future<std::vector<uint8_t>> receiveOnPeer() {
        return std::async(std::launch::async, [this] {
            auto code = peer->wait(3s);
            if (code == VEKAI_IPC_SIGNAL_REALLOC) {
                peer->remapData();
                peer->raise(VEKAI_IPC_SIGNAL_ACK);
                code = peer->wait(3s);
            }
            EXPECT_EQ(code, VEKAI_IPC_SIGNAL_DATA);
            auto message = peer->message();
            peer->raise(VEKAI_IPC_SIGNAL_ACK);
            return message;
        });
    }

    void makeReady() {
        peer->raise(VEKAI_IPC_SIGNAL_READY);
        ASSERT_EQ(vekai_ipc_wait_ready(channel.get(), 1000), VEKAI_IPC_OK);
    }

    LogCapture log;
    vekai_ipc_channel channel;
    std::string description;
    std::vector<std::string> names;
    std::unique_ptr<RawPeer> peer;
};

TEST_F(ChannelTest, DescriptionNamesCountersAndOwnerOnlyObjects) {
    const auto fields = ipc_test::descriptionFields(description);
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[0], std::to_string(channel->eventFds[0]));
    EXPECT_EQ(fields[1], std::to_string(channel->eventFds[1]));
    const std::regex name("/vekai_shm_[0-9A-F]{8}");
    for (const auto& field : {fields[2], fields[3]}) {
        EXPECT_TRUE(std::regex_match(field, name)) << field;
        EXPECT_EQ(ipc_test::shmMode(field), 0600u) << field;
    }
    EXPECT_EQ(ipc_test::shmSize(fields[2]), 2u);
    EXPECT_EQ(ipc_test::shmSize(fields[3]), kCapacity + 4);
    EXPECT_EQ(channel->signalSlots[0][0], 0);
    EXPECT_EQ(channel->signalSlots[1][0], 0);
    EXPECT_EQ(channel->role, ipc_role_plugin);
    EXPECT_FALSE(channel->ready);
    for (int fd : channel->eventFds) {
        // The child inherits the counters: no close-on-exec.
        EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        char target[64] = {};
        ASSERT_GT(readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1), 0);
        EXPECT_STREQ(target, "anon_inode:[eventfd]");
    }
}

TEST_F(ChannelTest, SendBeforeReadyIsRefused) {
    const auto bytes = pattern(10);
    EXPECT_EQ(vekai_ipc_send(channel.get(), bytes.data(), bytes.size()), VEKAI_IPC_NOT_READY);
    EXPECT_FALSE(peer->wait(0ms));
}

TEST_F(ChannelTest, WaitReadyOutcomes) {
    EXPECT_EQ(vekai_ipc_wait_ready(channel.get(), 20), VEKAI_IPC_TIMEOUT);
    peer->raise(VEKAI_IPC_SIGNAL_ACK);
    EXPECT_EQ(vekai_ipc_wait_ready(channel.get(), 20), VEKAI_IPC_UNEXPECTED_SIGNAL);
    EXPECT_FALSE(channel->ready);
    peer->raise(VEKAI_IPC_SIGNAL_READY);
    EXPECT_EQ(vekai_ipc_wait_ready(channel.get(), 1000), VEKAI_IPC_OK);
    EXPECT_TRUE(channel->ready);
}

TEST_F(ChannelTest, KillAndReadyAreRaisedOnTheSendingSide) {
    EXPECT_EQ(vekai_ipc_send_kill(channel.get()), VEKAI_IPC_OK);
    EXPECT_EQ(peer->wait(1s), VEKAI_IPC_SIGNAL_KILL);
    EXPECT_EQ(vekai_ipc_send_ready(channel.get()), VEKAI_IPC_OK);
    EXPECT_EQ(peer->wait(1s), VEKAI_IPC_SIGNAL_READY);
    EXPECT_FALSE(peer->pluginHasPendingSignal());
}

struct SizeCase {
    size_t size;
    bool reallocates;
    friend void PrintTo(const SizeCase& c, std::ostream* out) { *out << c.size << " bytes"; }
};

class ChannelSizeTest : public ChannelTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ChannelSizeTest, MessageArrivesAndObjectGrowsOnlyWhenNeeded) {
    makeReady();
    const auto bytes = pattern(GetParam().size);
    auto received = receiveOnPeer();
    EXPECT_EQ(vekai_ipc_send(channel.get(), bytes.data(), bytes.size()), VEKAI_IPC_OK);
    EXPECT_EQ(received.get(), bytes);
    const size_t expected = GetParam().reallocates ? bytes.size() + 4 : kCapacity + 4;
    EXPECT_EQ(ipc_test::shmSize(names[1]), expected);
    EXPECT_EQ(channel->dataShm->len, expected);
    EXPECT_EQ(log.contains("Reallocating buffer from"), GetParam().reallocates);
    EXPECT_FALSE(log.contains("Warning!"));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChannelSizeTest,
                         ::testing::Values(SizeCase{0, false}, SizeCase{kCapacity, false},
                                           SizeCase{kCapacity + 1, true}, SizeCase{640 * 640 * 3 * 4, true}));

TEST_F(ChannelTest, ExactCapacityIsSentWithoutResizeSignal) {
    makeReady();
    const auto bytes = pattern(kCapacity);
    auto codes = std::async(std::launch::async, [this] {
        const auto first = peer->wait(3s);
        peer->raise(VEKAI_IPC_SIGNAL_ACK);
        return first;
    });
    EXPECT_EQ(vekai_ipc_send(channel.get(), bytes.data(), bytes.size()), VEKAI_IPC_OK);
    EXPECT_EQ(codes.get(), VEKAI_IPC_SIGNAL_DATA);
}

TEST_F(ChannelTest, OneByteMoreSendsResizeSignalFirst) {
    makeReady();
    const auto bytes = pattern(kCapacity + 1);
    auto codes = std::async(std::launch::async, [this] {
        std::vector<int> seen;
        seen.push_back(peer->wait(3s).value_or(-1));
        peer->remapData();
        seen.push_back(static_cast<int>(peer->dataSize()));
        peer->raise(VEKAI_IPC_SIGNAL_ACK);
        seen.push_back(peer->wait(3s).value_or(-1));
        seen.push_back(peer->message() == pattern(kCapacity + 1));
        peer->raise(VEKAI_IPC_SIGNAL_ACK);
        return seen;
    });
    EXPECT_EQ(vekai_ipc_send(channel.get(), bytes.data(), bytes.size()), VEKAI_IPC_OK);
    EXPECT_EQ(codes.get(), (std::vector<int>{VEKAI_IPC_SIGNAL_REALLOC, static_cast<int>(kCapacity + 5),
                                             VEKAI_IPC_SIGNAL_DATA, 1}));
}

class WrongAnswerTest : public ChannelTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(WrongAnswerTest, DataNoticeAnsweredWithAnotherCodeIsNotAcknowledged) {
    makeReady();
    const auto bytes = pattern(16);
    auto answer = std::async(std::launch::async, [this] {
        peer->wait(3s);
        peer->raise(GetParam());
    });
    EXPECT_EQ(vekai_ipc_send(channel.get(), bytes.data(), bytes.size()), VEKAI_IPC_NOT_ACKNOWLEDGED);
    answer.get();
    EXPECT_TRUE(log.contains("Warning! External process did not acknowledge data notice!\n"));
}

TEST_P(WrongAnswerTest, ResizeAnsweredWithAnotherCodeIsNotAcknowledged) {
    makeReady();
    const auto bytes = pattern(kCapacity * 2);
    auto answer = std::async(std::launch::async, [this] {
        peer->wait(3s);
        peer->raise(GetParam());
    });
    EXPECT_EQ(vekai_ipc_send(channel.get(), bytes.data(), bytes.size()), VEKAI_IPC_NOT_ACKNOWLEDGED);
    answer.get();
    EXPECT_TRUE(log.contains("Warning! External process did not acknowledge reallocation!\n"));
}

INSTANTIATE_TEST_SUITE_P(Codes, WrongAnswerTest,
                         ::testing::Values(VEKAI_IPC_SIGNAL_DATA, VEKAI_IPC_SIGNAL_REALLOC,
                                           VEKAI_IPC_SIGNAL_READY, VEKAI_IPC_SIGNAL_KILL, uint8_t{3},
                                           uint8_t{255}));

TEST_F(ChannelTest, SilentPeerTimesOutDataNoticeAndResize) {
    makeReady();
    const auto small = pattern(8);
    EXPECT_EQ(vekai_ipc_send(channel.get(), small.data(), small.size()), VEKAI_IPC_TIMEOUT);
    EXPECT_TRUE(
        log.contains("Warning! Could not receive data-notice acknowledgement from external process!\n"));
    const auto large = pattern(kCapacity * 3);
    EXPECT_EQ(vekai_ipc_send(channel.get(), large.data(), large.size()), VEKAI_IPC_TIMEOUT);
    EXPECT_TRUE(log.contains("Warning! Could not receive reallocation signal from external process!\n"));
}

TEST_F(ChannelTest, LateAcknowledgementIsNeverTakenForTheNextExchange) {
    makeReady();
    const auto bytes = pattern(8);
    EXPECT_EQ(vekai_ipc_send(channel.get(), bytes.data(), bytes.size()), VEKAI_IPC_TIMEOUT);
    // The peer wakes up late and acknowledges the abandoned message.
    EXPECT_EQ(peer->wait(1s), VEKAI_IPC_SIGNAL_DATA);
    peer->raise(VEKAI_IPC_SIGNAL_ACK);
    // It now stays silent: the next send must time out, not succeed on the stale acknowledgement.
    EXPECT_EQ(vekai_ipc_send(channel.get(), bytes.data(), bytes.size()), VEKAI_IPC_TIMEOUT);
    EXPECT_TRUE(log.contains("Warning! Discarded stale signal 0 left over from an abandoned exchange.\n"));
}

TEST_F(ChannelTest, SeveralStaleSignalsAreDrainedBeforeSending) {
    makeReady();
    peer->raise(VEKAI_IPC_SIGNAL_KILL);
    peer->raise(VEKAI_IPC_SIGNAL_REALLOC);
    const auto bytes = pattern(64);
    auto received = receiveOnPeer();
    EXPECT_EQ(vekai_ipc_send(channel.get(), bytes.data(), bytes.size()), VEKAI_IPC_OK);
    EXPECT_EQ(received.get(), bytes);
    // Both units are gone; the slot holds the last code written, so both report it.
    EXPECT_TRUE(log.contains("Discarded stale signal 2 left over"));
    EXPECT_FALSE(peer->pluginHasPendingSignal());
}

TEST_F(ChannelTest, FloodedCounterIsRefusedInsteadOfDrainedForever) {
    makeReady();
    const uint64_t flood = uint64_t{1} << 40;
    ASSERT_EQ(write(channel->eventFds[1], &flood, sizeof flood), static_cast<ssize_t>(sizeof flood));
    const auto bytes = pattern(4);
    EXPECT_EQ(vekai_ipc_send(channel.get(), bytes.data(), bytes.size()), VEKAI_IPC_UNEXPECTED_SIGNAL);
    EXPECT_FALSE(peer->wait(0ms)) << "nothing may be sent to a peer that floods";
}

TEST_F(ChannelTest, ReceiveMessageAndRelease) {
    const auto bytes = pattern(300);
    peer->writeMessage(300, bytes);
    peer->raise(VEKAI_IPC_SIGNAL_DATA);
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(vekai_ipc_receive(channel.get(), 1000, &data, &length), VEKAI_IPC_OK);
    EXPECT_EQ(std::vector<uint8_t>(data, data + length), bytes);
    EXPECT_FALSE(peer->wait(0ms)) << "released only on request";
    EXPECT_EQ(release_buffer(channel.get()), VEKAI_IPC_OK);
    EXPECT_EQ(peer->wait(1s), VEKAI_IPC_SIGNAL_ACK);
}

TEST_F(ChannelTest, ReceiveSkipsLateReadyAndReportsTimeoutOrUnexpectedCode) {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(vekai_ipc_receive(channel.get(), 20, &data, &length), VEKAI_IPC_TIMEOUT);
    peer->raise(VEKAI_IPC_SIGNAL_READY);
    EXPECT_EQ(vekai_ipc_receive(channel.get(), 20, &data, &length), VEKAI_IPC_TIMEOUT);
    peer->raise(VEKAI_IPC_SIGNAL_READY);
    peer->writeMessage(3, {1, 2, 3});
    peer->raise(VEKAI_IPC_SIGNAL_DATA);
    EXPECT_EQ(vekai_ipc_receive(channel.get(), 1000, &data, &length), VEKAI_IPC_OK);
    EXPECT_EQ(length, 3u);
    peer->raise(VEKAI_IPC_SIGNAL_KILL);
    EXPECT_EQ(vekai_ipc_receive(channel.get(), 1000, &data, &length), VEKAI_IPC_UNEXPECTED_SIGNAL);
}

TEST_F(ChannelTest, ReceiveFollowsResizeByPeer) {
    const auto bytes = pattern(5000);
    auto sender = std::async(std::launch::async, [&] {
        peer->resizeData(bytes.size() + 4);
        peer->raise(VEKAI_IPC_SIGNAL_REALLOC);
        const auto ack = peer->wait(3s);
        peer->writeMessage(static_cast<uint32_t>(bytes.size()), bytes);
        peer->raise(VEKAI_IPC_SIGNAL_DATA);
        return ack;
    });
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(vekai_ipc_receive(channel.get(), 3000, &data, &length), VEKAI_IPC_OK);
    EXPECT_EQ(sender.get(), VEKAI_IPC_SIGNAL_ACK);
    EXPECT_EQ(std::vector<uint8_t>(data, data + length), bytes);
    EXPECT_EQ(channel->dataShm->len, bytes.size() + 4);
}

struct HostileCase {
    uint32_t announced;
    int status;
    friend void PrintTo(const HostileCase& c, std::ostream* out) { *out << "announced " << c.announced; }
};

class HostileLengthTest : public ChannelTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileLengthTest, LengthBeyondTheObjectIsRefusedUnread) {
    peer->writeMessage(GetParam().announced, {});
    peer->raise(VEKAI_IPC_SIGNAL_DATA);
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(vekai_ipc_receive(channel.get(), 1000, &data, &length), GetParam().status);
    EXPECT_EQ(log.contains("message refused"), GetParam().status == VEKAI_IPC_LENGTH_EXCEEDS_OBJECT);
    if (GetParam().status != VEKAI_IPC_OK) {
        EXPECT_EQ(data, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, HostileLengthTest,
                         ::testing::Values(HostileCase{kCapacity, VEKAI_IPC_OK},
                                           HostileCase{kCapacity + 1, VEKAI_IPC_LENGTH_EXCEEDS_OBJECT},
                                           HostileCase{0x7FFFFFFF, VEKAI_IPC_LENGTH_EXCEEDS_OBJECT},
                                           HostileCase{0xFFFFFFFF, VEKAI_IPC_LENGTH_EXCEEDS_OBJECT}));

class ShrunkObjectTest : public ChannelTest, public ::testing::WithParamInterface<size_t> {};

// The peer cuts the object down behind the plugin's mapping and announces more than is left; cut
// below the length header, even reading the header used to fault the whole process.
TEST_P(ShrunkObjectTest, ObjectShrunkWithoutNoticeIsNotReadPastItsEnd) {
    peer->writeMessage(100, pattern(100));
    ASSERT_EQ(ftruncate(channel->dataShm->fd, static_cast<off_t>(GetParam())), 0);
    peer->raise(VEKAI_IPC_SIGNAL_DATA);
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(vekai_ipc_receive(channel.get(), 1000, &data, &length), VEKAI_IPC_LENGTH_EXCEEDS_OBJECT);
    EXPECT_EQ(data, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ShrunkObjectTest, ::testing::Values(size_t{16}, size_t{0}));

struct DescriptionCase {
    friend void PrintTo(const DescriptionCase& c, std::ostream* out) { *out << c.name; }
    const char* name;
    std::string (*make)(const std::string& counter0, const std::string& counter1, const std::string& control,
                        const std::string& data);
};

class MalformedDescriptionTest : public ChannelTest, public ::testing::WithParamInterface<DescriptionCase> {};

TEST_P(MalformedDescriptionTest, IsRefused) {
    // Copies of the counters: a refusal after parsing closes the ones named in the text.
    const auto fields = ipc_test::descriptionFields(ipc_test::withDuplicatedCounters(description));
    const std::string text = GetParam().make(fields[0], fields[1], fields[2], fields[3]);
    EXPECT_FALSE(ipc_from_str(text)) << text;
    EXPECT_TRUE(log.contains("Malformed IPC channel description") ||
                log.contains("Could not open POSIX SHM"));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MalformedDescriptionTest,
    ::testing::Values(
        DescriptionCase{"empty", [](auto&, auto&, auto&, auto&) { return std::string(); }},
        DescriptionCase{"three_fields",
                        [](auto& a, auto& b, auto& c, auto&) { return a + "|" + b + "|" + c; }},
        DescriptionCase{"two_fields", [](auto& a, auto& b, auto&, auto&) { return a + "|" + b; }},
        DescriptionCase{"five_fields", [](auto& a, auto& b, auto& c,
                                          auto& d) { return a + "|" + b + "|" + c + "|" + d + "|" + d; }},
        DescriptionCase{"empty_name",
                        [](auto& a, auto& b, auto& c, auto&) { return a + "|" + b + "|" + c + "|"; }},
        DescriptionCase{"letters_for_counter",
                        [](auto&, auto& b, auto& c, auto& d) { return "x|" + b + "|" + c + "|" + d; }},
        DescriptionCase{"negative_counter",
                        [](auto&, auto& b, auto& c, auto& d) { return "-1|" + b + "|" + c + "|" + d; }},
        DescriptionCase{"closed_counter",
                        [](auto&, auto& b, auto& c, auto& d) { return "100000|" + b + "|" + c + "|" + d; }},
        DescriptionCase{"spaces",
                        [](auto& a, auto& b, auto& c, auto& d) { return a + " |" + b + "|" + c + "|" + d; }},
        DescriptionCase{"missing_object", [](auto& a, auto& b, auto& c,
                                             auto&) { return a + "|" + b + "|" + c + "|/vekai_shm_gone"; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ChannelTest, PeerEndFromDescriptionExchangesBothWays) {
    auto remote = ipc_from_str(ipc_test::withDuplicatedCounters(description));
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->role, ipc_role_peer);
    EXPECT_TRUE(remote->ready);
    peer.reset();

    EXPECT_EQ(vekai_ipc_send_ready(remote.get()), VEKAI_IPC_OK);
    ASSERT_EQ(vekai_ipc_wait_ready(channel.get(), 1000), VEKAI_IPC_OK);
    for (size_t size : {size_t{10}, size_t{50000}}) {
        const auto request = pattern(size, 1);
        auto receiver = std::async(std::launch::async, [&] {
            const uint8_t* data = nullptr;
            uint32_t length = 0;
            EXPECT_EQ(vekai_ipc_receive(remote.get(), 3000, &data, &length), VEKAI_IPC_OK);
            std::vector<uint8_t> copy(data, data + length);
            release_buffer(remote.get());
            return copy;
        });
        EXPECT_EQ(vekai_ipc_send(channel.get(), request.data(), request.size()), VEKAI_IPC_OK);
        EXPECT_EQ(receiver.get(), request);

        const auto answer = pattern(size * 2, 2);
        auto sender = std::async(std::launch::async,
                                 [&] { return vekai_ipc_send(remote.get(), answer.data(), answer.size()); });
        const uint8_t* data = nullptr;
        uint32_t length = 0;
        ASSERT_EQ(vekai_ipc_receive(channel.get(), 3000, &data, &length), VEKAI_IPC_OK);
        EXPECT_EQ(std::vector<uint8_t>(data, data + length), answer);
        EXPECT_EQ(release_buffer(channel.get()), VEKAI_IPC_OK);
        EXPECT_EQ(sender.get(), VEKAI_IPC_OK);
    }
    ipc_sync_close(std::move(remote));
    EXPECT_TRUE(ipc_test::shmExists(names[0])) << "the peer end leaves the names to their creator";
}

struct CollisionCase {
    int taken;
    bool creates;
    friend void PrintTo(const CollisionCase& c, std::ostream* out) { *out << c.taken << " names taken"; }
};

class NameCollisionTest : public ::testing::TestWithParam<CollisionCase> {};

TEST_P(NameCollisionTest, TenCollisionsFailAndNineDoNot) {
    LogCapture log;
    std::mt19937 generator(20240611u + GetParam().taken);
    std::mt19937 predictor = generator;
    std::vector<std::string> taken;
    for (int i = 0; i < GetParam().taken; ++i) {
        char name[32];
        snprintf(name, sizeof name, "/vekai_shm_%08X", static_cast<unsigned>(predictor()));
        const int fd = shm_open(name, O_CREAT | O_EXCL | O_RDWR, 0600);
        ASSERT_GE(fd, 0) << name;
        close(fd);
        taken.push_back(name);
    }
    char expected[32];
    snprintf(expected, sizeof expected, "/vekai_shm_%08X", static_cast<unsigned>(predictor()));

    auto shm = vekai_shm_create_random(64, generator);
    EXPECT_EQ(static_cast<bool>(shm), GetParam().creates);
    if (shm) {
        EXPECT_EQ(shm->name, expected);
        EXPECT_EQ(ipc_test::shmSize(shm->name), 64u);
    } else {
        EXPECT_TRUE(log.contains("after 10 attempts"));
    }
    shm.reset();
    EXPECT_FALSE(ipc_test::shmExists(expected));
    for (const auto& name : taken) {
        EXPECT_TRUE(ipc_test::shmExists(name)) << "a colliding object of someone else is left alone";
        shm_unlink(name.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Collisions, NameCollisionTest,
                         ::testing::Values(CollisionCase{0, true}, CollisionCase{9, true},
                                           CollisionCase{10, false}));

TEST(ShmRealloc, GrowsAndShrinksKeepingLeadingBytes) {
    LogCapture log;
    auto shm = vekai_shm_create_random(100);
    ASSERT_TRUE(shm);
    ASSERT_TRUE(vekai_shm_realloc(shm.get(), 100));
    const auto bytes = pattern(100);
    memcpy(shm->map, bytes.data(), bytes.size());

    ASSERT_TRUE(vekai_shm_realloc(shm.get(), 1 << 20));
    EXPECT_TRUE(shm->attached);
    EXPECT_EQ(shm->len, size_t{1} << 20);
    EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(shm->map), static_cast<uint8_t*>(shm->map) + 100),
              bytes);

    ASSERT_TRUE(vekai_shm_realloc(shm.get(), 10));
    EXPECT_EQ(ipc_test::shmSize(shm->name), 10u);
    EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(shm->map), static_cast<uint8_t*>(shm->map) + 10),
              std::vector<uint8_t>(bytes.begin(), bytes.begin() + 10));
}

}  // namespace
