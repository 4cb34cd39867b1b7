// The request channel as the library sees it: one routine that moves a
// request to the driver and back. The variants differ only in the door they
// reach the driver through, chosen when the program is linked: interface
// enumeration (fervadm), the fixed control device (fervadmctl), or either,
// chosen at run time (ferv_channel_select.h).
#ifndef FERV_CHANNEL_H
#define FERV_CHANNEL_H

#include <stdint.h>

// How a request fared in the channel. The library turns each into its own
// status code; the channel has already printed a line for each step that
// failed.
typedef enum FervChannelResult {
    FERV_CHANNEL_DONE = 0,  // completed on a driver handle: the reply's status word has the driver's verdict
    FERV_CHANNEL_IO_FAILED, // every handle refused it, or its completion failed
    FERV_CHANNEL_NO_DRIVER, // no driver handle could be had
    FERV_CHANNEL_NO_EVENT   // the completion event could not be made
} FervChannelResult;

// Sends one device control request with inBuffer/outBuffer (the library
// passes the same buffer twice) and blocks, without a time limit, until it
// completes. A handle that refuses a request outright is dropped and the
// next one of the list tried; a request that got through is never sent again.
// Returns: how the request fared; the buffers hold the reply only on DONE.
FervChannelResult SendReqToDriver(uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize, void *outBuffer,
                                  uint32_t outBufferSize);

#endif
