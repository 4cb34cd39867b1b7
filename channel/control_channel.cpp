// The request channel of fervadmctl: the driver's fixed control device,
// opened on the first request and kept until a request is refused on it.
#include "control_channel.h"

#include <stdlib.h>
#include <string.h>

#include "channel_send.h"
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
    return ChannelSendRequest(OpenControlDevice, DropHead, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize);
}

void DriverHandleListResetForTest(void)
{
    while (DriverHandleList)
        DropHead();
}
