// What the files of the POSIX platform layer share among themselves: the
// root and name rules of the device namespace, and the tags that tell the
// layer's handle objects apart. Nothing outside platform/posix and its tests
// includes this header, but the Wine bridge (tools/fervbridge), which must
// find a root and check the folders in it exactly as a POSIX program does.
#ifndef FERV_POSIX_INTERNAL_H
#define FERV_POSIX_INTERNAL_H

#include <sys/types.h>

#include "platform/ferv_platform.h"

// Win32 codes the layer reports that the shared seam header does not name.
#define POSIX_ERROR_BUSY 170u
#define POSIX_ERROR_FILENAME_EXCED_RANGE 206u
#define POSIX_WAIT_TIMEOUT 0x00000102u

// First word of every object behind a HANDLE or HDEVINFO, so that a call
// given the wrong kind of handle fails with ERROR_INVALID_HANDLE instead of
// misreading memory. A freed object has its tag cleared first.
enum {
    POSIX_TAG_DEVICE = 0x56454446u,  // "FDEV"
    POSIX_TAG_EVENT = 0x54564546u,   // "FEVT"
    POSIX_TAG_DEVINFO = 0x49564446u, // "FDVI"
    POSIX_TAG_FREED = 0
};

// Works out the root directory R of the namespace: FERV_DEVICE_ROOT when set
// and not empty, else $XDG_RUNTIME_DIR/ferv when XDG_RUNTIME_DIR is set and
// not empty, else /tmp/ferv-<uid>. A relative root is made absolute against
// the working directory, so that device paths handed out are absolute.
// Returns: a heap string the caller frees, or null (last error set to
// ERROR_NOT_ENOUGH_MEMORY) when memory runs out.
char *PosixDeviceRoot(void);

// Joins two path parts with one '/' between them.
// Returns: a heap string the caller frees, or null (last error set to
// ERROR_NOT_ENOUGH_MEMORY).
char *PosixJoinPath(const char *head, const char *tail);

// Maps a name given to CreateFileA to a socket path: "\\.\NAME" to R/NAME,
// any other name without a backslash to itself. A device name that is empty,
// holds '/' or '\', or is "." or "..", would leave R or name nothing, and is
// no device: so is any other name with a backslash.
// Returns: a heap string the caller frees, or null with the last error set
// (ERROR_FILE_NOT_FOUND for a name that is no device, ERROR_NOT_ENOUGH_MEMORY).
char *PosixSocketPathForName(const char *name);

// Whether the user owner (of a socket, of a folder on the way to one, or at
// the other end of a connection) may stand in the driver's place: only the
// caller and root may. Another user's socket or folder in a shared
// directory could otherwise pose as the driver.
bool PosixMayServe(uid_t owner);

// Checks the folders on the way to a socket before anything in them is
// believed: when folder lies in the root R, R and every folder from it down
// to folder; otherwise folder alone. Each must be a real folder (no symbolic
// link) of the caller or of root that neither group nor others may write
// to: another user could otherwise have planted it, or put a socket of
// theirs, or a link to one, in it.
// Returns: 0; ERROR_FILE_NOT_FOUND when one is missing or not a folder;
// ERROR_ACCESS_DENIED when one breaks the rules; ERROR_NOT_ENOUGH_MEMORY.
DWORD PosixCheckFolders(const char *folder);

// The same with the root given: what a program whose root is `root` would
// check (the Wine bridge serves one root after another from one process).
DWORD PosixCheckFoldersUnder(const char *root, const char *folder);

// Writes a GUID as lower-case text with braces, 38 characters and a
// terminator, the way interface class directories are named.
void PosixFormatGuid(const GUID *guid, char text[39]);

#endif
