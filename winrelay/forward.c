/*
 * fervrelay-forward: attaches to the relay driver as its service and carries
 * the service protocol (relay_service.h) both ways, byte for byte, between the
 * relay's pipe and a TCP connection to the real service on 127.0.0.1. Under
 * Wine this is how a Linux program serves the relay: it cannot open a Windows
 * pipe, and Wine's sockets have no AF_UNIX, but a local TCP connection works.
 *
 *   fervrelay-forward PORT [TOKEN-FILE]
 *
 * Connects to 127.0.0.1:PORT first and sends the contents of TOKEN-FILE
 * there, when given (the service takes only a connection that shows the
 * token it wrote to that file), then attaches to the relay (waiting up to
 * ATTACH_WAIT_MS for it to run), and ends when either side closes or fails;
 * the other side then sees its end of the connection close (the relay makes
 * the driver absent again). Exit status: 0 once a forwarded connection ended,
 * 1 on a usage error, 2 when a connection could not be made.
 */
#include <winsock2.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "relay_attach.h"

#define CHUNK 65536
#define ATTACH_WAIT_MS 20000

static HANDLE g_pipe;
static SOCKET g_socket;

/* Waits for an overlapped pipe transfer; FALSE when it failed or moved
 * nothing. */
static BOOL pipe_io(BOOL writing, void *buffer, DWORD size, DWORD *done, OVERLAPPED *ov)
{
    BOOL ok;
    ResetEvent(ov->hEvent);
    ok = writing ? WriteFile(g_pipe, buffer, size, done, ov) : ReadFile(g_pipe, buffer, size, done, ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(g_pipe, ov, done, TRUE);
    return ok && *done > 0;
}

/* The relay's messages, to the service. */
static DWORD WINAPI relay_to_service(void *unused)
{
    static char buffer[CHUNK];
    OVERLAPPED ov;
    DWORD n;
    (void)unused;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    while (pipe_io(FALSE, buffer, sizeof buffer, &n, &ov)) {
        DWORD sent = 0;
        while (sent < n) {
            int k = send(g_socket, buffer + sent, (int)(n - sent), 0);
            if (k <= 0)
                return 0;
            sent += (DWORD)k;
        }
    }
    return 0;
}

/* The service's messages, to the relay. */
static DWORD WINAPI service_to_relay(void *unused)
{
    static char buffer[CHUNK];
    OVERLAPPED ov;
    (void)unused;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    for (;;) {
        int k = recv(g_socket, buffer, sizeof buffer, 0);
        DWORD written = 0;
        if (k <= 0)
            return 0;
        while (written < (DWORD)k) {
            DWORD n = 0;
            if (!pipe_io(TRUE, buffer + written, (DWORD)k - written, &n, &ov))
                return 0;
            written += n;
        }
    }
}

static SOCKET connect_local(unsigned short port)
{
    struct sockaddr_in address;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL one = TRUE;
    if (s == INVALID_SOCKET)
        return s;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (struct sockaddr *)&address, sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    /* Messages are small and answer one another: no delay. */
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof one);
    return s;
}

/* Sends the token file's contents (at most TOKEN_MAX bytes) on s. */
#define TOKEN_MAX 256
static BOOL send_token(SOCKET s, const char *path)
{
    char token[TOKEN_MAX];
    size_t size, sent = 0;
    FILE *file = fopen(path, "rb");
    if (file == NULL)
        return FALSE;
    size = fread(token, 1, sizeof token, file);
    fclose(file);
    if (size == 0)
        return FALSE;
    while (sent < size) {
        int n = send(s, token + sent, (int)(size - sent), 0);
        if (n <= 0)
            return FALSE;
        sent += (size_t)n;
    }
    return TRUE;
}

int main(int argc, char **argv)
{
    WSADATA wsa;
    HANDLE service = INVALID_HANDLE_VALUE, threads[2];
    const char *what = "";
    DWORD error = 0, waited = 0;
    char *end;
    unsigned long port;

    if ((argc != 2 && argc != 3) || (port = strtoul(argv[1], &end, 10)) == 0 || port > 65535 || *end) {
        fprintf(stderr, "usage: fervrelay-forward PORT [TOKEN-FILE]\n");
        return 1;
    }
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        fprintf(stderr, "fervrelay-forward: WSAStartup failed\n");
        return 2;
    }
    g_socket = connect_local((unsigned short)port);
    if (g_socket == INVALID_SOCKET) {
        fprintf(stderr, "fervrelay-forward: cannot connect to 127.0.0.1:%lu: %d\n", port, WSAGetLastError());
        return 2;
    }
    if (argc == 3 && !send_token(g_socket, argv[2])) {
        fprintf(stderr, "fervrelay-forward: cannot send the token of %s\n", argv[2]);
        return 2;
    }
    /* The relay may still be starting in a session that has just come up. */
    while (!FervRelayAttach(TRUE, &g_pipe, &service, &what, &error)) {
        if (error != ERROR_FILE_NOT_FOUND || waited >= ATTACH_WAIT_MS) {
            fprintf(stderr, "fervrelay-forward: %s failed: %lu\n", what, (unsigned long)error);
            return 2;
        }
        Sleep(100);
        waited += 100;
    }
    fprintf(stderr, "fervrelay-forward: attached, forwarding to 127.0.0.1:%lu\n", port);
    fflush(stderr);
    threads[0] = CreateThread(NULL, 0, relay_to_service, NULL, 0, NULL);
    threads[1] = CreateThread(NULL, 0, service_to_relay, NULL, 0, NULL);
    if (!threads[0] || !threads[1]) {
        fprintf(stderr, "fervrelay-forward: CreateThread failed: %lu\n", (unsigned long)GetLastError());
        return 2;
    }
    /* Whichever side ends first ends both: leaving the process closes the
     * service device (the relay detaches) and the connection. */
    WaitForMultipleObjects(2, threads, FALSE, INFINITE);
    fprintf(stderr, "fervrelay-forward: connection ended\n");
    fflush(stderr);
    ExitProcess(0);
}
