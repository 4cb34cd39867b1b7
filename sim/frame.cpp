// Request and reply frames.
#include "sim/frame.h"

#include "lib/ferv_wire.h"

SimFrameStatus SimReadFrame(const uint8_t *bytes, size_t n, SimFrame *f)
{
    *f = SimFrame();
    if (n < SIM_FRAME_REQUEST_HEADER)
        return SIM_FRAME_INCOMPLETE;
    uint32_t magic = FervLoad32(bytes), version = FervLoad32(bytes + 4);
    f->code = FervLoad32(bytes + 8);
    f->inSize = FervLoad32(bytes + 12);
    f->outSize = FervLoad32(bytes + 16);
    if (magic != SIM_FRAME_MAGIC || version != SIM_FRAME_VERSION || f->inSize > FERV_SIZE_LIMIT ||
        f->outSize > FERV_SIZE_LIMIT)
        return SIM_FRAME_MALFORMED;
    f->size = (size_t)SIM_FRAME_REQUEST_HEADER + f->inSize;
    if (n < f->size)
        return SIM_FRAME_INCOMPLETE;
    f->body = bytes + SIM_FRAME_REQUEST_HEADER;
    return SIM_FRAME_READY;
}

void SimWriteReplyHeader(uint8_t *header, uint32_t type, uint32_t error, uint32_t information)
{
    FervStore32(header + 0, SIM_FRAME_MAGIC);
    FervStore32(header + 4, type);
    FervStore32(header + 8, error);
    FervStore32(header + 12, information);
    FervStore32(header + 16, 0);
}
