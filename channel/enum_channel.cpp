// The request channel of fervadm: discovery of the driver's device
// interfaces, the process-wide list of their handles, and the send routine
// that tries them in order.
#include "enum_channel.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "channel_send.h"
#include "ferv_channel.h"
#include "platform/ferv_console.h"

const GUID FervInterfaceClassGuid = {0xa8987d25, 0xdf6e, 0x4a51, {0x97, 0x27, 0x49, 0xfb, 0x6f, 0x14, 0x79, 0xa2}};

DriverHandleNode *DriverHandleList = NULL;

// A detail record must hold at least its cbSize and the terminator of an
// empty path; anything smaller cannot be handed to the platform safely.
static const DWORD detailSizeMinimum = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + sizeof(CHAR));
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
    SetupDiGetDeviceInterfaceDetailA(set, data, NULL, 0, &required, NULL);
    if (required < detailSizeMinimum || required > detailSizeLimit)
        return NULL;

    DriverHandleNode *node = (DriverHandleNode *)calloc(1, sizeof *node);
    if (!node)
        return NULL;
    DWORD detailSize = required;
    node->pDetail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)calloc(1, detailSize);
    if (!node->pDetail) {
        free(node);
        return NULL;
    }
    node->pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);

    if (!SetupDiGetDeviceInterfaceDetailA(set, data, node->pDetail, detailSize, &required, NULL)) {
        FervPrint("FervLib (WIN32) - UtilEnumerateDeviceInterfaces: SetupDiGetInterfaceDeviceDetail Failed!\n");
        FreeNode(node);
        return NULL;
    }
    // The path is opened as a C string: make sure it ends inside the buffer.
    ((char *)node->pDetail)[detailSize - 1] = '\0';

    node->memberIndex = index;
    node->hDevice = CreateFileA(node->pDetail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, NULL);
    if (node->hDevice == INVALID_HANDLE_VALUE) {
        FervPrint("FervLib (WIN32) - UtilEnumerateDeviceInterfaces: CreateFile Failed!\n");
        FreeNode(node);
        return NULL;
    }
    return node;
}

DriverHandleNode *UtilEnumerateDeviceInterfaces(void)
{
    HDEVINFO set = SetupDiGetClassDevsA(&FervInterfaceClassGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        FervPrint("FervLib (WIN32) - UtilEnumerateDeviceInterfaces: SetupDiGetClassDevs Failed: %x\n",
                  (unsigned)GetLastError());
        return NULL;
    }

    SP_DEVICE_INTERFACE_DATA data;
    memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;

    DriverHandleNode *head = NULL;
    DriverHandleNode *tail = NULL;
    // Any enumeration failure ends discovery: after ERROR_NO_MORE_ITEMS
    // there is nothing more, and after another error retrying the same
    // index could go on for ever.
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, NULL, &FervInterfaceClassGuid, index, &data); index++) {
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

// Takes the head node off the list, closes its handle and frees it.
static void DropHead(void)
{
    DriverHandleNode *node = DriverHandleList;
    DriverHandleList = node->next;
    CloseHandle(node->hDevice);
    FreeNode(node);
}

FERV_STATUS SendReqToDriver(uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize, void *outBuffer,
                            uint32_t outBufferSize)
{
    return ChannelSendRequest(UtilEnumerateDeviceInterfaces, DropHead, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize);
}

void DriverHandleListResetForTest(void)
{
    while (DriverHandleList)
        DropHead();
}
