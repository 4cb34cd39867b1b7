// The door of the control device: the driver's one fixed, named device,
// opened on the first request and kept until a request is refused on it.
#include <stdlib.h>

#include "channel_core.h"
#include "proto/ferv_proto.h"

DriverHandleNode *OpenControlDevice(void)
{
    HANDLE device = CreateFileA(FERV_CONTROL_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return nullptr;
    DriverHandleNode *node = (DriverHandleNode *)calloc(1, sizeof *node);
    if (!node) {
        CloseHandle(device);
        return nullptr;
    }
    node->hDevice = device;
    return node;
}
