// The send core every variant of the channel shares: the process-wide list
// of driver handles, one attempt of a request on one handle, and the loop
// that tries the handles of the list in turn. Only the door that fills an
// empty list differs between the variants.
#include "channel_core.h"

#include <stdlib.h>
#include <string.h>

#include "console/ferv_console.h"
#include "ferv_channel.h"

DriverHandleNode *DriverHandleList = nullptr;

enum ChannelAttemptResult {
    CHANNEL_ATTEMPT_DONE,              // the request completed on this handle
    CHANNEL_ATTEMPT_COMPLETION_FAILED, // pended, but its wait or completion failed
    CHANNEL_ATTEMPT_HANDLE_FAILED      // refused outright: the handle is no good
};

// Sends the request on hDevice with the caller's OVERLAPPED record (its event
// set) and, when the driver pends it, waits without a time limit for it to
// complete. Prints the failure line of the way it failed, if it did.
// Returns: how the attempt ended. The buffers hold the reply only on DONE.
static ChannelAttemptResult ChannelAttempt(HANDLE hDevice, uint32_t ioControlCode, void *inBuffer,
                                           uint32_t inBufferSize, void *outBuffer, uint32_t outBufferSize,
                                           OVERLAPPED *overlapped)
{
    DWORD bytes = 0;
    if (DeviceIoControl(hDevice, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize, &bytes,
                        overlapped))
        return CHANNEL_ATTEMPT_DONE;

    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        FervPrintDiagnostic("SendReqToDriver", "Error in DeviceIoControl!: %08X", (unsigned)error);
        return CHANNEL_ATTEMPT_HANDLE_FAILED;
    }

    // The driver holds the request (a change wait may take hours): show
    // everything printed so far before blocking.
    FervFlush();
    DWORD waited = WaitForSingleObject(overlapped->hEvent, INFINITE);
    if (waited != WAIT_OBJECT_0) {
        FervPrintDiagnostic("SendReqToDriver", "Unexpected result from Wait!: %08X", (unsigned)waited);
        return CHANNEL_ATTEMPT_COMPLETION_FAILED;
    }
    if (!GetOverlappedResult(hDevice, overlapped, &bytes, FALSE)) {
        FervPrintDiagnostic("SendReqToDriver", "Error in GetOverlappedResult: %08X", (unsigned)GetLastError());
        return CHANNEL_ATTEMPT_COMPLETION_FAILED;
    }
    return CHANNEL_ATTEMPT_DONE;
}

// Takes the head node off the list, closes its handle and frees it.
static void DropHead(void)
{
    DriverHandleNode *node = DriverHandleList;
    DriverHandleList = node->next;
    CloseHandle(node->hDevice);
    free(node->pDetail);
    free(node);
}

FervChannelResult SendReqToDriver(uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize, void *outBuffer,
                                  uint32_t outBufferSize)
{
    // The list is filled first, so the door is opened even when the event
    // cannot be made.
    if (!DriverHandleList)
        DriverHandleList = ChannelOpenDoor();

    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!event) {
        FervPrintDiagnostic(__func__, "Error in CreateEvent: %08X", (unsigned)GetLastError());
        return FERV_CHANNEL_NO_EVENT;
    }
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;

    // No handle: nothing is printed here. The door has printed a line for
    // each step that failed; the calling library function reports the rest.
    FervChannelResult result = DriverHandleList ? FERV_CHANNEL_IO_FAILED : FERV_CHANNEL_NO_DRIVER;

    // A handle that refuses the request outright is dropped and the next one
    // tried; a request that got through on a handle is never sent again.
    while (DriverHandleList) {
        ChannelAttemptResult attempt = ChannelAttempt(DriverHandleList->hDevice, ioControlCode, inBuffer,
                                                      inBufferSize, outBuffer, outBufferSize, &overlapped);
        if (attempt == CHANNEL_ATTEMPT_DONE) {
            result = FERV_CHANNEL_DONE;
            break;
        }
        if (attempt == CHANNEL_ATTEMPT_COMPLETION_FAILED)
            break; // the handle is kept for the next request
        DropHead();
    }
    CloseHandle(event);
    return result;
}

void DriverHandleListClear(void)
{
    while (DriverHandleList)
        DropHead();
}
