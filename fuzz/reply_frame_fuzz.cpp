// Arbitrary bytes as what a server sends back on a device connection of the
// POSIX platform layer: the reply framing of DeviceIoControl, the wait for
// a pended request and GetOverlappedResult, over a real Unix socket.
//
// The first byte sets the handle up (bit 0: overlapped I/O, bit 1: an event
// in the OVERLAPPED record, bits 2-3: the output buffer's size). The rest is
// what the server answers. A handle without overlapped I/O sends one request
// and is answered with all of it, then the end of the stream. An overlapped
// handle sends up to four requests; each is answered by the next piece of
// the script (a 16-bit little-endian length and that many bytes), and a
// pended request is looked at without waiting.
// Whatever the bytes, a call must return, report no more bytes than the
// buffer holds and write nothing past the bytes it reports.
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "fuzz/require.h"
#include "platform/ferv_platform.h"
#include "proto/ferv_proto.h"

namespace {

std::string g_path;
int g_listener = -1;
const uint8_t kCanary = 0xC3;

bool ReadAll(int fd, uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t got = recv(fd, p, n, 0);
        if (got <= 0)
            return false;
        p += got;
        n -= (size_t)got;
    }
    return true;
}

void WriteAll(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t put = send(fd, p, n, MSG_NOSIGNAL);
        if (put <= 0)
            return;
        p += put;
        n -= (size_t)put;
    }
}

// Reads one request frame off the connection. Returns false at its end.
bool TakeRequest(int fd)
{
    uint8_t header[FERV_FRAME_REQ_HEADER_SIZE];
    if (!ReadAll(fd, header, sizeof header))
        return false;
    std::vector<uint8_t> body(FervLoad32(header + FERV_FRAME_REQ_IN_SIZE));
    return ReadAll(fd, body.data(), body.size());
}

// The server: for each request, the next piece of its answers; then the end
// of the stream. A piece that leaves the client waiting for more (a reply
// cut short, a pended request whose completion it does not hold) is
// followed by the end of the stream once no next request comes.
void Serve(int fd, std::vector<std::vector<uint8_t>> pieces)
{
    for (size_t i = 0; i < pieces.size(); i++) {
        struct pollfd next = {fd, POLLIN, 0};
        if (i > 0 && poll(&next, 1, 5) <= 0)
            break;
        if (!TakeRequest(fd))
            return;
        WriteAll(fd, pieces[i].data(), pieces[i].size());
    }
    shutdown(fd, SHUT_WR);
    while (TakeRequest(fd)) {
    }
}

// One request, its outcome checked against the buffer it was given.
void Request(HANDLE handle, OVERLAPPED *overlapped, std::vector<uint8_t> &out, size_t outSize)
{
    uint8_t in[32];
    memset(in, 0x5A, sizeof in);
    std::fill(out.begin(), out.end(), kCanary);
    DWORD bytes = 0xFFFFFFFFu;
    BOOL ok = DeviceIoControl(handle, 0x85002004u, in, sizeof in, outSize ? out.data() : nullptr, (DWORD)outSize,
                              &bytes, overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        HANDLE waitOn = overlapped->hEvent ? overlapped->hEvent : handle;
        if (WaitForSingleObject(waitOn, 0) == WAIT_OBJECT_0)
            ok = GetOverlappedResult(handle, overlapped, &bytes, FALSE);
        else
            return; // still held: the next request on the handle must be refused
    }
    if (ok) {
        Require(bytes <= outSize);
        for (size_t i = bytes; i < out.size(); i++)
            Require(out[i] == kCanary);
    }
    for (size_t i = outSize; i < out.size(); i++)
        Require(out[i] == kCanary);
}

std::string g_dir;

void RemoveSocket()
{
    unlink(g_path.c_str());
    rmdir(g_dir.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char dir[] = "/tmp/ferv-fuzz-XXXXXX";
    if (!mkdtemp(dir))
        abort();
    g_dir = dir;
    g_path = g_dir + "/device";
    atexit(RemoveSocket);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, g_path.c_str(), g_path.size() + 1);
    g_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (g_listener < 0 || bind(g_listener, (struct sockaddr *)&a, sizeof a) != 0 || listen(g_listener, 8) != 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Small enough for the socket's buffer, so the server never blocks.
    if (size < 1 || size > 60000)
        return 0;
    static const size_t kOutSizes[4] = {0, 3, 64, 4096};
    bool overlappedIo = data[0] & 1;
    size_t outSize = kOutSizes[(data[0] >> 2) & 3];

    std::vector<std::vector<uint8_t>> pieces;
    const uint8_t *p = data + 1, *end = data + size;
    if (!overlappedIo) {
        pieces.emplace_back(p, end);
    } else {
        while (end - p >= 2 && pieces.size() < 4) {
            size_t length = std::min<size_t>(p[0] | (size_t)p[1] << 8, (size_t)(end - p - 2));
            pieces.emplace_back(p + 2, p + 2 + length);
            p += 2 + length;
        }
    }

    HANDLE handle = CreateFileA(g_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                overlappedIo ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    Require(handle != INVALID_HANDLE_VALUE);
    int server = accept(g_listener, nullptr, nullptr);
    Require(server >= 0);
    std::thread answering(Serve, server, pieces);

    std::vector<uint8_t> out(outSize + 16);
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    HANDLE event = (data[0] & 2) ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    overlapped.hEvent = event;
    size_t requests = overlappedIo ? std::max<size_t>(pieces.size(), 1) : 1;
    for (size_t i = 0; i < requests; i++)
        Request(handle, overlappedIo ? &overlapped : nullptr, out, outSize);

    Require(CloseHandle(handle));
    if (event)
        CloseHandle(event);
    answering.join();
    close(server);
    return 0;
}
