// What every transport of the emulator shares: the model with its injected
// faults, the log, the simulated host I/O and poll timers, one request
// served on an endpoint, and one admin line of `fervsim ctl` answered. A
// transport owns only its connections and the requests it holds.
#ifndef FERVSIM_SERVICE_H
#define FERVSIM_SERVICE_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "sim/ctl.h"
#include "sim/faults.h"
#include "sim/handlers.h"
#include "sim/model.h"

struct SimService {
    SimModel *m = nullptr;
    SimFaults faults;
    FILE *log = nullptr;
    bool io = true;        // simulate host I/O
    bool ioPaused = false; // paused by `ctl io pause`
    double lastIo = 0;
    double nextPoll = 0;
};

// Seconds on a monotonic clock.
double SimNow();

// Sets up the service for endpoints 0 (control) and 1..interfaces, with the
// timers starting now. log null means standard error.
void SimServiceInit(SimService *s, SimModel *m, int interfaces, bool io, FILE *log);

// One time-stamped log line when the model's log level has the kind's bit.
void SimLogf(SimService *s, uint32_t kind, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Writes the model's pending events to the log and forgets them.
void SimDrainEvents(SimService *s);

// Serves one request that came on endpoint: a refusal injected for the
// endpoint, or the handlers' reply (which may ask to hold the request).
void SimServeRequest(SimService *s, int endpoint, const SimRequest &q, SimReply *reply);

// Answers one admin line (a JSON object {"args": [...]}) with held requests
// held at the moment. Returns the answer line, newline included; *result
// says what to do with the held requests (nothing for a malformed line).
std::string SimServeAdminLine(SimService *s, const std::string &line, int held, SimCtlResult *result);

// Runs the host I/O and the driver's poll when they are due. Returns the
// time of the next one due.
double SimServiceTick(SimService *s, double now);

// The client's side of an admin line: the line for the words, and what the
// answer line means. SimCtlPrintAnswer prints the answer's text (standard
// output, or standard error for a refusal) and returns 0 when the verb was
// carried out, 1 when it was refused, 2 when the answer is not one.
std::string SimCtlRequestLine(const std::vector<std::string> &args);
int SimCtlPrintAnswer(const std::string &answer);

#endif
