// The socket server: the control device, the device interfaces and the admin
// socket under one root directory, served by one poll loop that cannot
// deadlock, until SIGINT or SIGTERM.
#ifndef FERVSIM_SERVER_H
#define FERVSIM_SERVER_H

#include <stdio.h>

#include <string>

#include "sim/model.h"

#define SIM_CONTROL_NAME "ZEL_HA_CONTROL"
#define SIM_INTERFACE_CLASS "{a8987d25-df6e-4a51-9727-49fb6f1479a2}"
#define SIM_ADMIN_NAME "fervsim.ctl"
#define SIM_LOCK_NAME "fervsim.lock"

struct SimServerOptions {
    std::string root;
    int interfaces = 2;
    bool io = true;         // simulate host I/O
    bool announce = true;   // print the "serving" line at start
    int readyFd = -1;       // written to (one byte) and closed once serving
    FILE *log = nullptr;    // log lines; null = standard error
};

// The root when neither --root nor FERV_DEVICE_ROOT names one:
// FERV_DEVICE_ROOT, then $XDG_RUNTIME_DIR/ferv, then /tmp/ferv-<uid>.
std::string SimDefaultRoot();

// Serves the model until SIGINT or SIGTERM, then removes its sockets.
// Returns the process exit status: 0 after a clean stop, 1 when it could not
// start (the reason is on standard error).
int SimServe(SimModel *m, const SimServerOptions &opt);

#endif
