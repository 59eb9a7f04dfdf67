// Length-prefixed TCP messages from a hostile sender: the plugin's reader of an external program
// reached by port, and the peer library's reader in the program, each fed the same byte stream.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <span>

#include "corvane/vekai_external_process.h"
#include "fuzz_support.h"
#include "hostile_counterpart.h"
#include "vekai_external_peer.h"

namespace {

int listenFd = -1;
uint16_t port = 0;

void sendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        data += sent;
        size -= size_t(sent);
    }
}

void pluginReads(const uint8_t* data, size_t size) {
    const auto process = ExternalProcess::create(port);
    const uint8_t request[] = {1};
    if (!process->sendMessage(request))
        return;
    int connection = -1;
    if (vekai_peer_tcp_accept(listenFd, &connection) != VEKAI_IPC_OK)
        std::abort();
    sendAll(connection, data, size);
    shutdown(connection, SHUT_WR);
    while (const auto message = process->waitForOutput(1)) {
        fuzz::touchAll(message->data(), uint32_t(message->size()));
        process->finishOutput();
    }
    close(connection);
}

void peerReads(const uint8_t* data, size_t size) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        std::abort();
    sendAll(pair[0], data, size);
    shutdown(pair[0], SHUT_WR);
    vekai_peer_buffer message{};
    while (vekai_peer_tcp_receive(pair[1], &message) == VEKAI_IPC_OK)
        fuzz::touchAll(message.data, message.length);
    vekai_peer_buffer_free(&message);
    close(pair[0]);
    close(pair[1]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::setUp();
    if (vekai_peer_tcp_listen(0, &listenFd, &port) != VEKAI_IPC_OK)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pluginReads(data, size);
    peerReads(data, size);
    return 0;
}
