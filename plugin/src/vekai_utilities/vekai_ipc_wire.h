/* Wire constants of the external-processor transports (shared-memory channel and TCP framing),
   shared by the plugin and the peer library that external programs link; plain C on purpose. */
#ifndef VEKAI_IPC_WIRE_H
#define VEKAI_IPC_WIRE_H

/* Objects are named this prefix + 8 upper-case hexadecimal digits. */
#define VEKAI_IPC_SHM_NAME_PREFIX "/vekai_shm_"
/* Separates the four fields of a channel description: counter 0, counter 1, control, data. */
#define VEKAI_IPC_DESCRIPTION_SEPARATOR '|'
/* Control object: byte 0 is the slot the creating end writes, byte 1 the slot its peer writes. */
#define VEKAI_IPC_CONTROL_BYTES 2
/* The data object starts with the message length, unsigned 32-bit in host byte order. */
#define VEKAI_IPC_LENGTH_HEADER_BYTES 4
/* How long a sender waits for the receiver's acknowledgement. */
#define VEKAI_IPC_ACK_TIMEOUT_MS 1000
/* Every TCP message in either direction: unsigned 32-bit little-endian length, then the bytes. */
#define VEKAI_TCP_LENGTH_HEADER_BYTES 4

/* One byte in a signal slot. */
enum vekai_ipc_signal {
    VEKAI_IPC_SIGNAL_ACK = 0,     /* acknowledgement; also: received buffer released */
    VEKAI_IPC_SIGNAL_DATA = 1,    /* a message is in the data object */
    VEKAI_IPC_SIGNAL_REALLOC = 2, /* the data object was resized: re-map it, then acknowledge */
    VEKAI_IPC_SIGNAL_READY = 4,   /* the external program is ready for requests */
    VEKAI_IPC_SIGNAL_KILL = 5     /* the external program is asked to exit */
};

/* Result of every channel operation. */
enum vekai_ipc_status {
    VEKAI_IPC_OK = 0,
    VEKAI_IPC_TIMEOUT = 1,
    VEKAI_IPC_INVALID = 2,       /* invalid channel or missing mapping */
    VEKAI_IPC_SIGNAL_FAILED = 3, /* writing the counter failed */
    VEKAI_IPC_NOT_READY = 4,
    VEKAI_IPC_NOT_ACKNOWLEDGED = 5,
    VEKAI_IPC_UNEXPECTED_SIGNAL = 6,
    VEKAI_IPC_LENGTH_EXCEEDS_OBJECT = 7 /* announced length does not fit the data object: not read */
};

#endif
