// What the emulator's load and soak clients share: connecting to a socket
// of the device namespace and moving whole buffers over it.
#ifndef FERV_BENCH_SOCKET_H
#define FERV_BENCH_SOCKET_H

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "proto/ferv_proto.h"

// The class folder of the driver's interfaces, below the root.
static const char kClass[] = "/" FERV_INTERFACE_CLASS_DIR "/";

// Connects to the socket at path; a receive waits at most receiveSeconds (0:
// for ever). Returns the descriptor or -1.
static inline int Connect(const std::string &path, int receiveSeconds = 0)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (fd < 0 || connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (receiveSeconds > 0) {
        struct timeval tv = {receiveSeconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    return fd;
}

static inline bool SendAll(int fd, const uint8_t *p, size_t n)
{
    while (n) {
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

static inline bool RecvAll(int fd, uint8_t *p, size_t n)
{
    while (n) {
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
