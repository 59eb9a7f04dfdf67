/* The program's side of the plugin's external-processor transports, for programs the plugin talks to:
   the shared-memory channel (one for requests, one for responses) and TCP length-prefixed framing.
   Every call returns a status (enum vekai_ipc_status or VEKAI_PEER_*); nothing prints or exits.

   A program started by the plugin gets the request channel's description as argv[1] and the response
   channel's as argv[2]. Typical loop:

       vekai_peer_open(argv[1], &requests); vekai_peer_open(argv[2], &responses);
       vekai_peer_announce_ready(requests);
       while ((status = vekai_peer_receive(requests, 1000, &data, &length)) != VEKAI_PEER_KILL_REQUESTED) {
           if (status != VEKAI_IPC_OK) continue;
           ...use data, then vekai_peer_release(requests); vekai_peer_send(responses, answer, size);
       }
       vekai_peer_close(requests); vekai_peer_close(responses);
*/
#ifndef VEKAI_EXTERNAL_PEER_H
#define VEKAI_EXTERNAL_PEER_H

#include <stddef.h>
#include <stdint.h>

#include "vekai_ipc_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses of the peer side beyond enum vekai_ipc_status. */
#define VEKAI_PEER_KILL_REQUESTED 8 /* the plugin asks the program to exit */
#define VEKAI_PEER_OUT_OF_MEMORY 9
#define VEKAI_PEER_CLOSED 10 /* TCP: the other side closed the connection */

typedef struct vekai_peer_channel vekai_peer_channel;

/* Opens the program's end of a channel from its description text; the channel takes over the two
   counter descriptors named there. */
int vekai_peer_open(const char* description, vekai_peer_channel** channel);
/* Unmaps and closes both objects (their names stay: the plugin removes them) and closes both
   counters. Null is allowed. */
void vekai_peer_close(vekai_peer_channel* channel);

/* Tells the plugin that requests may come; raise it once, on the request channel. */
int vekai_peer_announce_ready(vekai_peer_channel* channel);

/* Waits up to timeout_ms for one message. VEKAI_IPC_OK: *data and *length describe it inside the
   shared object until vekai_peer_release(). VEKAI_PEER_KILL_REQUESTED: the program should exit.
   VEKAI_IPC_LENGTH_EXCEEDS_OBJECT: the announced length does not fit; nothing was read. */
int vekai_peer_receive(vekai_peer_channel* channel, int timeout_ms, const void** data, uint32_t* length);
/* Hands the received message back; the plugin waits for this before it sends the next one. */
int vekai_peer_release(vekai_peer_channel* channel);

/* Sends one message, growing the shared object when needed, and waits for the plugin to take it. */
int vekai_peer_send(vekai_peer_channel* channel, const void* data, uint32_t length);

/* A short English text for any status. */
const char* vekai_peer_status_text(int status);

/* TCP: listens on 127.0.0.1; port 0 picks a free port, reported in *bound_port. */
int vekai_peer_tcp_listen(uint16_t port, int* listen_fd, uint16_t* bound_port);
/* Waits for the plugin to connect; answers then leave without waiting to be coalesced (no Nagle). */
int vekai_peer_tcp_accept(int listen_fd, int* connection_fd);

/* A growable message buffer; zero-initialise it, free it with vekai_peer_buffer_free(). */
typedef struct vekai_peer_buffer {
    uint8_t* data;
    uint32_t length;
    size_t capacity;
} vekai_peer_buffer;

/* Reads one length-prefixed message from a connected socket (blocking; set SO_RCVTIMEO to bound it). */
int vekai_peer_tcp_receive(int fd, vekai_peer_buffer* message);
/* Writes one length-prefixed message. */
int vekai_peer_tcp_send(int fd, const void* data, uint32_t length);
void vekai_peer_buffer_free(vekai_peer_buffer* buffer);

#ifdef __cplusplus
}
#endif

#endif
