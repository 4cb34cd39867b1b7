// Device-interface enumeration over the POSIX device namespace.
//
// The interfaces of class {guid} are the entries of R/interfaces/{guid}/.
// SetupDiGetClassDevsA takes a snapshot of that directory, sorted by the
// bytes of the entry names, as Win32 takes a snapshot of the present
// interfaces: entries that come or go later do not change an open set.
// Member index i is the i-th entry. Entries that are not sockets are listed
// all the same; opening them fails later.
#include <dirent.h>
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "platform/posix/posix_internal.h"
#include "proto/ferv_proto.h"

#define SPINT_ACTIVE 0x00000001u

struct PosixDevInfoSet {
    uint32_t tag; // POSIX_TAG_DEVINFO
    GUID classGuid;
    char *classDir; // absolute path of R/interfaces/{guid}
    char **names;   // entry names, sorted by their bytes
    DWORD count;
};

static PosixDevInfoSet *AsDevInfoSet(HDEVINFO handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    PosixDevInfoSet *set = (PosixDevInfoSet *)handle;
    return set->tag == POSIX_TAG_DEVINFO ? set : nullptr;
}

static void FreeDevInfoSet(PosixDevInfoSet *set)
{
    for (DWORD i = 0; i < set->count; i++)
        free(set->names[i]);
    free(set->names);
    free(set->classDir);
    set->tag = POSIX_TAG_FREED;
    free(set);
}

static int CompareNames(const void *a, const void *b)
{
    // strcmp orders by unsigned byte values, which is the order wanted.
    return strcmp(*(char *const *)a, *(char *const *)b);
}

// Reads the entry names of dir into set, leaving "." and "..".
// Returns 0, or the Win32 error that stops the enumeration. A directory that
// does not exist is an empty class, not an error.
static DWORD ReadClassDirectory(PosixDevInfoSet *set)
{
    DIR *dir = opendir(set->classDir);
    if (dir == nullptr) {
        if (errno == ENOENT || errno == ENOTDIR)
            return 0;
        return (errno == EACCES || errno == EPERM) ? ERROR_ACCESS_DENIED
               : errno == ENOMEM                   ? ERROR_NOT_ENOUGH_MEMORY
                                                   : ERROR_GEN_FAILURE;
    }
    DWORD capacity = 0;
    DWORD error = 0;
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(dir);
        if (entry == nullptr) {
            if (errno != 0)
                error = ERROR_GEN_FAILURE;
            break;
        }
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        if (set->count == capacity) {
            DWORD grown = capacity == 0 ? 8 : capacity * 2;
            char **names = (char **)realloc(set->names, grown * sizeof *names);
            if (names == nullptr) {
                error = ERROR_NOT_ENOUGH_MEMORY;
                break;
            }
            set->names = names;
            capacity = grown;
        }
        size_t length = strlen(entry->d_name) + 1;
        char *name = (char *)malloc(length);
        if (name == nullptr) {
            error = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        memcpy(name, entry->d_name, length);
        set->names[set->count++] = name;
    }
    closedir(dir);
    if (error == 0 && set->count > 1)
        qsort(set->names, set->count, sizeof *set->names, CompareNames);
    return error;
}

// Opens the set of interfaces of one class. Only device-interface sets exist
// here (DIGCF_DEVICEINTERFACE); every interface in the namespace counts as
// present. No interface has a PnP enumerator, so naming one gives an empty set.
// Returns: the set, or INVALID_HANDLE_VALUE with the last error set
// (ERROR_INVALID_PARAMETER, ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY,
// ERROR_GEN_FAILURE).
HDEVINFO SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    (void)hwndParent;
    if (ClassGuid == nullptr || (Flags & DIGCF_DEVICEINTERFACE) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    PosixDevInfoSet *set = (PosixDevInfoSet *)calloc(1, sizeof *set);
    if (set == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    set->tag = POSIX_TAG_DEVINFO;
    set->classGuid = *ClassGuid;

    char *root = PosixDeviceRoot();
    char *interfaces = root != nullptr ? PosixJoinPath(root, FERV_INTERFACES_DIR) : nullptr;
    char guidText[39];
    PosixFormatGuid(ClassGuid, guidText);
    set->classDir = interfaces != nullptr ? PosixJoinPath(interfaces, guidText) : nullptr;
    free(interfaces);
    free(root);
    if (set->classDir == nullptr) {
        FreeDevInfoSet(set);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }

    if (Enumerator == nullptr) {
        // A class folder that another user could have planted is refused;
        // one that is missing is an empty class, as before.
        DWORD error = PosixCheckFolders(set->classDir);
        if (error == ERROR_FILE_NOT_FOUND)
            return (HDEVINFO)set;
        if (error == 0)
            error = ReadClassDirectory(set);
        if (error != 0) {
            FreeDevInfoSet(set);
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
    }
    return (HDEVINFO)set;
}

// Fills DeviceInterfaceData for member MemberIndex of the set. The record's
// Reserved word remembers the member for SetupDiGetDeviceInterfaceDetailA.
// Returns: TRUE; FALSE with ERROR_NO_MORE_ITEMS past the last member or for
// another class, ERROR_INVALID_HANDLE for a bad set, ERROR_INVALID_USER_BUFFER
// when the record's cbSize is wrong, ERROR_INVALID_PARAMETER for a missing
// argument or a device record (the sets here hold no devices to filter by).
// The record is left untouched on failure.
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    PosixDevInfoSet *set = AsDevInfoSet(DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr || DeviceInfoData != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (memcmp(InterfaceClassGuid, &set->classGuid, sizeof(GUID)) != 0 || MemberIndex >= set->count) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DeviceInterfaceData->InterfaceClassGuid = set->classGuid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = (ULONG_PTR)MemberIndex + 1;
    return TRUE;
}

// Gives the device path of one interface: the absolute path of its entry.
// The required size is the size of the detail record plus the path and its
// terminator; it is stored in *RequiredSize whenever the interface is known,
// also when the buffer is too small.
// Returns: TRUE; FALSE with ERROR_INSUFFICIENT_BUFFER when the buffer is
// smaller than the required size (nothing written to it),
// ERROR_INVALID_USER_BUFFER when a record's cbSize is wrong or a buffer
// length is given without a buffer, ERROR_INVALID_HANDLE for a bad set,
// ERROR_INVALID_PARAMETER for an interface record not from this set.
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    PosixDevInfoSet *set = AsDevInfoSet(DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->Reserved == 0 ||
        DeviceInterfaceData->Reserved > set->count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailData == nullptr
            ? DeviceInterfaceDetailDataSize != 0
            : (DeviceInterfaceDetailDataSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
               DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }

    DWORD member = (DWORD)(DeviceInterfaceData->Reserved - 1);
    const char *name = set->names[member];
    size_t dirLength = strlen(set->classDir);
    size_t nameLength = strlen(name);
    size_t pathLength = dirLength + 1 + nameLength;
    size_t required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + pathLength + 1;
    if (required > 0xFFFFFFFFu) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (RequiredSize != nullptr)
        *RequiredSize = (DWORD)required;
    if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }

    // The path runs past the declared one-character array, into the space
    // the caller allocated after the record.
    char *path = (char *)DeviceInterfaceDetailData + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    memcpy(path, set->classDir, dirLength);
    path[dirLength] = '/';
    memcpy(path + dirLength + 1, name, nameLength + 1);
    if (DeviceInfoData != nullptr) {
        // Each interface stands for a device instance of its own.
        DeviceInfoData->ClassGuid = set->classGuid;
        DeviceInfoData->DevInst = member + 1;
        DeviceInfoData->Reserved = 0;
    }
    return TRUE;
}

// Releases a set.
// Returns: TRUE; FALSE with ERROR_INVALID_HANDLE for anything but a set.
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    PosixDevInfoSet *set = AsDevInfoSet(DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    FreeDevInfoSet(set);
    return TRUE;
}
