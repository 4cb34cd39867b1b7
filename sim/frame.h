// The frames of the device namespace as the emulator reads requests and
// writes replies. Kept apart from the sockets so that every byte a client
// can send meets this code in the fuzz targets exactly as it does in the
// server.
#ifndef FERVSIM_FRAME_H
#define FERVSIM_FRAME_H

#include <stddef.h>
#include <stdint.h>

enum {
    SIM_FRAME_MAGIC = 0x56524546, // "FERV"
    SIM_FRAME_VERSION = 1,
    SIM_FRAME_REQUEST_HEADER = 24,
    SIM_FRAME_REPLY_HEADER = 20,
    SIM_FRAME_PENDING = 1,
    SIM_FRAME_COMPLETE = 2
};

enum SimFrameStatus {
    SIM_FRAME_INCOMPLETE, // more bytes must come
    SIM_FRAME_MALFORMED,  // wrong magic or version, or a size over the limit: close the connection
    SIM_FRAME_READY
};

struct SimFrame {
    uint32_t code;
    uint32_t inSize;
    uint32_t outSize;
    const uint8_t *body; // inSize bytes, inside the bytes given
    size_t size;         // header and body; known as soon as the header is in, else 0
};

// Reads the request frame at the front of n bytes. READY: *f describes it
// whole. INCOMPLETE: f->size is the whole frame's size once its header is
// in (0 before). MALFORMED: nothing in *f is to be used.
SimFrameStatus SimReadFrame(const uint8_t *bytes, size_t n, SimFrame *f);

// Writes the 20 bytes of a reply header.
void SimWriteReplyHeader(uint8_t *header, uint32_t type, uint32_t error, uint32_t information);

#endif
