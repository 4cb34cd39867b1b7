// The request channel as the library sees it: one routine that moves a
// request to the driver and back. Two implementations exist, one per program,
// chosen at link time: interface enumeration (fervadm) and the fixed control
// device (fervadmctl).
#ifndef FERV_CHANNEL_H
#define FERV_CHANNEL_H

#include <stdint.h>

#include "../lib/fervlib.h"

// Sends one device control request with inBuffer/outBuffer (the library
// passes the same buffer twice) and blocks, without a time limit, until it
// completes.
// Returns: 0 when the request completed on a driver handle (the reply's
// status word then carries the driver's verdict); 10 when it failed in the
// I/O layer; 11 when there is no driver handle or no completion event.
FERV_STATUS SendReqToDriver(uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize,
                            void *outBuffer, uint32_t outBufferSize);

#endif
