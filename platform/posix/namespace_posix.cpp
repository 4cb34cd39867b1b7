// Root directory and name rules of the POSIX device namespace. This is the
// only place besides the emulator where the namespace's environment
// variables are read; the library and the front end read no environment.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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

bool PosixMayServe(uid_t owner)
{
    return owner == 0 || owner == getuid() || owner == geteuid();
}

// One folder on the way to a socket: see PosixCheckFolders.
static DWORD CheckFolder(const char *folder)
{
    struct stat status;
    if (lstat(folder, &status) != 0)
        return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND
               : errno == ENOMEM                   ? ERROR_NOT_ENOUGH_MEMORY
                                                   : ERROR_ACCESS_DENIED;
    if (S_ISLNK(status.st_mode))
        return ERROR_ACCESS_DENIED;
    if (!S_ISDIR(status.st_mode))
        return ERROR_FILE_NOT_FOUND;
    if (!PosixMayServe(status.st_uid))
        return ERROR_ACCESS_DENIED;
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return ERROR_ACCESS_DENIED;
    return 0;
}

DWORD PosixCheckFolders(const char *folder)
{
    char *root = PosixDeviceRoot();
    if (root == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD error = PosixCheckFoldersUnder(root, folder);
    free(root);
    return error;
}

DWORD PosixCheckFoldersUnder(const char *root, const char *folder)
{
    size_t rootLength = strlen(root);
    while (rootLength > 1 && root[rootLength - 1] == '/')
        rootLength--;
    size_t folderLength = strlen(folder);
    bool inRoot =
        strncmp(folder, root, rootLength) == 0 && (folder[rootLength] == '\0' || folder[rootLength] == '/');
    char *prefix = (char *)malloc(folderLength + 1);
    if (prefix == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD error = 0;
    // From R down: each prefix that ends where a '/' follows, then the folder.
    size_t from = inRoot ? rootLength : folderLength;
    for (size_t end = from; error == 0 && end <= folderLength; end++) {
        if (end < folderLength && folder[end] != '/')
            continue;
        if (end > 0 && folder[end - 1] == '/' && end != folderLength)
            continue; // a doubled slash names no new folder
        memcpy(prefix, folder, end);
        prefix[end] = '\0';
        error = CheckFolder(end == 0 ? "/" : prefix);
    }
    free(prefix);
    return error;
}

void PosixFormatGuid(const GUID *guid, char text[39])
{
    snprintf(text, 39, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)guid->Data1,
             (unsigned)guid->Data2, (unsigned)guid->Data3, guid->Data4[0], guid->Data4[1], guid->Data4[2],
             guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6], guid->Data4[7]);
}
