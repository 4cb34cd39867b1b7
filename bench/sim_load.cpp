// Load test of a running fervsim: many concurrent clients, each sending a
// series of requests over the three kinds of endpoint, then a wait for
// change; some clients are killed while their wait is held. Every request of
// a surviving client must be answered, and the emulator must still serve.
//
//   sim_load ROOT [CLIENTS [REQUESTS [KILLED]]]     (defaults 200 50 20)
//
// The emulator must serve the built-in topology under ROOT. Exit status 0
// when every surviving request was answered correctly.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/bench_socket.h"
#include "lib/ferv_wire.h"
#include "lib/fervlib.h"
#include "proto/ferv_proto.h"

static bool SendRequest(int fd, uint32_t code, const std::vector<uint8_t> &buf)
{
    uint8_t h[FERV_FRAME_REQ_HEADER_SIZE];
    FervFrameStoreRequest(h, code, (uint32_t)buf.size(), (uint32_t)buf.size());
    return SendAll(fd, h, sizeof h) && SendAll(fd, buf.data(), buf.size());
}

// Reads one reply; returns its type (1 pending, 2 complete) or 0 when broken.
static uint32_t ReadReply(int fd, uint32_t *error, std::vector<uint8_t> *buf)
{
    uint8_t h[FERV_FRAME_REP_HEADER_SIZE];
    if (!RecvAll(fd, h, sizeof h) || FervLoad32(h + FERV_FRAME_REP_MAGIC) != FERV_FRAME_MAGIC)
        return 0;
    *error = FervLoad32(h + FERV_FRAME_REP_ERROR);
    uint32_t info = FervLoad32(h + FERV_FRAME_REP_INFORMATION);
    if (info > buf->size())
        return 0;
    if (!RecvAll(fd, buf->data(), info))
        return 0;
    return FervLoad32(h + FERV_FRAME_REP_TYPE);
}

static const char *const kPaths[] = {"hba0-t0-lun0", "hba1-t1-lun1", "hba0-t2-lun2", "hba1-t3-lun0"};
static const char *const kLuns[] = {"600a0b80002f1e2c00004d3c60100000", "600a0b80003a7d9100005e1f60110002"};
static const char kDevice[] = "600a0b80003a7d9100005e1f72b20002";

static void Key(const char *hex, uint8_t *out)
{
    for (int i = 0; i < 16; i++) {
        char two[3] = {hex[2 * i], hex[2 * i + 1], 0};
        out[i] = (uint8_t)strtoul(two, nullptr, 16);
    }
}

// One request of the series; returns the number of frames answered or -1.
static int OneRequest(int fd, int n)
{
    std::vector<uint8_t> buf;
    uint32_t code;
    switch (n % 8) {
    case 0:
        code = IOCTL_FERV_GET_PUBLIC_PARAMETERS;
        buf.assign(32, 0);
        break;
    case 1:
        code = IOCTL_FERV_GET_PATH_INFO;
        buf.assign(4096, 0);
        FervStorePathName(buf.data() + 4, kPaths[n % 4]);
        break;
    case 2:
        code = IOCTL_FERV_GET_PATH_STATS;
        buf.assign(104, 0);
        FervStorePathName(buf.data() + 4, kPaths[n % 4]);
        break;
    case 3:
        code = IOCTL_FERV_GET_LUN_STATS;
        buf.assign(36, 0);
        Key(kLuns[n % 2], buf.data() + 4);
        break;
    case 4:
        code = IOCTL_FERV_GET_ALL_HBAS;
        buf.assign(4096, 0);
        break;
    case 5:
        code = IOCTL_FERV_GET_ALL_DEVICES;
        buf.assign(4096, 0);
        break;
    case 6:
        code = IOCTL_FERV_GET_DEVICE_INFO;
        buf.assign(4096, 0);
        Key(kDevice, buf.data() + 4);
        break;
    default:
        code = IOCTL_FERV_GET_LUN_INFO;
        buf.assign(4096, 0);
        Key(kLuns[n % 2], buf.data() + 4);
        break;
    }
    uint32_t sizeAt = code == IOCTL_FERV_GET_ALL_HBAS || code == IOCTL_FERV_GET_ALL_DEVICES   ? 4
                      : code == IOCTL_FERV_GET_DEVICE_INFO || code == IOCTL_FERV_GET_LUN_INFO ? 20
                                                                                              : 0;
    for (int frames = 1; frames <= 4; frames++) {
        if (sizeAt)
            FervStore32(buf.data() + sizeAt, (uint32_t)buf.size());
        if (!SendRequest(fd, code, buf))
            return -1;
        uint32_t error = 0;
        if (ReadReply(fd, &error, &buf) != 2 || error != 0)
            return -1;
        uint32_t status = FervLoad32(buf.data());
        if (status == FERV_STATUS_SUCCESS)
            return frames;
        if (status != FERV_STATUS_BUFFER_TOO_SMALL || !sizeAt)
            return -1;
        uint32_t need = FervLoad32(buf.data() + sizeAt);
        std::vector<uint8_t> bigger(need, 0);
        memcpy(bigger.data(), buf.data(), 20);
        buf.swap(bigger);
    }
    return -1;
}

// A client: requests - 1 requests, then a wait. Reports on `report`: 'P'
// once its wait is held. Exit status 0 when everything was answered.
static int Client(const std::string &root, int index, int requests, bool victim, int report)
{
    std::string path = index % 3 == 0   ? root + "/" FERV_CONTROL_DEVICE_NAME
                       : index % 3 == 1 ? root + kClass + "ferv0000"
                                        : root + kClass + "ferv0001";
    int fd = Connect(path, 30);
    if (fd < 0)
        return 2;
    for (int n = 0; n < requests - 1; n++)
        if (OneRequest(fd, index + n) < 0)
            return 3;
    std::vector<uint8_t> wait(8, 0);
    FervStore32(wait.data() + 4, 1);
    if (!SendRequest(fd, IOCTL_FERV_WAIT_FOR_CHANGE, wait))
        return 4;
    uint32_t error = 0;
    if (ReadReply(fd, &error, &wait) != 1)
        return 5;
    char c = 'P';
    if (write(report, &c, 1) != 1)
        return 6;
    if (victim) {
        for (;;)
            pause(); // killed by the parent while held
    }
    if (ReadReply(fd, &error, &wait) != 2 || error != 0 || FervLoad32(wait.data()) != 0)
        return 7;
    close(fd);
    return 0;
}

static bool Admin(const std::string &root, const char *line)
{
    int fd = Connect(root + "/fervsim.ctl", 30);
    if (fd < 0)
        return false;
    bool ok = SendAll(fd, (const uint8_t *)line, strlen(line));
    char buf[4096];
    std::string answer;
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
        answer.append(buf, (size_t)n);
    close(fd);
    return ok && answer.find("\"ok\":true") != std::string::npos;
}

static double Seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: sim_load ROOT [CLIENTS [REQUESTS [KILLED]]]\n");
        return 2;
    }
    std::string root = argv[1];
    int clients = argc > 2 ? atoi(argv[2]) : 200;
    int requests = argc > 3 ? atoi(argv[3]) : 50;
    int killed = argc > 4 ? atoi(argv[4]) : 20;
    if (clients < 1 || requests < 2 || killed < 0 || killed > clients) {
        fprintf(stderr, "sim_load: bad counts\n");
        return 2;
    }
    int report[2];
    if (pipe(report) != 0)
        return 2;
    double t0 = Seconds();
    std::vector<pid_t> pids;
    for (int i = 0; i < clients; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            close(report[0]);
            _exit(Client(root, i, requests, i < killed, report[1]));
        }
        if (pid < 0) {
            perror("fork");
            return 2;
        }
        pids.push_back(pid);
    }
    close(report[1]);

    // Every client's wait is held (or the client failed first).
    int held = 0;
    struct pollfd pfd = {report[0], POLLIN, 0};
    while (held < clients && poll(&pfd, 1, 30000) > 0) {
        char c;
        if (read(report[0], &c, 1) != 1)
            break;
        held++;
    }
    double tHeld = Seconds();
    for (int i = 0; i < killed; i++)
        kill(pids[(size_t)i], SIGKILL);
    for (int i = 0; i < killed; i++)
        waitpid(pids[(size_t)i], nullptr, 0);

    // One fabric event releases every surviving wait.
    bool released = Admin(root, "{\"args\":[\"link-down\",\"hba1-t3-lun2\"]}\n");
    int failed = 0;
    for (int i = killed; i < clients; i++) {
        int status = 0;
        waitpid(pids[(size_t)i], &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            failed++;
            fprintf(stderr, "sim_load: client %d failed (status 0x%x)\n", i, status);
        }
    }
    double t1 = Seconds();
    bool restored = Admin(root, "{\"args\":[\"link-up\",\"hba1-t3-lun2\"]}\n");

    // Still serving?
    int fd = Connect(root + "/" FERV_CONTROL_DEVICE_NAME, 30);
    bool serving = fd >= 0 && OneRequest(fd, 0) == 1;
    if (fd >= 0)
        close(fd);

    int survivors = clients - killed;
    printf("clients %d, requests each %d, killed while held %d\n", clients, requests, killed);
    printf("waits held: %d of %d after %.2f s\n", held, clients, tHeld - t0);
    printf("surviving clients answered in full: %d of %d (%d requests), total %.2f s\n", survivors - failed,
           survivors, (survivors - failed) * requests, t1 - t0);
    printf("release by link-down: %s; emulator still serving: %s\n", released && restored ? "yes" : "NO",
           serving ? "yes" : "NO");
    return held == clients && failed == 0 && released && restored && serving ? 0 : 1;
}
