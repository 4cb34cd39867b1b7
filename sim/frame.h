// Request frames of the device namespace as the emulator reads them (the
// layout and its checks are the protocol header's). Kept apart from the
// sockets so that every byte a client can send meets this code in the fuzz
// targets exactly as it does in the server.
#ifndef FERVSIM_FRAME_H
#define FERVSIM_FRAME_H

#include <stddef.h>
#include <stdint.h>

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

#endif
