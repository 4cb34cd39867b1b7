// The tables of facts every part of the library shares, and its users with
// it: status messages, control-code names, path-state names, and text-field
// lengths.
#include "fervlib.h"

#include <string.h>

static const char *const statusMessages[] = {
    "The operation completed successfully.",
    "The operation contained an invalid parameter.",
    "An I/O error occurred during the operation.",
    "The operation did not complete within the specified time.",
    "The specified HBA could not be found or does not exist.",
    "The specified device could not be found or does not exist.",
    "The specified LUN could not be found or does not exist.",
    "The specified path could not be found or does not exist.",
    "The specified device was busy and could not accept the request.",
    "The host OS has no memory left to allocate.",
    "An internal error was encountered during the operation.",
    "No supported devices were detected.",
    "There are no alternate paths available to the device.",
    "The specified path could not be enabled.",
    "The specified path is already the active path.",
    "The specified path is down or offline and is currently not available.",
    "The selection of the specified path failed.",
    "An invalid state change was detected for the specified path.",
    "The primary path is down or offline and is currently not available.",
    "An illegal or out of range command was specified.",
    "The specified SCSI pass through command failed.",
    "The buffer specified was too small for the operation.",
    "The restore operation failed.",
};
static_assert(sizeof statusMessages / sizeof statusMessages[0] == FERV_STATUS_COUNT, "one message per status code");

const char *FervStatusMessage(FERV_STATUS code)
{
    return code < FERV_STATUS_COUNT ? statusMessages[code] : nullptr;
}

// Indexed by function number - 0x801; the two unused functions have no name.
static const char *const controlCodeNames[] = {
    "IOCTL_FERV_GET_ALL_HBAS",
    "IOCTL_FERV_GET_ALL_DEVICES",
    "IOCTL_FERV_GET_DEVICE_INFO",
    "IOCTL_FERV_GET_LUN_INFO",
    "IOCTL_FERV_GET_PATH_INFO",
    "IOCTL_FERV_ISSUE_PATH_CMD",
    "IOCTL_FERV_ISSUE_LUN_CMD",
    "IOCTL_FERV_ISSUE_DEVICE_CMD",
    nullptr, // 0x809
    "IOCTL_FERV_GET_PUBLIC_PARAMETERS",
    "IOCTL_FERV_SET_PUBLIC_PARAMETERS",
    nullptr, // 0x80C
    "IOCTL_FERV_SET_PRIVATE_PARAMETERS",
    "IOCTL_FERV_GET_PATH_STATS",
    "IOCTL_FERV_GET_LUN_STATS",
    "IOCTL_FERV_WAIT_FOR_CHANGE",
};
static_assert(sizeof controlCodeNames / sizeof controlCodeNames[0] == 0x810 - 0x801 + 1,
              "one slot per function number");

const char *FervControlCodeName(uint32_t ioControlCode)
{
    if ((ioControlCode & 3u) != 0 || ioControlCode < IOCTL_FERV_GET_ALL_HBAS ||
        ioControlCode > IOCTL_FERV_WAIT_FOR_CHANGE)
        return nullptr;
    return controlCodeNames[(ioControlCode - IOCTL_FERV_GET_ALL_HBAS) >> 2];
}

static const char *const pathStateNames[] = {
    "unknown", "down", "up_active", "up_standby", "admin", "transition",
};
static_assert(sizeof pathStateNames / sizeof pathStateNames[0] == FERV_PATH_STATE_COUNT, "one name per path state");

const char *FervPathStateName(uint32_t state)
{
    return state < FERV_PATH_STATE_COUNT ? pathStateNames[state] : nullptr;
}

size_t FervTextLength(const char *text, size_t span)
{
    const void *end = memchr(text, 0, span);
    return end ? (size_t)((const char *)end - text) : span;
}
