// Inside the channel: the process-wide list of open driver handles that the
// send core tries in turn, and the doors that fill it. Tests include this
// header to look at the list.
#ifndef FERV_CHANNEL_CORE_H
#define FERV_CHANNEL_CORE_H

#include <stdint.h>

#include "platform/ferv_platform.h"

// One open handle of the driver.
struct DriverHandleNode {
    DriverHandleNode *next;
    uint32_t memberIndex; // enumeration index it was found under; 0 for the control device
    HANDLE hDevice;       // opened for overlapped reading and writing
    // The interface's device path, owned by the node; null for the control
    // device.
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail;
};

// Head of the list, null while it is empty. Nodes stand in the order their
// door opened them and leave only from the head. Only SendReqToDriver (and
// the reset for tests) changes it.
extern DriverHandleNode *DriverHandleList;

// The doors. Each opens every handle it offers, in order.
// Returns: the head of a new list the caller owns, or null when no handle
// could be opened. Touches no existing list.
//
// Interface enumeration: every present interface of the driver's class,
// skipping (with a line) those that cannot be detailed or opened.
DriverHandleNode *UtilEnumerateDeviceInterfaces(void);
// The control device: its one handle. Prints nothing.
DriverHandleNode *OpenControlDevice(void);

// The door the send core opens when the list is empty. Each variant of the
// channel defines it once.
DriverHandleNode *ChannelOpenDoor(void);

// Closes every handle of the list, frees it and leaves it empty: the next
// request opens the door again.
void DriverHandleListClear(void);

#endif
