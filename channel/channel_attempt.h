// One attempt of a request on one driver handle, shared by both channels.
//
// The attempt loop around it (which handle, when to drop it, what to return)
// belongs to each channel's SendReqToDriver; this file only knows how a
// single DeviceIoControl on a handle ends and prints the line for each way
// it can fail. Included by exactly one source file per channel.
#ifndef FERV_CHANNEL_ATTEMPT_H
#define FERV_CHANNEL_ATTEMPT_H

#include <stdint.h>

#include "platform/ferv_console.h"
#include "platform/ferv_platform.h"

enum ChannelAttemptResult {
    CHANNEL_ATTEMPT_DONE,              // the request completed on this handle
    CHANNEL_ATTEMPT_COMPLETION_FAILED, // pended, but its wait or completion failed
    CHANNEL_ATTEMPT_HANDLE_FAILED      // refused outright: the handle is no good
};

// Sends the request on hDevice with the caller's OVERLAPPED record (its event
// set) and, when the driver pends it, waits without a time limit for it to
// complete. Prints the failure line of the way it failed, if it did.
// Returns: how the attempt ended. The buffers hold the reply only on DONE.
static inline ChannelAttemptResult ChannelAttempt(HANDLE hDevice, uint32_t ioControlCode, void *inBuffer,
                                                  uint32_t inBufferSize, void *outBuffer,
                                                  uint32_t outBufferSize, OVERLAPPED *overlapped)
{
    DWORD bytes = 0;
    if (DeviceIoControl(hDevice, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize, &bytes,
                        overlapped))
        return CHANNEL_ATTEMPT_DONE;

    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        FervPrint("FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: %08X\n", (unsigned)error);
        return CHANNEL_ATTEMPT_HANDLE_FAILED;
    }

    // The driver holds the request (a change wait may take hours): show
    // everything printed so far before blocking.
    FervFlush();
    DWORD waited = WaitForSingleObject(overlapped->hEvent, INFINITE);
    if (waited != WAIT_OBJECT_0) {
        FervPrint("FervLib (WIN32) - SendReqToDriver: Unexpected result from Wait!: %08X\n", (unsigned)waited);
        return CHANNEL_ATTEMPT_COMPLETION_FAILED;
    }
    if (!GetOverlappedResult(hDevice, overlapped, &bytes, FALSE)) {
        FervPrint("FervLib (WIN32) - SendReqToDriver: Error in GetOverlappedResult: %08X\n",
                  (unsigned)GetLastError());
        return CHANNEL_ATTEMPT_COMPLETION_FAILED;
    }
    return CHANNEL_ATTEMPT_DONE;
}

#endif
