// The door of the control device: the driver's one fixed, named device,
// opened on the first request and kept until a request is refused on it.
#include <stdlib.h>

#include "channel_core.h"
#include "proto/ferv_proto.h"

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
    node->hDevice = device;
    return node;
}
