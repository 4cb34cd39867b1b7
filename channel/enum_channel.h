// The enumerating channel of fervadm: every present interface of the
// driver's class is opened, and a request goes to the first handle that
// accepts it. Internal to the channel; tests include it to look at the list.
#ifndef FERV_ENUM_CHANNEL_H
#define FERV_ENUM_CHANNEL_H

#include <stdint.h>

#include "platform/ferv_platform.h"

// One open interface of the driver.
struct DriverHandleNode {
    DriverHandleNode *next;
    uint32_t memberIndex;                       // enumeration index it was found under
    HANDLE hDevice;                             // opened for overlapped reading and writing
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail; // holds the device path; owned by the node
};

// The interface class the driver registers: {a8987d25-df6e-4a51-9727-49fb6f1479a2}.
extern const GUID FervInterfaceClassGuid;

// Head of the process-wide list of open driver handles, null while empty.
// Nodes stand in ascending memberIndex order and leave only from the head.
// Only SendReqToDriver changes it.
extern DriverHandleNode *DriverHandleList;

// Opens every present interface of FervInterfaceClassGuid, in enumeration
// order, skipping (with a line) those that cannot be detailed or opened.
// Returns: the head of a new list the caller owns, or null when no interface
// could be opened. Touches no existing list.
DriverHandleNode *UtilEnumerateDeviceInterfaces(void);

// For tests: closes every handle of the list, frees it and leaves it empty.
void DriverHandleListResetForTest(void);

#endif
