// What the benchmarks' own clients of the device namespace share: a
// connection to a socket path, and whole buffers sent and received over it.
// Header only: each client is one program built from one file.
#ifndef FERV_BENCH_SOCKET_H
#define FERV_BENCH_SOCKET_H

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// A stream socket connected to path. Returns its descriptor, or -1.
static inline int BenchConnect(const char *path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path);
    if (fd < 0 || connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// Sends all n bytes. Returns false when the connection breaks first.
static inline bool BenchSendAll(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

// Receives exactly n bytes. Returns false on the end of the stream, an error
// or a time-out first.
static inline bool BenchReceiveAll(int fd, uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t k = recv(fd, p, n, 0);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

#endif
