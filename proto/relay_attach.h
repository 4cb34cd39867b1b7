/*
 * relay_attach.h: how a user-mode service attaches to the relay driver
 * (relay_service.h): create the pipe, open the service device (the relay
 * connects to the pipe during the open), and see the pipe connected.
 */
#ifndef FERV_RELAY_ATTACH_H
#define FERV_RELAY_ATTACH_H

#include <windows.h>

#include "relay_service.h"

/* How long the relay is given to connect to the pipe once the service device
 * is open. */
#define FERV_RELAY_CONNECT_MS 5000

/* One attempt to attach. With `overlapped` the pipe is made for overlapped
 * I/O. Returns TRUE with *pipe and *service open; FALSE with both left
 * INVALID_HANDLE_VALUE, *what naming the step that failed and *error its Win32
 * error (ERROR_PIPE_BUSY: another service has the pipe; ERROR_FILE_NOT_FOUND
 * from opening the service device: the relay is not running). */
static __inline BOOL FervRelayAttach(BOOL overlapped, HANDLE *pipe, HANDLE *service, const char **what, DWORD *error)
{
    OVERLAPPED ov;
    BOOL connected;
    DWORD n;

    *service = INVALID_HANDLE_VALUE;
    *pipe = CreateNamedPipeA(FERV_RELAY_PIPE_PATH, PIPE_ACCESS_DUPLEX | (overlapped ? FILE_FLAG_OVERLAPPED : 0),
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, NULL);
    if (*pipe == INVALID_HANDLE_VALUE) {
        *what = "creating the relay's pipe";
        *error = GetLastError();
        return FALSE;
    }
    *service = CreateFileA(FERV_RELAY_SERVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (*service == INVALID_HANDLE_VALUE) {
        *what = "opening the relay's service device";
        *error = GetLastError();
        CloseHandle(*pipe);
        *pipe = INVALID_HANDLE_VALUE;
        return FALSE;
    }
    /* The relay has normally connected during the open; an overlapped wait
     * bounds the time it may take otherwise. */
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    connected = ConnectNamedPipe(*pipe, overlapped ? &ov : NULL) || GetLastError() == ERROR_PIPE_CONNECTED;
    if (!connected && overlapped && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, FERV_RELAY_CONNECT_MS) == WAIT_OBJECT_0)
            connected = GetOverlappedResult(*pipe, &ov, &n, FALSE);
        else
            CancelIo(*pipe);
    }
    *error = connected ? 0 : GetLastError();
    CloseHandle(ov.hEvent);
    if (!connected) {
        *what = "waiting for the relay to connect";
        CloseHandle(*service);
        CloseHandle(*pipe);
        *service = *pipe = INVALID_HANDLE_VALUE;
        return FALSE;
    }
    return TRUE;
}

#endif
