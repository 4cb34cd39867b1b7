// The clients of the soak test (bench/soak.sh): everything a careless or
// hostile local user can throw at a running fervsim at once, held until the
// script has checked that the emulator still answers.
//
//   soak ROOT IDLE UPLOADS NONREADERS
//
// IDLE connections that never send a byte; NONREADERS clients that ask for
// the whole device list (the emulator should serve a large topology) and
// never read the reply; UPLOADS clients that announce a 256 MiB request,
// send all of it but its last byte and stall. Each group is reported on
// standard output as it is in place; then "soak: holding" and the clients
// stay until SIGTERM or SIGINT, count which idle connections the emulator
// kept, close everything and exit 0. Exit status 1 when a client could not
// even connect.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/bench_socket.h"
#include "lib/ferv_wire.h"
#include "lib/fervlib.h"
#include "proto/ferv_proto.h"

static const uint32_t kUpload = 256u << 20;
static volatile sig_atomic_t g_stop = 0;

static void OnStop(int)
{
    g_stop = 1;
}

static double Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static std::vector<uint8_t> Header(uint32_t code, uint32_t inSize, uint32_t outSize)
{
    std::vector<uint8_t> h(FERV_FRAME_REQ_HEADER_SIZE, 0);
    FervFrameStoreRequest(h.data(), code, inSize, outSize);
    return h;
}

// The size of the whole device list, asked for as the library asks.
static uint32_t DeviceListSize(const std::string &iface)
{
    int fd = Connect(iface);
    if (fd < 0)
        return 0;
    std::vector<uint8_t> frame = Header(IOCTL_FERV_GET_ALL_DEVICES, 4096, 4096);
    frame.resize(FERV_FRAME_REQ_HEADER_SIZE + 4096, 0);
    uint8_t reply[FERV_FRAME_REP_HEADER_SIZE + 16];
    const uint8_t *body = reply + FERV_FRAME_REP_HEADER_SIZE;
    uint32_t need = 0;
    if (SendAll(fd, frame.data(), frame.size()) && RecvAll(fd, reply, sizeof reply) &&
        FervLoad32(body) == FERV_STATUS_BUFFER_TOO_SMALL)
        need = FervLoad32(body + FERV_ALL_SIZE);
    close(fd);
    return need;
}

int main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: soak ROOT IDLE UPLOADS NONREADERS\n");
        return 2;
    }
    std::string root = argv[1];
    int idleCount = atoi(argv[2]), uploadCount = atoi(argv[3]), readerCount = atoi(argv[4]);
    std::string control = root + "/" FERV_CONTROL_DEVICE_NAME;
    std::string ifaces[2] = {root + kClass + "ferv0000", root + kClass + "ferv0001"};
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, OnStop);
    signal(SIGINT, OnStop);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Idle connections, spread over the three endpoints.
    std::vector<int> idle;
    double t0 = Now();
    for (int i = 0; i < idleCount; i++) {
        int fd = Connect(i % 3 == 2 ? control : ifaces[i % 2]);
        if (fd < 0) {
            printf("soak: idle connection %d could not connect: %s\n", i, strerror(errno));
            return 1;
        }
        idle.push_back(fd);
    }
    printf("soak: %d idle connections open in %.1f s\n", idleCount, Now() - t0);

    // Clients that ask for the whole device list and never read it.
    uint32_t listSize = DeviceListSize(ifaces[0]);
    std::vector<int> readers;
    int queued = 0, refused = 0, lost = 0;
    std::vector<uint8_t> request = Header(IOCTL_FERV_GET_ALL_DEVICES, listSize, listSize);
    request.resize(FERV_FRAME_REQ_HEADER_SIZE + listSize, 0);
    t0 = Now();
    for (int i = 0; i < readerCount && listSize; i++) {
        int fd = Connect(ifaces[i % 2]);
        uint8_t reply[FERV_FRAME_REP_HEADER_SIZE];
        if (fd < 0 || !SendAll(fd, request.data(), request.size()) || !RecvAll(fd, reply, sizeof reply)) {
            lost++;
        } else if (FervLoad32(reply + FERV_FRAME_REP_ERROR) == 1450) {
            refused++;
        } else {
            queued++;
        }
        if (fd >= 0)
            readers.push_back(fd);
    }
    printf("soak: %d clients not reading a %u-byte reply: %d queued, %d refused with 1450 at the buffer limit, "
           "%d dropped, in %.1f s\n",
           readerCount, listSize, queued, refused, lost, Now() - t0);

    // Uploads of 256 MiB that stall one byte short, all sending at once.
    struct Upload {
        int fd;
        size_t left;
        bool dropped;
    };
    std::vector<Upload> uploads;
    std::vector<uint8_t> zeros(1 << 20, 0);
    for (int i = 0; i < uploadCount; i++) {
        int fd = Connect(ifaces[i % 2]);
        std::vector<uint8_t> head = Header(IOCTL_FERV_GET_PUBLIC_PARAMETERS, kUpload, 32);
        if (fd < 0 || !SendAll(fd, head.data(), head.size())) {
            uploads.push_back({fd, 0, true});
            continue;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        uploads.push_back({fd, kUpload - 1, false});
    }
    t0 = Now();
    for (;;) {
        std::vector<struct pollfd> pfds;
        std::vector<size_t> which;
        for (size_t i = 0; i < uploads.size(); i++) {
            if (!uploads[i].dropped && uploads[i].left) {
                pfds.push_back({uploads[i].fd, POLLOUT, 0});
                which.push_back(i);
            }
        }
        if (pfds.empty() || Now() - t0 > 120)
            break;
        if (poll(pfds.data(), pfds.size(), 1000) < 0 && errno != EINTR)
            break;
        for (size_t k = 0; k < pfds.size(); k++) {
            Upload &u = uploads[which[k]];
            if (!(pfds[k].revents & (POLLOUT | POLLERR | POLLHUP)))
                continue;
            ssize_t n = send(u.fd, zeros.data(), std::min(u.left, zeros.size()), MSG_NOSIGNAL);
            if (n > 0)
                u.left -= (size_t)n;
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                u.dropped = true;
        }
    }
    int stalled = 0, dropped = 0, unfinished = 0;
    for (const Upload &u : uploads)
        (u.dropped ? dropped : u.left ? unfinished : stalled)++;
    printf("soak: %d uploads of 256 MiB: %d stalled one byte short, %d dropped at the buffer limit, %d still "
           "sending, in %.1f s\n",
           uploadCount, stalled, dropped, unfinished, Now() - t0);

    printf("soak: holding\n");
    while (!g_stop)
        pause();

    int kept = 0;
    for (int fd : idle) {
        struct pollfd p = {fd, POLLIN, 0};
        kept += poll(&p, 1, 0) == 0;
    }
    printf("soak: %d of %d idle connections still open at the end\n", kept, idleCount);
    for (int fd : idle)
        close(fd);
    for (int fd : readers)
        close(fd);
    for (const Upload &u : uploads)
        if (u.fd >= 0)
            close(u.fd);
    return 0;
}
