// The loopback stream socket against the peer library's TCP framing: connecting, gathered sends,
// bounded receives, and a vanished peer reported as a failure rather than a signal.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vek/network/tcp_socket.h>

#include <cstring>
#include <future>
#include <vector>

#include "vekai_external_peer.h"

using namespace std::chrono_literals;
using vek::network::SocketFactory;
using vek::network::TcpSocket;

namespace {

struct Listener {
    Listener() { EXPECT_EQ(vekai_peer_tcp_listen(0, &fd, &port), VEKAI_IPC_OK); }
    ~Listener() { close(fd); }
    int accept() const {
        int connection = -1;
        EXPECT_EQ(vekai_peer_tcp_accept(fd, &connection), VEKAI_IPC_OK);
        return connection;
    }
    int fd = -1;
    uint16_t port = 0;
};

std::span<const std::byte> bytesOf(const std::vector<uint8_t>& bytes) {
    return std::as_bytes(std::span(bytes));
}

TEST(TcpSocket, ConnectToClosedPortFails) {
    uint16_t freePort = 0;
    {
        Listener probe;
        freePort = probe.port;
    }
    auto socket = SocketFactory::createStreamSocket();
    EXPECT_FALSE(socket->connect("127.0.0.1", freePort, 1000ms));
    EXPECT_FALSE(socket->isConnected());
    EXPECT_FALSE(socket->connect("not an address", freePort, 1000ms));
}

TEST(TcpSocket, FramedExchangeWithPeerLibrary) {
    Listener listener;
    auto server = std::async(std::launch::async, [&] {
        const int connection = listener.accept();
        int noDelay = 0;
        socklen_t size = sizeof noDelay;
        getsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size);
        EXPECT_NE(noDelay, 0) << "answers leave at once";
        vekai_peer_buffer message{};
        int answered = 0;
        while (vekai_peer_tcp_receive(connection, &message) == VEKAI_IPC_OK) {
            EXPECT_EQ(vekai_peer_tcp_send(connection, message.data, message.length), VEKAI_IPC_OK);
            ++answered;
        }
        vekai_peer_buffer_free(&message);
        close(connection);
        return answered;
    });
    auto socket = SocketFactory::createStreamSocket();
    ASSERT_TRUE(socket->connect("127.0.0.1", listener.port, 1000ms));
    ASSERT_TRUE(socket->setReceiveTimeout(3000ms));
    for (size_t size : {size_t{0}, size_t{5}, size_t{3 << 20}}) {
        std::vector<uint8_t> body(size);
        for (size_t i = 0; i < size; ++i) {
            body[i] = static_cast<uint8_t>(i * 7);
        }
        const uint8_t header[4] = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                                   static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
        ASSERT_TRUE(socket->sendAll({std::as_bytes(std::span(header)), bytesOf(body)}));
        uint8_t answerHeader[4];
        ASSERT_TRUE(socket->receiveAll(answerHeader, 4));
        EXPECT_EQ(0, memcmp(answerHeader, header, 4));
        std::vector<uint8_t> answer(size);
        ASSERT_TRUE(socket->receiveAll(answer.data(), size));
        EXPECT_EQ(answer, body);
    }
    socket->close();
    EXPECT_EQ(server.get(), 3);
}

// A header announcing 4 GiB used to make the program allocate all of it before a byte arrived.
TEST(TcpSocket, PeerBufferGrowsWithTheBytesThatArriveNotWithTheAnnouncedLength) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const uint8_t stream[] = {0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c'};
    ASSERT_EQ(write(pair[0], stream, sizeof stream), static_cast<ssize_t>(sizeof stream));
    close(pair[0]);
    vekai_peer_buffer message{};
    EXPECT_EQ(vekai_peer_tcp_receive(pair[1], &message), VEKAI_PEER_CLOSED);
    EXPECT_LE(message.capacity, size_t{64 * 1024});
    EXPECT_EQ(message.length, 0u);
    vekai_peer_buffer_free(&message);
    close(pair[1]);
}

TEST(TcpSocket, PeerBufferTakesAMessageLargerThanOneGrowthStep) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::vector<uint8_t> body(200 * 1024);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(i * 7);
    auto writer = std::async(std::launch::async, [&] {
        EXPECT_EQ(vekai_peer_tcp_send(pair[0], body.data(), static_cast<uint32_t>(body.size())),
                  VEKAI_IPC_OK);
    });
    vekai_peer_buffer message{};
    ASSERT_EQ(vekai_peer_tcp_receive(pair[1], &message), VEKAI_IPC_OK);
    writer.get();
    ASSERT_EQ(message.length, body.size());
    EXPECT_EQ(std::vector<uint8_t>(message.data, message.data + message.length), body);
    vekai_peer_buffer_free(&message);
    close(pair[0]);
    close(pair[1]);
}

TEST(TcpSocket, ReceiveTimesOutAndSeesEndOfStream) {
    Listener listener;
    auto socket = SocketFactory::createStreamSocket();
    ASSERT_TRUE(socket->connect("127.0.0.1", listener.port, 1000ms));
    const int connection = listener.accept();
    ASSERT_TRUE(socket->setReceiveTimeout(50ms));
    uint8_t byte = 0;
    errno = 0;
    EXPECT_EQ(socket->receiveSome(&byte, 1), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    close(connection);
    EXPECT_EQ(socket->receiveSome(&byte, 1), 0);
    EXPECT_FALSE(socket->receiveAll(&byte, 1));
}

TEST(TcpSocket, SendToVanishedPeerFailsWithoutSignal) {
    Listener listener;
    auto socket = SocketFactory::createStreamSocket();
    ASSERT_TRUE(socket->connect("127.0.0.1", listener.port, 1000ms));
    close(listener.accept());
    const std::vector<uint8_t> body(1 << 20, 1);
    bool failed = false;
    // The first writes may still be buffered; the reset shows within a few.
    for (int i = 0; i < 50 && !failed; ++i) {
        failed = !socket->sendAll({bytesOf(body)});
    }
    EXPECT_TRUE(failed);
}

TEST(TcpSocket, SendTimesOutWhenPeerStopsReading) {
    Listener listener;
    auto socket = SocketFactory::createStreamSocket();
    ASSERT_TRUE(socket->connect("127.0.0.1", listener.port, 1000ms));
    const int connection = listener.accept();
    ASSERT_TRUE(socket->setSendTimeout(100ms));
    const std::vector<uint8_t> body(64 << 20, 2);
    EXPECT_FALSE(socket->sendAll({bytesOf(body)}));
    close(connection);
}

TEST(TcpSocket, ShutdownWakesABlockedReceiver) {
    Listener listener;
    auto socket = SocketFactory::createStreamSocket();
    ASSERT_TRUE(socket->connect("127.0.0.1", listener.port, 1000ms));
    const int connection = listener.accept();
    ASSERT_TRUE(socket->setReceiveTimeout(10000ms));
    auto reader = std::async(std::launch::async, [&] {
        uint8_t byte = 0;
        return socket->receiveSome(&byte, 1);
    });
    std::this_thread::sleep_for(50ms);
    socket->shutdown();
    EXPECT_FALSE(socket->isConnected());
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 0);
    close(connection);
}

}  // namespace
