/* Echo program for the transport benchmark: answers every request with the same bytes, over the
   shared-memory channel or, with --tcp <port-file>, over TCP.
   Over the channel it answers straight from the request object and releases the request afterwards,
   which is the one-copy path a real processor takes when the plugin reads answers on its own thread. */
#define _GNU_SOURCE
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vekai_external_peer.h"

static int serve_ipc(const char* request_channel, const char* response_channel) {
    vekai_peer_channel* requests = NULL;
    vekai_peer_channel* responses = NULL;
    int status = vekai_peer_open(request_channel, &requests);
    if (status == VEKAI_IPC_OK) {
        status = vekai_peer_open(response_channel, &responses);
    }
    if (status != VEKAI_IPC_OK) {
        fprintf(stderr, "cannot open channels: %s\n", vekai_peer_status_text(status));
        return 2;
    }
    vekai_peer_announce_ready(requests);
    for (;;) {
        const void* data = NULL;
        uint32_t length = 0;
        status = vekai_peer_receive(requests, 1000, &data, &length);
        if (status == VEKAI_PEER_KILL_REQUESTED) {
            break;
        }
        if (status != VEKAI_IPC_OK) {
            continue;
        }
        status = vekai_peer_send(responses, data, length);
        if (status != VEKAI_IPC_OK) {
            fprintf(stderr, "send: %s\n", vekai_peer_status_text(status));
        }
        vekai_peer_release(requests);
    }
    vekai_peer_close(requests);
    vekai_peer_close(responses);
    return 0;
}

static int serve_tcp(const char* port_file) {
    int listener = -1;
    uint16_t port = 0;
    FILE* file;
    if (vekai_peer_tcp_listen(0, &listener, &port) != VEKAI_IPC_OK) {
        return 2;
    }
    file = fopen(port_file, "w");
    if (file == NULL) {
        return 2;
    }
    fprintf(file, "%u\n", (unsigned)port);
    fclose(file);
    for (;;) {
        vekai_peer_buffer message = {0};
        int connection = -1;
        if (vekai_peer_tcp_accept(listener, &connection) != VEKAI_IPC_OK) {
            continue;
        }
        while (vekai_peer_tcp_receive(connection, &message) == VEKAI_IPC_OK &&
               vekai_peer_tcp_send(connection, message.data, message.length) == VEKAI_IPC_OK) {
        }
        vekai_peer_buffer_free(&message);
        close(connection);
    }
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--tcp") == 0) {
        return serve_tcp(argv[2]);
    }
    if (argc < 3) {
        fprintf(stderr, "usage: %s <request channel> <response channel> | --tcp <port file>\n", argv[0]);
        return 2;
    }
    return serve_ipc(argv[1], argv[2]);
}
