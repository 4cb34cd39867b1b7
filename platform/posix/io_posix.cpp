// Opening a device and sending it requests, over the POSIX device namespace.
//
// A device handle is one connected Unix-domain stream socket. Each
// DeviceIoControl call sends one request frame and reads the server's first
// reply: COMPLETE settles the call at once, PENDING leaves the request
// outstanding until the COMPLETE reply is read by WaitForSingleObject or
// GetOverlappedResult. Nothing runs in the background: a pended request is
// only ever read by a call the caller makes, on the caller's thread.
//
// Everything the server sends is input. A reply that does not hold together
// (wrong magic, unknown type, more bytes than the caller's buffer holds, a
// cut-off body) breaks the connection: the call fails, the handle reports
// every later request as failed, and no byte of the caller's buffer changes.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"
#include "proto/ferv_proto.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 // SO_NOSIGPIPE on the socket does the job instead
#endif

#define ERROR_TOO_MANY_OPEN_FILES 4u

// OVERLAPPED.Internal while a request is outstanding and after it failed,
// as the Win32 kernel leaves it.
#define STATUS_PENDING 0x00000103u
#define STATUS_UNSUCCESSFUL 0xC0000001u

// ---- last error ---------------------------------------------------------------

static thread_local DWORD lastError;

// Returns the calling thread's last error code.
DWORD GetLastError(void)
{
    return lastError;
}

// Sets the calling thread's last error code.
void SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

// ---- handle objects -----------------------------------------------------------

struct PosixEvent;

enum RequestState {
    REQUEST_IDLE,    // no overlapped request to report on
    REQUEST_PENDING, // the server holds it; its COMPLETE reply is still to be read
    REQUEST_DONE     // settled; error and bytes hold the outcome
};

struct PosixDevice {
    uint32_t tag; // POSIX_TAG_DEVICE
    int fd;
    bool overlappedIo; // opened with FILE_FLAG_OVERLAPPED
    bool broken;       // the connection broke or carried a malformed reply
    RequestState state;
    LPOVERLAPPED overlapped; // record of the last overlapped request
    PosixEvent *event;       // signalled when the pended request settles
    uint8_t *outBuffer;      // where the pended request's reply goes
    DWORD outSize;
    DWORD error; // outcome of the last overlapped request, once settled
    DWORD bytes;
};

struct PosixEvent {
    uint32_t tag; // POSIX_TAG_EVENT
    bool manualReset;
    bool signalled;
    PosixDevice *device; // device whose pended request will signal this event
};

static PosixDevice *AsDevice(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    PosixDevice *device = (PosixDevice *)handle;
    return device->tag == POSIX_TAG_DEVICE ? device : nullptr;
}

static PosixEvent *AsEvent(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    PosixEvent *event = (PosixEvent *)handle;
    return event->tag == POSIX_TAG_EVENT ? event : nullptr;
}

static void Unbind(PosixDevice *device)
{
    if (device->event != nullptr) {
        device->event->device = nullptr;
        device->event = nullptr;
    }
}

// ---- opening ------------------------------------------------------------------

static DWORD ErrorForErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ECONNREFUSED: // a socket file that nobody listens on
    case EPROTOTYPE:   // a socket that does not take stream connections
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return POSIX_ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
    case ENOBUFS:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Checks who is actually listening, not only who owns the socket file: the
// file could be replaced between the owner check and the connect.
static bool PeerMayServe(int fd)
{
#if defined(SO_PEERCRED)
    struct ucred credentials;
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    return PosixMayServe(credentials.uid);
#else
    uid_t uid;
    gid_t gid;
    if (getpeereid(fd, &uid, &gid) != 0)
        return false;
    return PosixMayServe(uid);
#endif
}

// A connect interrupted by a signal goes on in the background; wait for it
// to finish instead of starting another one.
static int FinishInterruptedConnect(int fd)
{
    struct pollfd watch = {fd, POLLOUT, 0};
    int rc;
    do {
        rc = poll(&watch, 1, -1);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return -1;
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0)
        return -1;
    if (pending != 0) {
        errno = pending;
        return -1;
    }
    return 0;
}

// The folders that lead to the socket at path (PosixCheckFolders).
static DWORD CheckHoldingFolders(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return PosixCheckFolders(".");
    if (slash == path)
        return PosixCheckFolders("/");
    size_t length = (size_t)(slash - path);
    char *folder = (char *)malloc(length + 1);
    if (folder == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    memcpy(folder, path, length);
    folder[length] = '\0';
    DWORD error = PosixCheckFolders(folder);
    free(folder);
    return error;
}

// Connects a stream socket to path. Returns 0 with *fdOut set, or the Win32
// error for the failure.
static DWORD ConnectDevice(const char *path, int *fdOut)
{
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    size_t length = strlen(path);
    if (length >= sizeof address.sun_path)
        return POSIX_ERROR_FILENAME_EXCED_RANGE;
    memcpy(address.sun_path, path, length + 1);

    DWORD folderError = CheckHoldingFolders(path);
    if (folderError != 0)
        return folderError;
    struct stat status;
    if (stat(path, &status) != 0)
        return ErrorForErrno(errno);
    if (!S_ISSOCK(status.st_mode))
        return ERROR_FILE_NOT_FOUND; // nothing can listen on a plain file
    if (!PosixMayServe(status.st_uid))
        return ERROR_ACCESS_DENIED;

    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return ErrorForErrno(errno);
    // Programs this process starts must not hold the driver connection open.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
#if defined(SO_NOSIGPIPE)
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    int rc = connect(fd, (const struct sockaddr *)&address, sizeof address);
    if (rc != 0 && errno == EINTR)
        rc = FinishInterruptedConnect(fd);
    if (rc != 0) {
        DWORD error = ErrorForErrno(errno);
        close(fd);
        return error;
    }
    if (!PeerMayServe(fd)) {
        close(fd);
        return ERROR_ACCESS_DENIED;
    }
    *fdOut = fd;
    return 0;
}

// Opens a device of the namespace: "\\.\NAME" (R/NAME), an interface's
// DevicePath, or any socket path. Only OPEN_EXISTING makes sense for a
// device; access, share mode, security attributes and template play no part.
// Returns: a device handle, or INVALID_HANDLE_VALUE with the last error set:
// ERROR_FILE_NOT_FOUND (no such path, not a socket, nothing listening),
// ERROR_ACCESS_DENIED (not permitted, or served by a user other than the
// caller and root), ERROR_INVALID_PARAMETER, ERROR_NOT_ENOUGH_MEMORY,
// ERROR_FILENAME_EXCED_RANGE (path too long for a socket address).
HANDLE CreateFileA(PCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    char *path = PosixSocketPathForName(lpFileName);
    if (path == nullptr)
        return INVALID_HANDLE_VALUE;
    int fd = -1;
    DWORD error = ConnectDevice(path, &fd);
    free(path);
    if (error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    PosixDevice *device = (PosixDevice *)calloc(1, sizeof *device);
    if (device == nullptr) {
        close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    device->tag = POSIX_TAG_DEVICE;
    device->fd = fd;
    device->overlappedIo = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    device->state = REQUEST_IDLE;
    return (HANDLE)device;
}

// Creates an unnamed event, initially signalled or not, reset by hand or by
// the wait that sees it. Named events are not offered.
// Returns: the event, or NULL with ERROR_INVALID_PARAMETER (a name) or
// ERROR_NOT_ENOUGH_MEMORY.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, PCSTR lpName)
{
    (void)lpEventAttributes;
    if (lpName != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    PosixEvent *event = (PosixEvent *)calloc(1, sizeof *event);
    if (event == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    event->tag = POSIX_TAG_EVENT;
    event->manualReset = bManualReset != FALSE;
    event->signalled = bInitialState != FALSE;
    return (HANDLE)event;
}

// ---- frames -------------------------------------------------------------------

static bool SendAll(int fd, const uint8_t *bytes, size_t length)
{
    while (length > 0) {
        ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        length -= (size_t)n;
    }
    return true;
}

// Reads exactly length bytes. Returns false on end of stream or an error.
static bool ReceiveAll(int fd, uint8_t *bytes, size_t length)
{
    while (length > 0) {
        ssize_t n = recv(fd, bytes, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= (size_t)n;
    }
    return true;
}

enum ReplyKind { REPLY_BROKEN, REPLY_PENDING, REPLY_COMPLETE };

static ReplyKind MarkBroken(PosixDevice *device)
{
    if (!device->broken) {
        device->broken = true;
        // Lets the server see at once that this connection is done with.
        shutdown(device->fd, SHUT_RDWR);
    }
    return REPLY_BROKEN;
}

// True when the server has sent something (or hung up) although no request
// is outstanding: the stream is out of step, or the server is gone.
static bool ServerSpokeOutOfTurn(int fd)
{
    struct pollfd watch = {fd, POLLIN, 0};
    int rc;
    do {
        rc = poll(&watch, 1, 0);
    } while (rc < 0 && errno == EINTR);
    return rc != 0;
}

static bool SendRequest(PosixDevice *device, DWORD code, const void *in, DWORD inSize, DWORD outSize)
{
    uint8_t header[FERV_FRAME_REQ_HEADER_SIZE];
    FervFrameStoreRequest(header, code, inSize, outSize);
    return SendAll(device->fd, header, sizeof header) && SendAll(device->fd, (const uint8_t *)in, inSize);
}

// Every byte equals the one after it and the first is zero: one memcmp, which
// the C library runs many bytes at a time, where a loop of ours would take
// them one by one over tens of MiB.
static bool IsZero(const uint8_t *bytes, size_t size)
{
    return size == 0 || (bytes[0] == 0 && memcmp(bytes, bytes + 1, size - 1) == 0);
}

// Receives a reply's body of `length` bytes straight into out, where it
// belongs: a body of tens of MiB is neither held twice nor copied. A body cut
// off midway must still leave out as it was, so each piece of out is kept
// before it is written over: a piece of zeros (most of a large request the
// library sends) as the fact that it was zero, any other piece as a copy.
// Returns true with the body in out; false with out as it was when the body
// is cut off or there is no memory to keep a piece in.
static bool ReceiveBody(int fd, uint8_t *out, size_t length)
{
    const size_t piece = 65536;
    // The pieces that were not zero: each its offset in out, then its bytes.
    uint8_t *kept = nullptr;
    size_t keptBytes = 0;
    size_t written = 0;
    bool received = true;
    while (written < length && received) {
        size_t size = length - written < piece ? length - written : piece;
        bool zero = IsZero(out + written, size);
        if (!zero) {
            uint8_t *grown = (uint8_t *)realloc(kept, keptBytes + sizeof written + size);
            if (grown == nullptr)
                break;
            kept = grown;
            memcpy(kept + keptBytes, &written, sizeof written);
            memcpy(kept + keptBytes + sizeof written, out + written, size);
            keptBytes += sizeof written + size;
        }
        received = ReceiveAll(fd, out + written, size);
        written += size;
    }
    if (received && written == length) {
        free(kept);
        return true;
    }
    // What the body overwrote was zeros but for the pieces kept.
    memset(out, 0, written);
    for (size_t at = 0; at < keptBytes;) {
        size_t offset;
        memcpy(&offset, kept + at, sizeof offset);
        size_t size = length - offset < piece ? length - offset : piece;
        if (offset < written)
            memcpy(out + offset, kept + at + sizeof offset, size);
        at += sizeof offset + size;
    }
    free(kept);
    return false;
}

// Reads one reply. A COMPLETE reply's bytes go to the start of out (at most
// outSize, which the reply must respect) and *error, *information report it.
// A reply cut off midway leaves out as it was.
static ReplyKind ReadReply(PosixDevice *device, uint8_t *out, DWORD outSize, DWORD *error, DWORD *information)
{
    uint8_t header[FERV_FRAME_REP_HEADER_SIZE];
    if (!ReceiveAll(device->fd, header, sizeof header))
        return MarkBroken(device);
    uint32_t magic = FervLoad32(header + FERV_FRAME_REP_MAGIC);
    uint32_t type = FervLoad32(header + FERV_FRAME_REP_TYPE);
    uint32_t replyError = FervLoad32(header + FERV_FRAME_REP_ERROR);
    uint32_t length = FervLoad32(header + FERV_FRAME_REP_INFORMATION);
    if (magic != FERV_FRAME_MAGIC)
        return MarkBroken(device);
    if (type == FERV_FRAME_PENDING)
        return length == 0 ? REPLY_PENDING : MarkBroken(device);
    // A completion that claims to be pending would leave the caller waiting
    // for a reply that never comes.
    if (type != FERV_FRAME_COMPLETE || length > outSize || replyError == ERROR_IO_PENDING)
        return MarkBroken(device);
    if (length > 0 && !ReceiveBody(device->fd, out, length))
        return MarkBroken(device);
    *error = replyError;
    *information = length;
    return REPLY_COMPLETE;
}

// Records the outcome of an overlapped request and signals its event.
static void Settle(PosixDevice *device, DWORD error, DWORD bytes)
{
    device->state = REQUEST_DONE;
    device->error = error;
    device->bytes = bytes;
    device->outBuffer = nullptr;
    device->outSize = 0;
    device->overlapped->Internal = error == 0 ? 0 : STATUS_UNSUCCESSFUL;
    device->overlapped->InternalHigh = bytes;
    if (device->event != nullptr)
        device->event->signalled = true;
    Unbind(device);
}

// Reads the COMPLETE reply of a held request. Returns the request's error:
// the reply's, or ERROR_OPERATION_ABORTED when the connection broke or the
// reply was malformed; *bytes gets the bytes copied.
static DWORD ReadCompletion(PosixDevice *device, uint8_t *out, DWORD outSize, DWORD *bytes)
{
    DWORD error = 0;
    *bytes = 0;
    switch (ReadReply(device, out, outSize, &error, bytes)) {
    case REPLY_COMPLETE:
        return error;
    case REPLY_PENDING:
        MarkBroken(device); // a request is held once only
        return ERROR_OPERATION_ABORTED;
    case REPLY_BROKEN:
        break;
    }
    return ERROR_OPERATION_ABORTED;
}

static void SettlePending(PosixDevice *device)
{
    DWORD bytes = 0;
    DWORD error = ReadCompletion(device, device->outBuffer, device->outSize, &bytes);
    Settle(device, error, bytes);
}

// ---- requests -----------------------------------------------------------------

// Sends one request and reads the server's first reply. With an OVERLAPPED
// record on a handle opened for overlapped I/O, a request the server holds
// stays outstanding; otherwise the call waits for its completion.
// Returns: TRUE when the request completed with error 0: the reply's bytes
// are at the start of lpOutBuffer, the rest of it is untouched, and
// *lpBytesReturned holds their count. FALSE with the last error set to:
// the server's error E when it refused the request; ERROR_IO_PENDING when
// it holds it (settle it with WaitForSingleObject and GetOverlappedResult);
// ERROR_GEN_FAILURE when the connection broke or the reply was malformed
// (the handle then fails every later request); ERROR_OPERATION_ABORTED when
// a held request's completion failed so (no OVERLAPPED record);
// ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER (buffer missing, size over
// 256 MiB), or ERROR_BUSY while an earlier request is still outstanding.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    PosixDevice *device = AsDevice(hDevice);
    if (device == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((lpInBuffer == nullptr && nInBufferSize != 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0) ||
        nInBufferSize > FERV_SIZE_LIMIT || nOutBufferSize > FERV_SIZE_LIMIT) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (device->state == REQUEST_PENDING) {
        SetLastError(POSIX_ERROR_BUSY);
        return FALSE;
    }
    bool overlapped = device->overlappedIo && lpOverlapped != nullptr;
    PosixEvent *event = nullptr;
    if (overlapped && lpOverlapped->hEvent != nullptr) {
        event = AsEvent(lpOverlapped->hEvent);
        if (event == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    if (lpBytesReturned != nullptr)
        *lpBytesReturned = 0;

    // From here on the request belongs to this record, as on Win32, where
    // starting the request resets its event.
    device->state = REQUEST_IDLE;
    device->overlapped = nullptr;
    Unbind(device);
    if (overlapped) {
        device->overlapped = lpOverlapped;
        lpOverlapped->Internal = STATUS_PENDING;
        lpOverlapped->InternalHigh = 0;
        if (event != nullptr) {
            event->signalled = false;
            if (event->device != nullptr)
                Unbind(event->device);
            event->device = device;
            device->event = event;
        }
    }

    uint8_t *out = (uint8_t *)lpOutBuffer;
    DWORD error = ERROR_GEN_FAILURE;
    DWORD bytes = 0;
    ReplyKind kind = REPLY_BROKEN;
    if (!device->broken && !ServerSpokeOutOfTurn(device->fd) &&
        SendRequest(device, dwIoControlCode, lpInBuffer, nInBufferSize, nOutBufferSize))
        kind = ReadReply(device, out, nOutBufferSize, &error, &bytes);
    else
        MarkBroken(device);

    if (kind == REPLY_PENDING) {
        if (overlapped) {
            device->state = REQUEST_PENDING;
            device->outBuffer = out;
            device->outSize = nOutBufferSize;
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        error = ReadCompletion(device, out, nOutBufferSize, &bytes);
    } else if (kind == REPLY_BROKEN) {
        error = ERROR_GEN_FAILURE;
        bytes = 0;
    }

    if (overlapped)
        Settle(device, error, bytes);
    if (lpBytesReturned != nullptr)
        *lpBytesReturned = bytes;
    if (error != 0) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// ---- waiting ------------------------------------------------------------------

static long long NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Waits until fd has something to read (or has hung up) or timeoutMs has
// passed (INFINITE: no limit). Returns false on time-out only: a poll error
// counts as ready, so the read that follows finds the connection broken.
static bool WaitReadable(int fd, DWORD timeoutMs)
{
    long long deadline = timeoutMs == INFINITE ? 0 : NowMs() + timeoutMs;
    for (;;) {
        int slice = -1;
        if (timeoutMs != INFINITE) {
            long long left = deadline - NowMs();
            if (left < 0)
                left = 0;
            slice = left > INT_MAX ? INT_MAX : (int)left;
        }
        struct pollfd watch = {fd, POLLIN, 0};
        int rc = poll(&watch, 1, slice);
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return true;
        if (rc == 0 && timeoutMs != INFINITE && NowMs() >= deadline)
            return false;
    }
}

static void SleepMs(DWORD ms)
{
    struct timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Waits for an event, or for a device's outstanding request, to be
// signalled. An event is signalled once the request it was given to has
// settled: its COMPLETE reply arrived or its connection broke. An
// auto-reset event is reset by the wait that returns it. A device handle is
// signalled whenever it has no request outstanding.
// Returns: WAIT_OBJECT_0; WAIT_TIMEOUT when dwMilliseconds passed first;
// WAIT_FAILED with ERROR_INVALID_HANDLE, or with ERROR_INVALID_PARAMETER for
// an INFINITE wait on an event that nothing can signal any more (waiting
// would never end, since only this thread could signal it).
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    PosixEvent *event = AsEvent(hHandle);
    PosixDevice *device = event != nullptr ? event->device : AsDevice(hHandle);
    if (event == nullptr && device == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (event != nullptr && event->signalled) {
        if (!event->manualReset)
            event->signalled = false;
        return WAIT_OBJECT_0;
    }
    if (device != nullptr && device->state == REQUEST_PENDING) {
        if (!WaitReadable(device->fd, dwMilliseconds))
            return POSIX_WAIT_TIMEOUT;
        SettlePending(device);
    }
    if (event == nullptr)
        return WAIT_OBJECT_0;
    if (event->signalled) {
        if (!event->manualReset)
            event->signalled = false;
        return WAIT_OBJECT_0;
    }
    if (dwMilliseconds == INFINITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    SleepMs(dwMilliseconds);
    return POSIX_WAIT_TIMEOUT;
}

// Reports the outcome of the last overlapped request on hFile that used
// lpOverlapped, waiting for it first when bWait is TRUE.
// Returns: TRUE when it completed with error 0 (*lpNumberOfBytesTransferred =
// bytes copied to its output buffer); FALSE with the server's error E, with
// ERROR_OPERATION_ABORTED when its connection broke or its reply was
// malformed, with ERROR_IO_INCOMPLETE while it is still held and bWait is
// FALSE, or with ERROR_INVALID_HANDLE / ERROR_INVALID_PARAMETER (no request
// of that record on this handle).
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    PosixDevice *device = AsDevice(hFile);
    if (device == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpOverlapped == nullptr || device->overlapped != lpOverlapped || device->state == REQUEST_IDLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (device->state == REQUEST_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        SettlePending(device);
    }
    if (lpNumberOfBytesTransferred != nullptr)
        *lpNumberOfBytesTransferred = device->bytes;
    if (device->error != 0) {
        SetLastError(device->error);
        return FALSE;
    }
    return TRUE;
}

// ---- closing ------------------------------------------------------------------

// Closes a device (its connection; a held request is dropped by the server)
// or an event.
// Returns: TRUE; FALSE with ERROR_INVALID_HANDLE for anything else.
BOOL CloseHandle(HANDLE hObject)
{
    PosixDevice *device = AsDevice(hObject);
    if (device != nullptr) {
        Unbind(device);
        close(device->fd);
        device->tag = POSIX_TAG_FREED;
        free(device);
        return TRUE;
    }
    PosixEvent *event = AsEvent(hObject);
    if (event != nullptr) {
        if (event->device != nullptr)
            event->device->event = nullptr;
        event->tag = POSIX_TAG_FREED;
        free(event);
        return TRUE;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
