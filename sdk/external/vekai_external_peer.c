#define _GNU_SOURCE
#include "vekai_external_peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

/* The program's end raises signals in slot 1 / counter 1 and takes them from slot 0 / counter 0. */
enum { SEND_SIDE = 1, RECEIVE_SIDE = 0 };
/* A plugin that keeps its counter full must not keep a sender draining forever. */
enum { MAX_STALE_SIGNALS = 64 };
enum { MAX_NAME = 256 };
/* A TCP message announced as large grows the buffer in steps of at least this many bytes. */
enum { MIN_RECEIVE_GROWTH = 64 * 1024 };

typedef struct shm_object {
    int fd;
    char name[MAX_NAME];
    uint8_t* map;
    size_t len;
} shm_object;

struct vekai_peer_channel {
    int counters[2];
    shm_object control;
    shm_object data;
};

static int64_t now_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static void shm_detach(shm_object* shm) {
    if (shm->map != NULL) {
        munmap(shm->map, shm->len);
    }
    shm->map = NULL;
    shm->len = 0;
}

/* Maps the object whole, at the size it has now. */
static int shm_attach(shm_object* shm) {
    struct stat info;
    shm_detach(shm);
    if (fstat(shm->fd, &info) != 0 || info.st_size <= 0) {
        return 0;
    }
    void* map = mmap(NULL, (size_t)info.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, shm->fd, 0);
    if (map == MAP_FAILED) {
        return 0;
    }
    shm->map = map;
    shm->len = (size_t)info.st_size;
    return 1;
}

static int shm_open_named(shm_object* shm, const char* name, size_t name_length) {
    if (name_length == 0 || name_length >= MAX_NAME) {
        return 0;
    }
    memcpy(shm->name, name, name_length);
    shm->name[name_length] = '\0';
    shm->fd = shm_open(shm->name, O_RDWR, 0600);
    return shm->fd >= 0 && shm_attach(shm);
}

/* The names belong to the plugin, which unlinks them. */
static void shm_release(shm_object* shm) {
    shm_detach(shm);
    if (shm->fd >= 0) {
        close(shm->fd);
        shm->fd = -1;
    }
}

static int parse_descriptor(const char* text, size_t length, int* fd) {
    long value = 0;
    if (length == 0 || length > 9) {
        return 0;
    }
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
        value = value * 10 + (text[i] - '0');
    }
    *fd = (int)value;
    return fcntl(*fd, F_GETFD) >= 0;
}

static int raise_signal(vekai_peer_channel* channel, uint8_t code) {
    const uint64_t one = 1;
    ssize_t written;
    __atomic_store_n(&channel->control.map[SEND_SIDE], code, __ATOMIC_RELEASE);
    do {
        written = write(channel->counters[SEND_SIDE], &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    return written == (ssize_t)sizeof one ? VEKAI_IPC_OK : VEKAI_IPC_SIGNAL_FAILED;
}

/* Takes one unit from the receive counter once readable (at once when the deadline has passed). */
static int wait_signal(vekai_peer_channel* channel, int64_t deadline_ms, uint8_t* code) {
    for (;;) {
        struct pollfd readable = {channel->counters[RECEIVE_SIDE], POLLIN, 0};
        int64_t left = deadline_ms - now_ms();
        int polled = poll(&readable, 1, left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : (int)left));
        uint64_t unit = 0;
        ssize_t got;
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled < 0 || (readable.revents & (POLLERR | POLLNVAL)) != 0) {
            return VEKAI_IPC_INVALID;
        }
        if (polled == 0) {
            return VEKAI_IPC_TIMEOUT;
        }
        got = read(channel->counters[RECEIVE_SIDE], &unit, sizeof unit);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got != (ssize_t)sizeof unit) {
            return VEKAI_IPC_INVALID;
        }
        *code = __atomic_load_n(&channel->control.map[RECEIVE_SIDE], __ATOMIC_ACQUIRE);
        return VEKAI_IPC_OK;
    }
}

static int wait_acknowledgement(vekai_peer_channel* channel) {
    uint8_t code = 0;
    int status = wait_signal(channel, now_ms() + VEKAI_IPC_ACK_TIMEOUT_MS, &code);
    if (status != VEKAI_IPC_OK) {
        return status;
    }
    return code == VEKAI_IPC_SIGNAL_ACK ? VEKAI_IPC_OK : VEKAI_IPC_NOT_ACKNOWLEDGED;
}

int vekai_peer_open(const char* description, vekai_peer_channel** channel) {
    const char* fields[4];
    size_t lengths[4];
    size_t field = 0;
    const char* cursor = description;
    vekai_peer_channel* opened;
    if (description == NULL || channel == NULL) {
        return VEKAI_IPC_INVALID;
    }
    *channel = NULL;
    fields[0] = cursor;
    for (; *cursor != '\0'; ++cursor) {
        if (*cursor == VEKAI_IPC_DESCRIPTION_SEPARATOR) {
            lengths[field] = (size_t)(cursor - fields[field]);
            if (++field == 4) {
                return VEKAI_IPC_INVALID;
            }
            fields[field] = cursor + 1;
        }
    }
    if (field != 3) {
        return VEKAI_IPC_INVALID;
    }
    lengths[3] = (size_t)(cursor - fields[3]);

    opened = calloc(1, sizeof *opened);
    if (opened == NULL) {
        return VEKAI_PEER_OUT_OF_MEMORY;
    }
    opened->counters[0] = opened->counters[1] = -1;
    opened->control.fd = opened->data.fd = -1;
    if (!parse_descriptor(fields[0], lengths[0], &opened->counters[0]) ||
        !parse_descriptor(fields[1], lengths[1], &opened->counters[1])) {
        opened->counters[0] = opened->counters[1] = -1;
        vekai_peer_close(opened);
        return VEKAI_IPC_INVALID;
    }
    if (!shm_open_named(&opened->control, fields[2], lengths[2]) ||
        !shm_open_named(&opened->data, fields[3], lengths[3]) ||
        opened->control.len < VEKAI_IPC_CONTROL_BYTES || opened->data.len < VEKAI_IPC_LENGTH_HEADER_BYTES) {
        vekai_peer_close(opened);
        return VEKAI_IPC_INVALID;
    }
    *channel = opened;
    return VEKAI_IPC_OK;
}

void vekai_peer_close(vekai_peer_channel* channel) {
    if (channel == NULL) {
        return;
    }
    shm_release(&channel->control);
    shm_release(&channel->data);
    for (int i = 0; i < 2; ++i) {
        if (channel->counters[i] >= 0) {
            close(channel->counters[i]);
        }
    }
    free(channel);
}

int vekai_peer_announce_ready(vekai_peer_channel* channel) {
    return channel == NULL ? VEKAI_IPC_INVALID : raise_signal(channel, VEKAI_IPC_SIGNAL_READY);
}

int vekai_peer_receive(vekai_peer_channel* channel, int timeout_ms, const void** data, uint32_t* length) {
    int64_t deadline;
    uint8_t code = 0;
    uint32_t announced = 0;
    struct stat info;
    size_t usable;
    if (channel == NULL || data == NULL || length == NULL) {
        return VEKAI_IPC_INVALID;
    }
    /* Resizes do not extend the caller's wait. */
    deadline = now_ms() + (timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        int status = wait_signal(channel, deadline, &code);
        if (status != VEKAI_IPC_OK) {
            return status;
        }
        if (code != VEKAI_IPC_SIGNAL_REALLOC) {
            break;
        }
        shm_detach(&channel->data);
        {
            int reopened = shm_open(channel->data.name, O_RDWR, 0600);
            if (reopened >= 0) {
                close(channel->data.fd);
                channel->data.fd = reopened;
            }
        }
        if (!shm_attach(&channel->data) || channel->data.len < VEKAI_IPC_LENGTH_HEADER_BYTES) {
            return VEKAI_IPC_INVALID;
        }
        status = raise_signal(channel, VEKAI_IPC_SIGNAL_ACK);
        if (status != VEKAI_IPC_OK) {
            return status;
        }
    }
    if (code == VEKAI_IPC_SIGNAL_KILL) {
        return VEKAI_PEER_KILL_REQUESTED;
    }
    if (code != VEKAI_IPC_SIGNAL_DATA) {
        return VEKAI_IPC_UNEXPECTED_SIGNAL;
    }
    /* Never read past the object, not even its length header, if it shrank behind our back. */
    usable = fstat(channel->data.fd, &info) == 0 && (size_t)info.st_size < channel->data.len
                 ? (size_t)info.st_size
                 : channel->data.len;
    if (channel->data.map == NULL || usable < VEKAI_IPC_LENGTH_HEADER_BYTES) {
        return VEKAI_IPC_LENGTH_EXCEEDS_OBJECT;
    }
    memcpy(&announced, channel->data.map, sizeof announced);
    if (announced > usable - VEKAI_IPC_LENGTH_HEADER_BYTES) {
        return VEKAI_IPC_LENGTH_EXCEEDS_OBJECT;
    }
    *data = channel->data.map + VEKAI_IPC_LENGTH_HEADER_BYTES;
    *length = announced;
    return VEKAI_IPC_OK;
}

int vekai_peer_release(vekai_peer_channel* channel) {
    return channel == NULL ? VEKAI_IPC_INVALID : raise_signal(channel, VEKAI_IPC_SIGNAL_ACK);
}

int vekai_peer_send(vekai_peer_channel* channel, const void* data, uint32_t length) {
    size_t needed;
    int status;
    if (channel == NULL || (data == NULL && length > 0) ||
        length > UINT32_MAX - VEKAI_IPC_LENGTH_HEADER_BYTES) {
        return VEKAI_IPC_INVALID;
    }
    /* Signals left over from an exchange that timed out must not pass for this one's answers. */
    for (int drained = 0;; ++drained) {
        uint8_t stale = 0;
        status = wait_signal(channel, 0, &stale);
        if (status == VEKAI_IPC_TIMEOUT) {
            break;
        }
        if (status != VEKAI_IPC_OK) {
            return status;
        }
        if (drained == MAX_STALE_SIGNALS) {
            return VEKAI_IPC_UNEXPECTED_SIGNAL;
        }
    }
    needed = (size_t)length + VEKAI_IPC_LENGTH_HEADER_BYTES;
    if (channel->data.len < needed) {
        shm_detach(&channel->data);
        if (ftruncate(channel->data.fd, (off_t)needed) != 0) {
            shm_attach(&channel->data);
            return VEKAI_IPC_INVALID;
        }
        if (!shm_attach(&channel->data)) {
            return VEKAI_IPC_INVALID;
        }
        status = raise_signal(channel, VEKAI_IPC_SIGNAL_REALLOC);
        if (status != VEKAI_IPC_OK) {
            return status;
        }
        status = wait_acknowledgement(channel);
        if (status != VEKAI_IPC_OK) {
            return status;
        }
    }
    memcpy(channel->data.map, &length, sizeof length);
    if (length > 0) {
        memcpy(channel->data.map + VEKAI_IPC_LENGTH_HEADER_BYTES, data, length);
    }
    status = raise_signal(channel, VEKAI_IPC_SIGNAL_DATA);
    if (status != VEKAI_IPC_OK) {
        return status;
    }
    return wait_acknowledgement(channel);
}

const char* vekai_peer_status_text(int status) {
    switch (status) {
        case VEKAI_IPC_OK:
            return "success";
        case VEKAI_IPC_TIMEOUT:
            return "timed out";
        case VEKAI_IPC_INVALID:
            return "invalid channel, description or mapping";
        case VEKAI_IPC_SIGNAL_FAILED:
            return "could not raise a signal";
        case VEKAI_IPC_NOT_READY:
            return "peer not ready";
        case VEKAI_IPC_NOT_ACKNOWLEDGED:
            return "peer did not acknowledge";
        case VEKAI_IPC_UNEXPECTED_SIGNAL:
            return "unexpected signal";
        case VEKAI_IPC_LENGTH_EXCEEDS_OBJECT:
            return "announced length exceeds the shared object";
        case VEKAI_PEER_KILL_REQUESTED:
            return "exit requested";
        case VEKAI_PEER_OUT_OF_MEMORY:
            return "out of memory";
        case VEKAI_PEER_CLOSED:
            return "connection closed";
        default:
            return "unknown status";
    }
}

int vekai_peer_tcp_listen(uint16_t port, int* listen_fd, uint16_t* bound_port) {
    struct sockaddr_in address;
    socklen_t size = sizeof address;
    const int one = 1;
    int fd;
    if (listen_fd == NULL) {
        return VEKAI_IPC_INVALID;
    }
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return VEKAI_IPC_INVALID;
    }
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, (const struct sockaddr*)&address, sizeof address) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, (struct sockaddr*)&address, &size) != 0) {
        close(fd);
        return VEKAI_IPC_INVALID;
    }
    *listen_fd = fd;
    if (bound_port != NULL) {
        *bound_port = ntohs(address.sin_port);
    }
    return VEKAI_IPC_OK;
}

int vekai_peer_tcp_accept(int listen_fd, int* connection_fd) {
    const int one = 1;
    int fd;
    if (connection_fd == NULL) {
        return VEKAI_IPC_INVALID;
    }
    do {
        fd = accept4(listen_fd, NULL, NULL, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return VEKAI_IPC_INVALID;
    }
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        close(fd);
        return VEKAI_IPC_INVALID;
    }
    *connection_fd = fd;
    return VEKAI_IPC_OK;
}

static int read_exactly(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t got = recv(fd, data, size, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0) {
            return VEKAI_PEER_CLOSED;
        }
        if (got < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? VEKAI_IPC_TIMEOUT : VEKAI_IPC_INVALID;
        }
        data += got;
        size -= (size_t)got;
    }
    return VEKAI_IPC_OK;
}

int vekai_peer_tcp_receive(int fd, vekai_peer_buffer* message) {
    uint8_t header[VEKAI_TCP_LENGTH_HEADER_BYTES];
    uint32_t length;
    size_t received = 0;
    int status;
    if (message == NULL) {
        return VEKAI_IPC_INVALID;
    }
    status = read_exactly(fd, header, sizeof header);
    if (status != VEKAI_IPC_OK) {
        return status;
    }
    length = (uint32_t)header[0] | (uint32_t)header[1] << 8 | (uint32_t)header[2] << 16 |
             (uint32_t)header[3] << 24;
    /* The buffer grows with the bytes that really arrive, not with the announced length alone. */
    message->length = 0;
    while (received < length) {
        size_t chunk;
        if (received == message->capacity) {
            size_t wanted = message->capacity * 2 > (size_t)MIN_RECEIVE_GROWTH ? message->capacity * 2
                                                                               : (size_t)MIN_RECEIVE_GROWTH;
            uint8_t* grown;
            if (wanted > length) {
                wanted = length;
            }
            grown = realloc(message->data, wanted);
            if (grown == NULL) {
                return VEKAI_PEER_OUT_OF_MEMORY;
            }
            message->data = grown;
            message->capacity = wanted;
        }
        chunk = (message->capacity < length ? message->capacity : length) - received;
        status = read_exactly(fd, message->data + received, chunk);
        if (status != VEKAI_IPC_OK) {
            return status;
        }
        received += chunk;
    }
    message->length = length;
    return VEKAI_IPC_OK;
}

int vekai_peer_tcp_send(int fd, const void* data, uint32_t length) {
    uint8_t header[VEKAI_TCP_LENGTH_HEADER_BYTES] = {(uint8_t)length, (uint8_t)(length >> 8),
                                                     (uint8_t)(length >> 16), (uint8_t)(length >> 24)};
    struct iovec parts[2] = {{header, sizeof header}, {(void*)data, length}};
    struct msghdr message;
    int first = 0;
    memset(&message, 0, sizeof message);
    while (first < 2) {
        ssize_t sent;
        message.msg_iov = parts + first;
        message.msg_iovlen = (size_t)(2 - first);
        sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? VEKAI_IPC_TIMEOUT : VEKAI_PEER_CLOSED;
        }
        while (first < 2 && (size_t)sent >= parts[first].iov_len) {
            sent -= (ssize_t)parts[first].iov_len;
            ++first;
        }
        if (first < 2) {
            parts[first].iov_base = (uint8_t*)parts[first].iov_base + sent;
            parts[first].iov_len -= (size_t)sent;
        }
    }
    return VEKAI_IPC_OK;
}

void vekai_peer_buffer_free(vekai_peer_buffer* buffer) {
    if (buffer != NULL) {
        free(buffer->data);
        buffer->data = NULL;
        buffer->length = 0;
        buffer->capacity = 0;
    }
}
