// Root directory and name rules of the POSIX device namespace. This is the
// only place besides the emulator where the namespace's environment
// variables are read; the library and the front end read no environment.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

static char *CopyText(const char *text)
{
    size_t n = strlen(text) + 1;
    char *copy = (char *)malloc(n);
    if (copy == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    memcpy(copy, text, n);
    return copy;
}

char *PosixJoinPath(const char *head, const char *tail)
{
    size_t headLength = strlen(head);
    size_t tailLength = strlen(tail);
    char *path = (char *)malloc(headLength + 1 + tailLength + 1);
    if (path == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    memcpy(path, head, headLength);
    path[headLength] = '/';
    memcpy(path + headLength + 1, tail, tailLength + 1);
    return path;
}

// Makes a path absolute against the working directory. Takes ownership of
// path (freed on every way out). Returns null when memory runs out or the
// working directory cannot be named.
static char *MakeAbsolute(char *path)
{
    if (path == nullptr || path[0] == '/')
        return path;
    char *cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
        free(path);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    char *absolute = PosixJoinPath(cwd, path);
    free(cwd);
    free(path);
    return absolute;
}

char *PosixDeviceRoot(void)
{
    const char *explicitRoot = getenv("FERV_DEVICE_ROOT");
    if (explicitRoot != nullptr && explicitRoot[0] != '\0')
        return MakeAbsolute(CopyText(explicitRoot));

    const char *runtimeDir = getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] != '\0')
        return MakeAbsolute(PosixJoinPath(runtimeDir, "ferv"));

    char fallback[64];
    snprintf(fallback, sizeof fallback, "/tmp/ferv-%lu", (unsigned long)getuid());
    return CopyText(fallback);
}

// "\\.\" opens the device namespace on Windows.
static const char DEVICE_PREFIX[] = "\\\\.\\";

char *PosixSocketPathForName(const char *name)
{
    size_t prefixLength = sizeof DEVICE_PREFIX - 1;
    if (strncmp(name, DEVICE_PREFIX, prefixLength) == 0) {
        const char *device = name + prefixLength;
        // A device name is one entry of R: nothing that climbs out of it.
        if (device[0] == '\0' || strcmp(device, ".") == 0 || strcmp(device, "..") == 0 ||
            strpbrk(device, "/\\") != nullptr) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        char *root = PosixDeviceRoot();
        if (root == nullptr)
            return nullptr;
        char *path = PosixJoinPath(root, device);
        free(root);
        return path;
    }
    // Other Win32 spellings (drive letters, UNC names, "\\?\") name nothing here.
    if (strchr(name, '\\') != nullptr || name[0] == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return CopyText(name);
}

void PosixFormatGuid(const GUID *guid, char text[39])
{
    snprintf(text, 39, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)guid->Data1,
             (unsigned)guid->Data2, (unsigned)guid->Data3, guid->Data4[0], guid->Data4[1], guid->Data4[2],
             guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6], guid->Data4[7]);
}
