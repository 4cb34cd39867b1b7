// The control-device channel of fervadmctl: one fixed, named control device
// in place of interface discovery. Internal to the channel; tests include it
// to look at the list.
#ifndef FERV_CONTROL_CHANNEL_H
#define FERV_CONTROL_CHANNEL_H

#include <stdint.h>

#include "platform/ferv_platform.h"

// The device namespace followed by the driver's control device name.
#define FERV_CONTROL_DEVICE_PATH "\\\\.\\ZEL_HA_CONTROL"

// The open control device. The list never holds more than this one node.
struct DriverHandleNode {
    DriverHandleNode *next; // always null
    uint32_t memberIndex;   // always 0
    HANDLE hDevice;
};

// Head of the process-wide list, null while the device is not open.
// Only SendReqToDriver changes it.
extern DriverHandleNode *DriverHandleList;

// Opens the control device for overlapped reading and writing. Prints nothing.
// Returns: a new one-node list the caller owns, or null when the device
// cannot be opened or the node cannot be allocated (no handle stays open).
DriverHandleNode *OpenControlDevice(void);

// For tests: closes the handle of the list, frees it and leaves it empty.
void DriverHandleListResetForTest(void);

#endif
