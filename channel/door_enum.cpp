// The door of interface enumeration: every present interface of the
// driver's class, opened in enumeration order.
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "channel_core.h"
#include "console/ferv_console.h"
#include "proto/ferv_proto.h"

static const GUID interfaceClass = FERV_INTERFACE_CLASS_GUID_INIT;

// A detail record must hold at least its cbSize and the terminator of an
// empty path; anything smaller cannot be handed to the platform safely.
static const DWORD detailSizeMinimum =
    (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + sizeof(CHAR));
// No device path comes near this; a larger size is taken as nonsense rather
// than allocated.
static const DWORD detailSizeLimit = 65536;

static void FreeNode(DriverHandleNode *node)
{
    free(node->pDetail);
    free(node);
}

// Fetches the detail of the interface at `index` into a new node and opens
// its device path. Returns the node, or null when the interface is skipped.
static DriverHandleNode *OpenInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *data, DWORD index)
{
    DWORD required = 0;
    // Only the size is wanted here; the call fails by design.
    SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &required, nullptr);
    if (required < detailSizeMinimum || required > detailSizeLimit)
        return nullptr;

    DriverHandleNode *node = (DriverHandleNode *)calloc(1, sizeof *node);
    if (!node)
        return nullptr;
    DWORD detailSize = required;
    node->pDetail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)calloc(1, detailSize);
    if (!node->pDetail) {
        free(node);
        return nullptr;
    }
    node->pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);

    if (!SetupDiGetDeviceInterfaceDetailA(set, data, node->pDetail, detailSize, &required, nullptr)) {
        FervPrintDiagnostic("UtilEnumerateDeviceInterfaces", "SetupDiGetInterfaceDeviceDetail Failed!");
        FreeNode(node);
        return nullptr;
    }
    // The path is opened as a C string: make sure it ends inside the buffer.
    ((char *)node->pDetail)[detailSize - 1] = '\0';

    node->memberIndex = index;
    node->hDevice = CreateFileA(node->pDetail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (node->hDevice == INVALID_HANDLE_VALUE) {
        FervPrintDiagnostic("UtilEnumerateDeviceInterfaces", "CreateFile Failed!");
        FreeNode(node);
        return nullptr;
    }
    return node;
}

DriverHandleNode *UtilEnumerateDeviceInterfaces(void)
{
    HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        FervPrintDiagnostic(__func__, "SetupDiGetClassDevs Failed: %x", (unsigned)GetLastError());
        return nullptr;
    }

    SP_DEVICE_INTERFACE_DATA data;
    memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;

    DriverHandleNode *head = nullptr;
    DriverHandleNode *tail = nullptr;
    // Any enumeration failure ends discovery: after ERROR_NO_MORE_ITEMS
    // there is nothing more, and after another error retrying the same
    // index could go on for ever.
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data); index++) {
        DriverHandleNode *node = OpenInterface(set, &data, index);
        if (!node)
            continue;
        if (tail)
            tail->next = node;
        else
            head = node;
        tail = node;
    }

    SetupDiDestroyDeviceInfoList(set);
    return head;
}
