// The request channel of fervadmctl: the driver's fixed control device,
// opened on the first request and kept until a request is refused on it.
#include "control_channel.h"

#include <stdlib.h>
#include <string.h>

#include "channel_attempt.h"
#include "ferv_channel.h"
#include "platform/ferv_console.h"

DriverHandleNode *DriverHandleList = NULL;

DriverHandleNode *OpenControlDevice(void)
{
    HANDLE device = CreateFileA(FERV_CONTROL_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, NULL);
    if (device == INVALID_HANDLE_VALUE)
        return NULL;
    DriverHandleNode *node = (DriverHandleNode *)calloc(1, sizeof *node);
    if (!node) {
        CloseHandle(device);
        return NULL;
    }
    node->next = NULL;
    node->memberIndex = 0;
    node->hDevice = device;
    return node;
}

// Takes the node off the list, closes its handle and frees it.
static void DropHead(void)
{
    DriverHandleNode *node = DriverHandleList;
    DriverHandleList = node->next;
    CloseHandle(node->hDevice);
    free(node);
}

FERV_STATUS SendReqToDriver(uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize, void *outBuffer,
                            uint32_t outBufferSize)
{
    if (!DriverHandleList)
        DriverHandleList = OpenControlDevice();

    HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (!event) {
        FervPrint("FervLib (WIN32) - SendReqToDriver: Error in CreateEvent: %08X\n", (unsigned)GetLastError());
        return FERV_STATUS_NO_DEVICES;
    }
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;

    // An absent control device prints nothing here; the calling library
    // function reports the 11 in its own line.
    if (!DriverHandleList) {
        CloseHandle(event);
        return FERV_STATUS_NO_DEVICES;
    }

    while (DriverHandleList) {
        ChannelAttemptResult result = ChannelAttempt(DriverHandleList->hDevice, ioControlCode, inBuffer,
                                                     inBufferSize, outBuffer, outBufferSize, &overlapped);
        if (result == CHANNEL_ATTEMPT_DONE) {
            CloseHandle(event);
            return FERV_STATUS_SUCCESS;
        }
        if (result == CHANNEL_ATTEMPT_COMPLETION_FAILED) {
            CloseHandle(event);
            return FERV_STATUS_INTERNAL_ERROR;
        }
        // Refused outright: the list is empty now and the next request
        // opens the control device anew.
        DropHead();
    }
    CloseHandle(event);
    return FERV_STATUS_INTERNAL_ERROR;
}

void DriverHandleListResetForTest(void)
{
    while (DriverHandleList)
        DropHead();
}
