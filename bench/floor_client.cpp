// The floor of the all-devices report: the least a client of the driver must
// do for `fervadm -v`, and nothing more. It sends the same requests over the
// same socket as fervadm (the HBA list, then the device list, each first in
// a 4096-byte buffer and again in a buffer of the size the driver names,
// the same bytes on the wire) and writes as many bytes as the report has,
// without decoding or formatting anything.
//
//   floor_client ROOT OUTPUT_BYTES [--small-pages] [--times]
//
// ROOT is the serving emulator's root; the first interface of the driver's
// class is used, as fervadm uses it. Each request buffer is zeroed memory
// received into in place; one of several MiB lies on huge pages, as
// fervadm's do (--small-pages: it does not). The bytes go to
// standard output, 64 KiB per write, as fervadm writes them to a file.
// --times prints the time of each request on standard error: from its first
// byte sent to its reply's last byte received, in milliseconds. Exit status
// 0 when both lists arrived with status 0, 1 otherwise.
#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_socket.h"
#include "lib/ferv_wire.h"
#include "lib/fervlib.h"
#include "proto/ferv_proto.h"

static bool hugePages = true;
static bool printTimes = false;

static double NowMs()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int ConnectFirstInterface(const std::string &root)
{
    std::string dir = root + "/" FERV_INTERFACE_CLASS_DIR;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    closedir(d);
    if (names.empty())
        return -1;
    std::sort(names.begin(), names.end());
    return Connect(dir + "/" + names[0]);
}

// A zeroed buffer of `size` bytes, as the library allocates one: one of
// several MiB on whole huge pages.
static uint8_t *Allocate(size_t size)
{
    const size_t huge = 2u << 20;
    if (!hugePages || size < (4u << 20))
        return (uint8_t *)calloc(size, 1);
    size_t whole = (size + huge - 1) / huge * huge;
    uint8_t *p = (uint8_t *)aligned_alloc(huge, whole);
    if (p != nullptr) {
        madvise(p, whole, MADV_HUGEPAGE);
        memset(p, 0, size);
    }
    return p;
}

// One growing request, run until the driver's reply fits. Returns the reply
// buffer (its size in *pSize) with status 0, or null.
static uint8_t *Query(int fd, uint32_t code, uint32_t *pSize)
{
    uint32_t size = FERV_REQ_SIZE_TOPOLOGY;
    for (int attempt = 0; attempt < 8; attempt++) {
        uint8_t *buffer = Allocate(size);
        if (buffer == nullptr)
            return nullptr;
        FervStore32(buffer + FERV_ALL_SIZE, size);
        uint8_t header[FERV_FRAME_REQ_HEADER_SIZE];
        FervFrameStoreRequest(header, code, size, size);
        uint8_t reply[FERV_FRAME_REP_HEADER_SIZE];
        double start = NowMs();
        if (!SendAll(fd, header, sizeof header) || !SendAll(fd, buffer, size) || !RecvAll(fd, reply, sizeof reply) ||
            FervLoad32(reply + FERV_FRAME_REP_TYPE) != FERV_FRAME_COMPLETE ||
            FervLoad32(reply + FERV_FRAME_REP_INFORMATION) > size ||
            !RecvAll(fd, buffer, FervLoad32(reply + FERV_FRAME_REP_INFORMATION))) {
            free(buffer);
            return nullptr;
        }
        uint32_t status = FervLoad32(buffer + FERV_REQ_STATUS);
        if (printTimes)
            fprintf(stderr, "request 0x%08x of %u bytes: %.2f ms\n", (unsigned)code, (unsigned)size,
                    NowMs() - start);
        if (status == FERV_STATUS_SUCCESS) {
            *pSize = size;
            return buffer;
        }
        uint32_t wanted = FervLoad32(buffer + FERV_ALL_SIZE);
        free(buffer);
        if (status != FERV_STATUS_BUFFER_TOO_SMALL || wanted <= size || wanted > FERV_SIZE_LIMIT)
            return nullptr;
        size = wanted;
    }
    return nullptr;
}

int main(int argc, char **argv)
{
    for (int i = 3; i < argc; i++) {
        if (strcmp(argv[i], "--small-pages") == 0) {
            hugePages = false;
        } else if (strcmp(argv[i], "--times") == 0) {
            printTimes = true;
        } else {
            argc = 0;
            break;
        }
    }
    if (argc < 3) {
        fprintf(stderr, "usage: floor_client ROOT OUTPUT_BYTES [--small-pages] [--times]\n");
        return 2;
    }
    size_t output = strtoull(argv[2], nullptr, 10);
    int fd = ConnectFirstInterface(argv[1]);
    if (fd < 0) {
        fprintf(stderr, "floor_client: no interface serves %s\n", argv[1]);
        return 1;
    }
    uint32_t hbaSize = 0, deviceSize = 0;
    uint8_t *hbas = Query(fd, IOCTL_FERV_GET_ALL_HBAS, &hbaSize);
    uint8_t *devices = hbas ? Query(fd, IOCTL_FERV_GET_ALL_DEVICES, &deviceSize) : nullptr;
    close(fd);
    if (devices == nullptr) {
        fprintf(stderr, "floor_client: the lists did not arrive\n");
        return 1;
    }
    // The report's bytes, taken from the reply: as many as fervadm prints.
    while (output > 0) {
        size_t chunk = std::min<size_t>({output, (size_t)65536, deviceSize});
        if (write(1, devices, chunk) != (ssize_t)chunk) {
            fprintf(stderr, "floor_client: cannot write the output\n");
            return 1;
        }
        output -= chunk;
    }
    free(hbas);
    free(devices);
    return 0;
}
