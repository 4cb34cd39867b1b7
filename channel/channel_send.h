// The send routine both channels share: one attempt of a request on one
// driver handle, and the loop that tries the handles of the list in turn.
//
// What differs between the channels (how the list is filled, and what a node
// owns) stays in each channel; this file is included by exactly one source
// file per channel, after the header that declares that channel's
// DriverHandleNode and DriverHandleList.
#ifndef FERV_CHANNEL_SEND_H
#define FERV_CHANNEL_SEND_H

#include <stdint.h>
#include <string.h>

#include "ferv_channel.h"
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

// The body of SendReqToDriver. openList fills an empty list (discovery, or
// the control device); dropHead takes the head node off the list, closes its
// handle and frees it.
// Returns: 0 when the request completed on a handle; 10 when its completion
// failed or every handle refused it; 11 when no handle could be had or the
// completion event could not be made.
static inline FERV_STATUS ChannelSendRequest(DriverHandleNode *(*openList)(void), void (*dropHead)(void),
                                             uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize,
                                             void *outBuffer, uint32_t outBufferSize)
{
    // The list is filled first, so discovery runs even when the event
    // cannot be made.
    if (!DriverHandleList)
        DriverHandleList = openList();

    HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (!event) {
        FervPrint("FervLib (WIN32) - SendReqToDriver: Error in CreateEvent: %08X\n", (unsigned)GetLastError());
        return FERV_STATUS_NO_DEVICES;
    }
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;

    // No handle: nothing is printed here. Discovery has printed a line for
    // each step that failed; the calling library function reports the 11.
    FERV_STATUS status = FERV_STATUS_NO_DEVICES;
    if (DriverHandleList)
        status = FERV_STATUS_INTERNAL_ERROR;

    // A handle that refuses the request outright is dropped and the next one
    // tried; a request that got through on a handle is never sent again.
    while (DriverHandleList) {
        ChannelAttemptResult result = ChannelAttempt(DriverHandleList->hDevice, ioControlCode, inBuffer,
                                                     inBufferSize, outBuffer, outBufferSize, &overlapped);
        if (result == CHANNEL_ATTEMPT_DONE) {
            status = FERV_STATUS_SUCCESS;
            break;
        }
        if (result == CHANNEL_ATTEMPT_COMPLETION_FAILED)
            break; // the handle is kept for the next request
        dropHead();
    }
    CloseHandle(event);
    return status;
}

#endif
