// The verbs of `fervsim ctl`: fabric events, injected faults, counters and
// the view of the model. The server runs them on the model it serves; the
// server then acts on what the result asks of it (waking or failing the held
// requests).
#ifndef FERVSIM_CTL_H
#define FERVSIM_CTL_H

#include <stdint.h>

#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/model.h"

struct SimCtlContext {
    SimModel *model;
    SimFaults *faults;
    int interfaces; // device interfaces served (endpoints 1..interfaces)
    bool ioPaused;  // simulated host I/O stopped
    bool pollNow;   // set by the verb `poll`: the server polls at once
    int held;       // requests held at the moment
};

struct SimCtlResult {
    bool ok = false;
    std::string text;      // printed by `fervsim ctl`: the answer, or the reason for a refusal
    bool failHeld = false; // complete every held request with failError
    bool dropHeld = false; // close the connection of every held request
    uint32_t failError = 0;
};

// Runs one verb with its words. Never exits or throws; a malformed verb gives
// ok = false and a message.
SimCtlResult SimRunCtl(SimCtlContext *ctx, const std::vector<std::string> &args);

// The text of `fervsim ctl help`.
const char *SimCtlUsage();

#endif
