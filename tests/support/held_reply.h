// A reply lent in a heap block of its own, as the topology queries lend the
// request buffer: `room` bytes before it (junk), the reply, and the decoders'
// scratch behind it (junk too: the decoders clear what they use). Used by
// the decode tests and the fuzz targets.
#ifndef FERV_TESTS_HELD_REPLY_H
#define FERV_TESTS_HELD_REPLY_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "lib/block.h"
#include "lib/topology_decode.h"

struct HeldReply {
    uint8_t *block;
    uint8_t *reply;
    uint32_t size;
    FervReplyHolder holder;

    HeldReply(const uint8_t *bytes, uint32_t length, size_t room)
    {
        size = length;
        block = (uint8_t *)UtilAllocateBlock(room + size + FervDecodeScratchSize(size) + 1, 0);
        if (block == nullptr)
            abort();
        memset(block, 0xEE, room);
        reply = block + room;
        memcpy(reply, bytes, size);
        memset(reply + size, 0xFF, FervDecodeScratchSize(size));
        // The decoders must say whether they took the block.
        holder = {block, true};
    }
    // With the room the queries leave.
    HeldReply(const uint8_t *bytes, uint32_t length) : HeldReply(bytes, length, FervDecodeRoomSize(length)) {}
    HeldReply(const HeldReply &) = delete;
    HeldReply &operator=(const HeldReply &) = delete;
    // Taken or not, the block goes back here: taken, it is the list.
    ~HeldReply() { free(block); }
    uint8_t *Scratch() const { return reply + size; }
};

#endif
