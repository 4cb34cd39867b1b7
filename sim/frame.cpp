// Request frames.
#include "sim/frame.h"

#include "proto/ferv_proto.h"

SimFrameStatus SimReadFrame(const uint8_t *bytes, size_t n, SimFrame *f)
{
    *f = SimFrame();
    if (n < FERV_FRAME_REQ_HEADER_SIZE)
        return SIM_FRAME_INCOMPLETE;
    if (!FervFrameRequestIsValid(bytes))
        return SIM_FRAME_MALFORMED;
    f->code = FervLoad32(bytes + FERV_FRAME_REQ_CODE);
    f->inSize = FervLoad32(bytes + FERV_FRAME_REQ_IN_SIZE);
    f->outSize = FervLoad32(bytes + FERV_FRAME_REQ_OUT_SIZE);
    f->size = (size_t)FERV_FRAME_REQ_HEADER_SIZE + f->inSize;
    if (n < f->size)
        return SIM_FRAME_INCOMPLETE;
    f->body = bytes + FERV_FRAME_REQ_HEADER_SIZE;
    return SIM_FRAME_READY;
}
