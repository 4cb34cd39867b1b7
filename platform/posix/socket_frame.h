// Frames of the POSIX device namespace: how a request and its replies travel
// over a Unix-domain stream socket between a client (this platform layer) and
// whatever stands in the driver's place (the emulator, a test's own server).
//
// Every integer is 32-bit little-endian, read and written through the
// helpers of lib/ferv_wire.h at the offsets below.
//
// A request: a 24-byte header, then inSize bytes of input.
// A reply: a 20-byte header, then information bytes for the caller's output
// buffer. A server answers PENDING first when it holds a request, and the
// COMPLETE reply follows later on the same connection.
#ifndef FERV_SOCKET_FRAME_H
#define FERV_SOCKET_FRAME_H

#include "lib/ferv_wire.h"

#define FERV_FRAME_MAGIC 0x56524546u // the bytes 'F' 'E' 'R' 'V'
#define FERV_FRAME_VERSION 1u

// Reply types.
#define FERV_FRAME_PENDING 1u
#define FERV_FRAME_COMPLETE 2u

// inSize, outSize and information never exceed FERV_SIZE_LIMIT (256 MiB).

// Request header, client to server.
enum {
    FERV_FRAME_REQ_MAGIC = 0,
    FERV_FRAME_REQ_VERSION = 4,
    FERV_FRAME_REQ_CODE = 8,     // ioControlCode
    FERV_FRAME_REQ_IN_SIZE = 12, // input bytes that follow
    FERV_FRAME_REQ_OUT_SIZE = 16, // the caller's output buffer length
    FERV_FRAME_REQ_RESERVED = 20, // 0
    FERV_FRAME_REQ_HEADER_SIZE = 24
};

// Reply header, server to client.
enum {
    FERV_FRAME_REP_MAGIC = 0,
    FERV_FRAME_REP_TYPE = 4,
    FERV_FRAME_REP_ERROR = 8,       // Win32 error code, 0 = success
    FERV_FRAME_REP_INFORMATION = 12, // bytes that follow; at most outSize; 0 for PENDING
    FERV_FRAME_REP_RESERVED = 16,   // 0
    FERV_FRAME_REP_HEADER_SIZE = 20
};

// The interface class of the driver, as it appears in the namespace:
// R/interfaces/{a8987d25-df6e-4a51-9727-49fb6f1479a2}/.
#define FERV_INTERFACE_CLASS_TEXT "{a8987d25-df6e-4a51-9727-49fb6f1479a2}"

// Directory of the interface classes below the root, and the control device.
#define FERV_INTERFACES_DIR "interfaces"
#define FERV_CONTROL_DEVICE_NAME "ZEL_HA_CONTROL"

#endif
