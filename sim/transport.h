// The emulator's transport seam: how clients reach the model. One transport
// is built per platform, each in a file of its own:
//   transport_unix.cpp    the device namespace of Unix-domain sockets under a
//                         root directory, and the admin socket beside it;
//   transport_winpipe.cpp the relay driver's pipe on Windows (the driver
//                         shows the control device and the interfaces and
//                         hands every request over), and a named pipe for
//                         `fervsim ctl`.
// Both serve the same model, handlers, faults and ctl verbs (sim/service.h).
#ifndef FERVSIM_TRANSPORT_H
#define FERVSIM_TRANSPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

#include "sim/model.h"

// Beside the device namespace (proto/ferv_proto.h) under the root: the admin
// socket of `fervsim ctl` and the lock held while serving.
#define SIM_ADMIN_NAME "fervsim.ctl"
#define SIM_LOCK_NAME "fervsim.lock"
// The admin pipe of the Windows transport.
#define SIM_ADMIN_PIPE "\\\\.\\pipe\\FervSimCtl"

#define SIM_DEFAULT_MAX_CONNECTIONS 16384
#define SIM_DEFAULT_IDLE_TIMEOUT 600.0
#define SIM_DEFAULT_BUFFER_LIMIT (1ull << 30)

struct SimServerOptions {
    std::string root;     // Unix: the namespace's root directory; unused on Windows
    int interfaces = 2;   // interfaces served (Unix) or known to the faults (Windows)
    bool io = true;       // simulate host I/O
    bool announce = true; // print the "serving" line at start
    int readyFd = -1;     // Unix: written to (one byte) and closed once serving
    FILE *log = nullptr;  // log lines; null = standard error
    // Unix: limits that keep one client, or many, from starving the others.
    size_t maxConnections = SIM_DEFAULT_MAX_CONNECTIONS; // request connections held at once
    double idleTimeout = SIM_DEFAULT_IDLE_TIMEOUT;       // seconds a connection without a held
                                                         // request may stay silent; 0 = no limit
    uint64_t bufferLimit = SIM_DEFAULT_BUFFER_LIMIT;     // bytes held for all connections together
};

// The usage text of fervsim on this platform.
extern const char SimUsageText[];

// The root when neither --root nor FERV_DEVICE_ROOT names one:
// FERV_DEVICE_ROOT, then $XDG_RUNTIME_DIR/ferv, then /tmp/ferv-<uid>.
std::string SimDefaultRoot();

// Serves the model until stopped (SIGINT or SIGTERM on Unix; on Windows
// until the process ends, serving the relay again whenever it comes back),
// then removes what it made. Returns the process exit status: 0 after a
// clean stop, 1 when it could not start (the reason is on standard error).
int SimServe(SimModel *m, const SimServerOptions &opt);

// `fervsim run`: serves the model in a fresh temporary root, runs argv there
// with FERV_DEVICE_ROOT set, stops the emulator and removes the root.
// Returns the command's exit status, 128 + signal when a signal ended it,
// 127 when it could not be started, 1 when the emulator could not start; 2
// where the platform has no private namespace to offer (Windows).
int SimRunCommand(SimModel *m, const SimServerOptions &opt, const std::vector<std::string> &argv);

// The local time of t, for log stamps.
void SimLocalTime(time_t t, struct tm *out);

// Advises the system that the buffer of `size` bytes at `bytes`, not yet
// touched and about to be filled once, is best served by huge pages where
// the platform has them: a buffer of several MiB then costs a few page
// faults instead of thousands. A hint only; smaller buffers are left alone.
// A buffer so advised must not be grown by realloc (its pages may no longer
// be moved in one piece).
void SimAdviseLargeBuffer(void *bytes, size_t size);

// Sends one verb to the running emulator (serving root, on Unix) and prints
// its answer (standard output, or standard error for a refusal).
// Returns 0 when the verb was carried out, 1 when it was refused, 2 when no
// emulator answers.
int SimCtlClient(const std::string &root, const std::vector<std::string> &args);

#endif
