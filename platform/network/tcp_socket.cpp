#include "vek/network/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <cerrno>
#include <climits>

#include <algorithm>
#include <vector>

namespace vek::network {

namespace {

bool setTimeoutOption(int fd, int option, std::chrono::milliseconds timeout) {
    const auto ms = std::max<long long>(timeout.count(), 0);
    timeval value{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    return fd >= 0 && setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) == 0;
}

// Waits for a non-blocking connect to finish; true when it succeeded.
bool finishConnect(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd writable{fd, POLLOUT, 0};
        const int polled =
            poll(&writable, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX)));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return false;
        }
        int error = 0;
        socklen_t size = sizeof error;
        return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
}

}  // namespace

TcpSocket::~TcpSocket() {
    close();
}

bool TcpSocket::connect(const std::string& ipv4Address, uint16_t port, std::chrono::milliseconds timeout) {
    close();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, ipv4Address.c_str(), &address.sin_addr) != 1) {
        return false;
    }
    const int socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socketFd < 0) {
        return false;
    }
    const bool done = ::connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                      (errno == EINPROGRESS && finishConnect(socketFd, timeout));
    const int one = 1;
    if (!done || fcntl(socketFd, F_SETFL, fcntl(socketFd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        ::close(socketFd);
        return false;
    }
    fd.store(socketFd, std::memory_order_release);
    connected.store(true, std::memory_order_release);
    return true;
}

void TcpSocket::shutdown() {
    connected.store(false, std::memory_order_release);
    if (const int current = fd.load(std::memory_order_acquire); current >= 0) {
        ::shutdown(current, SHUT_RDWR);
    }
}

void TcpSocket::close() {
    connected.store(false, std::memory_order_release);
    if (const int current = fd.exchange(-1, std::memory_order_acq_rel); current >= 0) {
        ::close(current);
    }
}

bool TcpSocket::setSendTimeout(std::chrono::milliseconds timeout) {
    return setTimeoutOption(fd.load(std::memory_order_acquire), SO_SNDTIMEO, timeout);
}

bool TcpSocket::setReceiveTimeout(std::chrono::milliseconds timeout) {
    return setTimeoutOption(fd.load(std::memory_order_acquire), SO_RCVTIMEO, timeout);
}

bool TcpSocket::sendAll(std::initializer_list<std::span<const std::byte>> parts) {
    std::vector<iovec> pending;
    pending.reserve(parts.size());
    for (const auto& part : parts) {
        if (!part.empty()) {
            pending.push_back({const_cast<std::byte*>(part.data()), part.size()});
        }
    }
    const int socketFd = fd.load(std::memory_order_acquire);
    size_t first = 0;
    while (first < pending.size()) {
        msghdr message{};
        message.msg_iov = pending.data() + first;
        message.msg_iovlen = pending.size() - first;
        // MSG_NOSIGNAL: a peer that went away must not take this process down with SIGPIPE.
        const ssize_t sent = sendmsg(socketFd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        auto left = static_cast<size_t>(sent);
        while (first < pending.size() && left >= pending[first].iov_len) {
            left -= pending[first].iov_len;
            ++first;
        }
        if (left > 0) {
            pending[first].iov_base = static_cast<std::byte*>(pending[first].iov_base) + left;
            pending[first].iov_len -= left;
        }
    }
    return true;
}

bool TcpSocket::receiveAll(void* data, size_t size) {
    auto* cursor = static_cast<std::byte*>(data);
    while (size > 0) {
        const ssize_t got = receiveSome(cursor, size);
        if (got <= 0) {
            return false;
        }
        cursor += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

ssize_t TcpSocket::receiveSome(void* data, size_t size) {
    const int socketFd = fd.load(std::memory_order_acquire);
    for (;;) {
        const ssize_t got = recv(socketFd, data, size, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got;
    }
}

std::unique_ptr<TcpSocket> SocketFactory::createStreamSocket() {
    return std::make_unique<TcpSocket>();
}

}  // namespace vek::network
