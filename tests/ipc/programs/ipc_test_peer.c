/* A stand-in external processor for the tests, built only on the peer library as a user's program would
   be: it answers every request with its bytes inverted, or misbehaves the way --mode asks.

   ipc_test_peer <request channel> <response channel> [--mode M] [--report FILE] [other options]
       M: echo (default), never-ready, crash (aborts on taking the second request), hang (takes one
       request and then neither answers nor exits), ignore-kill, exit-now (prints, exits with 3),
       spawn (echo, plus a child process in the same group)
   ipc_test_peer --tcp --port-file FILE [--mode M]
       M: echo (default), close-after-first, hostile-length (announces 4 GiB, sends 16 bytes) */
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vekai_external_peer.h"

static const char* option(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], name) == 0) {
            return argv[i + 1];
        }
    }
    return fallback;
}

/* Written to a temporary file and renamed, so that a reader never sees half of it. */
static void write_report(const char* path, const char* text) {
    char temporary[4096];
    FILE* file;
    snprintf(temporary, sizeof temporary, "%s.tmp", path);
    file = fopen(temporary, "w");
    if (file == NULL) {
        return;
    }
    fputs(text, file);
    fclose(file);
    rename(temporary, path);
}

static uint8_t* inverted(const void* data, uint32_t length) {
    uint8_t* answer = malloc(length > 0 ? length : 1);
    for (uint32_t i = 0; answer != NULL && i < length; ++i) {
        answer[i] = (uint8_t) ~((const uint8_t*)data)[i];
    }
    return answer;
}

static int serve_ipc(int argc, char** argv) {
    const char* mode = option(argc, argv, "--mode", "echo");
    const char* report = option(argc, argv, "--report", NULL);
    vekai_peer_channel* requests = NULL;
    vekai_peer_channel* responses = NULL;
    pid_t child = 0;
    int taken = 0;
    int status;

    if (strcmp(mode, "exit-now") == 0) {
        printf("leaving at once\n");
        fprintf(stderr, "on purpose\n");
        return 3;
    }
    status = vekai_peer_open(argv[1], &requests);
    if (status == VEKAI_IPC_OK) {
        status = vekai_peer_open(argv[2], &responses);
    }
    if (status != VEKAI_IPC_OK) {
        fprintf(stderr, "cannot open channels: %s\n", vekai_peer_status_text(status));
        return 2;
    }
    if (strcmp(mode, "spawn") == 0) {
        child = fork();
        if (child == 0) {
            for (;;) {
                pause();
            }
        }
    }
    if (report != NULL) {
        char text[2048];
        const char* value = getenv("VEKAI_TEST_VALUE");
        snprintf(text, sizeof text, "pid %d\nchild %d\ninput %s\noutput %s\nenv %s\n", (int)getpid(),
                 (int)child, argv[1], argv[2], value != NULL ? value : "-");
        write_report(report, text);
    }
    printf("peer started in mode %s\n", mode);
    fflush(stdout);
    if (strcmp(mode, "never-ready") != 0) {
        vekai_peer_announce_ready(requests);
    }

    for (;;) {
        const void* data = NULL;
        uint32_t length = 0;
        uint8_t* answer;
        status = vekai_peer_receive(requests, 1000, &data, &length);
        if (status == VEKAI_PEER_KILL_REQUESTED) {
            if (strcmp(mode, "ignore-kill") == 0) {
                continue;
            }
            break;
        }
        if (status == VEKAI_IPC_TIMEOUT) {
            continue;
        }
        if (status != VEKAI_IPC_OK) {
            fprintf(stderr, "receive: %s\n", vekai_peer_status_text(status));
            continue;
        }
        ++taken;
        if (strcmp(mode, "crash") == 0 && taken == 2) {
            abort();
        }
        if (strcmp(mode, "hang") == 0) {
            for (;;) {
                pause();
            }
        }
        answer = inverted(data, length);
        vekai_peer_release(requests);
        if (answer == NULL) {
            continue;
        }
        status = vekai_peer_send(responses, answer, length);
        if (status != VEKAI_IPC_OK) {
            fprintf(stderr, "send: %s\n", vekai_peer_status_text(status));
        }
        free(answer);
    }
    vekai_peer_close(requests);
    vekai_peer_close(responses);
    if (child > 0) {
        kill(child, SIGKILL);
    }
    return 0;
}

static void serve_connection(int connection, const char* mode, int* served) {
    vekai_peer_buffer message = {0};
    while (vekai_peer_tcp_receive(connection, &message) == VEKAI_IPC_OK) {
        if (strcmp(mode, "hostile-length") == 0) {
            uint8_t lie[4 + 16] = {0xFF, 0xFF, 0xFF, 0xFF};
            send(connection, lie, sizeof lie, MSG_NOSIGNAL);
            continue;
        }
        uint8_t* answer = inverted(message.data, message.length);
        if (answer == NULL || vekai_peer_tcp_send(connection, answer, message.length) != VEKAI_IPC_OK) {
            free(answer);
            break;
        }
        free(answer);
        if (strcmp(mode, "close-after-first") == 0 && (*served)++ == 0) {
            break;
        }
    }
    vekai_peer_buffer_free(&message);
}

static int serve_tcp(int argc, char** argv) {
    const char* mode = option(argc, argv, "--mode", "echo");
    const char* port_file = option(argc, argv, "--port-file", NULL);
    int listener = -1;
    int served = 0;
    uint16_t port = 0;
    char text[32];
    int status = vekai_peer_tcp_listen(0, &listener, &port);
    if (status != VEKAI_IPC_OK || port_file == NULL) {
        fprintf(stderr, "cannot listen: %s\n", vekai_peer_status_text(status));
        return 2;
    }
    snprintf(text, sizeof text, "%u\n", (unsigned)port);
    write_report(port_file, text);
    for (;;) {
        int connection = -1;
        if (vekai_peer_tcp_accept(listener, &connection) != VEKAI_IPC_OK) {
            continue;
        }
        serve_connection(connection, mode, &served);
        close(connection);
    }
}

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "--tcp") == 0) {
        return serve_tcp(argc, argv);
    }
    if (argc < 3) {
        fprintf(stderr, "usage: %s <request channel> <response channel> [options]\n", argv[0]);
        return 2;
    }
    return serve_ipc(argc, argv);
}
