// A client of the emulator's sockets that writes frames by hand, for tests
// that misbehave on purpose: malformed, cut off, never read, never ending.
// The frame layout is spelt out here rather than taken from the code, so a
// wrong constant on the emulator's side fails a test.
#ifndef FERV_E2E_RAW_CLIENT_H
#define FERV_E2E_RAW_CLIENT_H

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proto/ferv_proto.h"

namespace raw_client {

const uint32_t kMagic = 0x56524546; // "FERV"
// The interface class folder below the root, with its slashes.
const char kClass[] = "/interfaces/{a8987d25-df6e-4a51-9727-49fb6f1479a2}/";

// Connects to the socket at path, with a 10 s receive time limit. Returns
// the descriptor or -1.
inline int Connect(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// A request header announcing inSize bytes of input.
inline std::vector<uint8_t> Header(uint32_t code, uint32_t inSize, uint32_t outSize, uint32_t magic = kMagic)
{
    std::vector<uint8_t> f(24);
    FervStore32(f.data(), magic);
    FervStore32(f.data() + 4, 1);
    FervStore32(f.data() + 8, code);
    FervStore32(f.data() + 12, inSize);
    FervStore32(f.data() + 16, outSize);
    return f;
}

inline void SendFrame(int fd, uint32_t code, const std::vector<uint8_t> &body, uint32_t outSize,
                      uint32_t magic = kMagic)
{
    std::vector<uint8_t> f = Header(code, (uint32_t)body.size(), outSize, magic);
    f.insert(f.end(), body.begin(), body.end());
    ASSERT_EQ(send(fd, f.data(), f.size(), MSG_NOSIGNAL), (ssize_t)f.size());
}

struct Reply {
    bool ok = false; // a whole reply arrived
    uint32_t type = 0, error = 0;
    std::vector<uint8_t> data;
};

inline bool RecvAll(int fd, uint8_t *p, size_t n)
{
    while (n) {
        ssize_t got = recv(fd, p, n, 0);
        if (got <= 0)
            return false;
        p += got;
        n -= (size_t)got;
    }
    return true;
}

inline Reply Receive(int fd)
{
    Reply r;
    uint8_t h[20];
    if (!RecvAll(fd, h, 20))
        return r;
    r.type = FervLoad32(h + 4);
    r.error = FervLoad32(h + 8);
    r.data.resize(FervLoad32(h + 12));
    r.ok = FervLoad32(h) == kMagic && RecvAll(fd, r.data.data(), r.data.size());
    return r;
}

// True when the server has closed the connection (end of stream, or reset).
inline bool Closed(int fd)
{
    uint8_t b;
    return recv(fd, &b, 1, 0) <= 0;
}

// True when the server has closed the connection within timeoutMs, without
// reading anything it sent before.
inline bool ClosedWithin(int fd, int timeoutMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    uint8_t b[4096];
    ssize_t n;
    while ((n = recv(fd, b, sizeof b, MSG_DONTWAIT)) > 0) {
    }
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

} // namespace raw_client

#endif
