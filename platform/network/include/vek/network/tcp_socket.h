// A plain (no TLS) TCP stream socket for talking to programs on this machine; every blocking call is
// bounded by a timeout, and a vanished peer is reported as a failure, never as a signal.
#pragma once

#include <sys/types.h>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>

namespace vek::network {

class TcpSocket {
public:
    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Connects to an IPv4 address, replacing any earlier connection; false when refused, unreachable
    // or not done within `timeout`. A connected socket sends small messages without delay (no Nagle).
    bool connect(const std::string& ipv4Address, uint16_t port, std::chrono::milliseconds timeout);
    bool isConnected() const { return connected.load(std::memory_order_acquire); }

    // Ends the connection but keeps the descriptor until close() or the next connect(), so that a
    // thread still blocked in a receive on it wakes up instead of reading from a reused descriptor.
    void shutdown();
    void close();

    // How long one send or receive call may wait without progress; zero waits without limit.
    bool setSendTimeout(std::chrono::milliseconds timeout);
    bool setReceiveTimeout(std::chrono::milliseconds timeout);

    // Writes all parts, in order, with as few system calls as possible; false on error or timeout.
    bool sendAll(std::initializer_list<std::span<const std::byte>> parts);
    // Reads exactly `size` bytes; false on error, timeout or end of stream.
    bool receiveAll(void* data, size_t size);
    // Reads what is there, up to `size` bytes: the count, 0 at end of stream, -1 on error or timeout.
    ssize_t receiveSome(void* data, size_t size);

private:
    std::atomic<int> fd{-1};
    std::atomic<bool> connected{false};
};

class SocketFactory {
public:
    static std::unique_ptr<TcpSocket> createStreamSocket();
};

}  // namespace vek::network
