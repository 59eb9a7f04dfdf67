// The peer library that external programs link, against the plugin's end of the channel: both
// implementations of the wire format must agree, including on resizes, stale signals and bad lengths.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>

#include "ipc_test_support.h"
#include "vekai_external_peer.h"
#include "vekai_utilities/vekai_ipc_utils.h"

using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed ^ (i * 13 + (i >> 9)));
    }
    return bytes;
}

struct PeerDeleter {
    void operator()(vekai_peer_channel* channel) const { vekai_peer_close(channel); }
};
using PeerChannel = std::unique_ptr<vekai_peer_channel, PeerDeleter>;

PeerChannel openPeer(const std::string& description) {
    vekai_peer_channel* channel = nullptr;
    EXPECT_EQ(vekai_peer_open(ipc_test::withDuplicatedCounters(description).c_str(), &channel), VEKAI_IPC_OK);
    return PeerChannel(channel);
}

class PeerLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        requests = vekai_ipc_create(1024);
        responses = vekai_ipc_create(1024);
        ASSERT_TRUE(requests && responses);
        names = {requests->controlShm->name, requests->dataShm->name, responses->controlShm->name,
                 responses->dataShm->name};
        peerRequests = openPeer(ipc_sync_to_str(requests.get()));
        peerResponses = openPeer(ipc_sync_to_str(responses.get()));
        ASSERT_TRUE(peerRequests && peerResponses);
    }

    void TearDown() override {
        peerRequests.reset();
        peerResponses.reset();
        for (const auto& name : names) {
            EXPECT_TRUE(ipc_test::shmExists(name)) << "closing the peer leaves names to the plugin";
        }
        ipc_sync_close(std::move(requests));
        ipc_sync_close(std::move(responses));
        for (const auto& name : names) {
            EXPECT_FALSE(ipc_test::shmExists(name)) << name;
        }
    }

    ipc_test::LogCapture log;
    vekai_ipc_channel requests;
    vekai_ipc_channel responses;
    std::vector<std::string> names;
    PeerChannel peerRequests;
    PeerChannel peerResponses;
};

TEST_F(PeerLibraryTest, ReadyRequestsResponsesAndKill) {
    // The program: announce, then answer each request with its bytes reversed until asked to exit.
    auto program = std::async(std::launch::async, [this] {
        EXPECT_EQ(vekai_peer_announce_ready(peerRequests.get()), VEKAI_IPC_OK);
        int answered = 0;
        for (;;) {
            const void* data = nullptr;
            uint32_t length = 0;
            const int status = vekai_peer_receive(peerRequests.get(), 30000, &data, &length);
            if (status != VEKAI_IPC_OK) {
                return std::make_pair(status, answered);
            }
            const auto* bytes = static_cast<const uint8_t*>(data);
            std::vector<uint8_t> answer(bytes, bytes + length);
            std::reverse(answer.begin(), answer.end());
            EXPECT_EQ(vekai_peer_release(peerRequests.get()), VEKAI_IPC_OK);
            EXPECT_EQ(vekai_peer_send(peerResponses.get(), answer.data(), length), VEKAI_IPC_OK);
            ++answered;
        }
    });

    ASSERT_EQ(vekai_ipc_wait_ready(requests.get(), 20000), VEKAI_IPC_OK);
    // Sizes cross the capacity in both directions, then come back down.
    const std::vector<size_t> sizes{0, 1, 1024, 1025, 640 * 640 * 3 * 4, 17};
    for (size_t size : sizes) {
        const auto request = pattern(size, static_cast<uint8_t>(size));
        ASSERT_EQ(vekai_ipc_send(requests.get(), request.data(), request.size()), VEKAI_IPC_OK) << size;
        const uint8_t* data = nullptr;
        uint32_t length = 0;
        ASSERT_EQ(vekai_ipc_receive(responses.get(), 30000, &data, &length), VEKAI_IPC_OK) << size;
        std::vector<uint8_t> expected(request.rbegin(), request.rend());
        EXPECT_EQ(std::vector<uint8_t>(data, data + length), expected) << size;
        EXPECT_EQ(release_buffer(responses.get()), VEKAI_IPC_OK);
    }
    EXPECT_EQ(vekai_ipc_send_kill(requests.get()), VEKAI_IPC_OK);
    const auto [status, answered] = program.get();
    EXPECT_EQ(status, VEKAI_PEER_KILL_REQUESTED);
    EXPECT_EQ(answered, static_cast<int>(sizes.size()));
    EXPECT_FALSE(log.contains("Warning!"));
}

TEST_F(PeerLibraryTest, ReceiveRefusesLengthBeyondTheObject) {
    auto* header = static_cast<uint8_t*>(requests->dataShm->map);
    const uint32_t lie = 1024 + 1;
    memcpy(header, &lie, sizeof lie);
    // Raised by hand: the plugin's own send never announces more than it wrote.
    requests->signalSlots[0][0] = VEKAI_IPC_SIGNAL_DATA;
    const uint64_t one = 1;
    ASSERT_EQ(write(requests->eventFds[0], &one, sizeof one), static_cast<ssize_t>(sizeof one));
    const void* data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(vekai_peer_receive(peerRequests.get(), 1000, &data, &length), VEKAI_IPC_LENGTH_EXCEEDS_OBJECT);
    EXPECT_EQ(data, nullptr);
}

// The plugin's end signals through its slot 0 and counter 0.
void raiseToPeer(ipc_sync_internal_t* plugin, uint8_t code) {
    plugin->signalSlots[0][0] = code;
    const uint64_t one = 1;
    ASSERT_EQ(write(plugin->eventFds[0], &one, sizeof one), static_cast<ssize_t>(sizeof one));
}

// An object cut below its length header, with or without a resize notice, used to fault the
// program on the header itself (a failed re-map left no mapping at all).
TEST_F(PeerLibraryTest, ReceiveRefusesAnObjectCutBelowItsLengthHeader) {
    const void* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(ftruncate(requests->dataShm->fd, 0), 0);
    raiseToPeer(requests.get(), VEKAI_IPC_SIGNAL_DATA);
    EXPECT_EQ(vekai_peer_receive(peerRequests.get(), 1000, &data, &length), VEKAI_IPC_LENGTH_EXCEEDS_OBJECT);

    ASSERT_EQ(ftruncate(requests->dataShm->fd, 0), 0);
    raiseToPeer(requests.get(), VEKAI_IPC_SIGNAL_REALLOC);
    EXPECT_EQ(vekai_peer_receive(peerRequests.get(), 1000, &data, &length), VEKAI_IPC_INVALID);
    raiseToPeer(requests.get(), VEKAI_IPC_SIGNAL_DATA);
    EXPECT_EQ(vekai_peer_receive(peerRequests.get(), 1000, &data, &length), VEKAI_IPC_LENGTH_EXCEEDS_OBJECT);
    EXPECT_EQ(data, nullptr);
    // The plugin's end still unlinks the names at tear-down.
    ASSERT_EQ(ftruncate(requests->dataShm->fd, 1028), 0);
}

TEST_F(PeerLibraryTest, ReceiveTimesOutAndReportsUnexpectedCodes) {
    const void* data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(vekai_peer_receive(peerRequests.get(), 20, &data, &length), VEKAI_IPC_TIMEOUT);
    EXPECT_EQ(vekai_ipc_send_ready(requests.get()), VEKAI_IPC_OK);
    EXPECT_EQ(vekai_peer_receive(peerRequests.get(), 1000, &data, &length), VEKAI_IPC_UNEXPECTED_SIGNAL);
}

TEST_F(PeerLibraryTest, LateReleaseIsNeverTakenForTheNextSend) {
    const auto answer = pattern(32, 3);
    // Nobody on the plugin side reads: the send times out.
    EXPECT_EQ(vekai_peer_send(peerResponses.get(), answer.data(), answer.size()), VEKAI_IPC_TIMEOUT);
    // The plugin takes it late and releases it.
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(vekai_ipc_receive(responses.get(), 1000, &data, &length), VEKAI_IPC_OK);
    EXPECT_EQ(release_buffer(responses.get()), VEKAI_IPC_OK);
    // The next send must not take that release for its own.
    EXPECT_EQ(vekai_peer_send(peerResponses.get(), answer.data(), answer.size()), VEKAI_IPC_TIMEOUT);
}

TEST_F(PeerLibraryTest, SendNotAcknowledgedWithAckCode) {
    const auto answer = pattern(8, 1);
    auto plugin = std::async(std::launch::async, [this] {
        const uint8_t* data = nullptr;
        uint32_t length = 0;
        EXPECT_EQ(vekai_ipc_receive(responses.get(), 30000, &data, &length), VEKAI_IPC_OK);
        vekai_ipc_send_kill(responses.get());
    });
    EXPECT_EQ(vekai_peer_send(peerResponses.get(), answer.data(), answer.size()), VEKAI_IPC_NOT_ACKNOWLEDGED);
    plugin.get();
}

TEST(PeerLibraryOpen, RefusesMalformedDescriptions) {
    auto channel = vekai_ipc_create(16);
    ASSERT_TRUE(channel);
    const std::string description = ipc_sync_to_str(channel.get());
    // Each text names copies of the counters: a refusal after parsing closes the ones it names.
    using Make = std::string (*)(const std::vector<std::string>&);
    const std::vector<std::pair<const char*, Make>> cases{
        {"empty", [](const auto&) { return std::string(); }},
        {"three fields", [](const auto& f) { return f[0] + "|" + f[1] + "|" + f[2]; }},
        {"five fields", [](const auto& f) { return f[0] + "|" + f[1] + "|" + f[2] + "|" + f[3] + "|"; }},
        {"letters for a counter", [](const auto& f) { return "a|" + f[1] + "|" + f[2] + "|" + f[3]; }},
        {"empty name", [](const auto& f) { return f[0] + "|" + f[1] + "||" + f[3]; }},
        {"missing object", [](const auto& f) { return f[0] + "|" + f[1] + "|" + f[2] + "|/vekai_shm_gone"; }},
    };
    for (const auto& [name, make] : cases) {
        const std::string text =
            make(ipc_test::descriptionFields(ipc_test::withDuplicatedCounters(description)));
        auto* opened = reinterpret_cast<vekai_peer_channel*>(&channel);
        EXPECT_EQ(vekai_peer_open(text.c_str(), &opened), VEKAI_IPC_INVALID) << name;
        EXPECT_EQ(opened, nullptr) << name;
    }
    vekai_peer_channel* opened = nullptr;
    EXPECT_EQ(vekai_peer_open(nullptr, &opened), VEKAI_IPC_INVALID);
    EXPECT_STREQ(vekai_peer_status_text(VEKAI_IPC_LENGTH_EXCEEDS_OBJECT),
                 "announced length exceeds the shared object");
}

}  // namespace
