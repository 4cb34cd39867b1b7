// Faults an operator injects through `fervsim ctl`: endpoints that refuse
// every request, scripted answers for the next requests of a control code,
// and rounds of "buffer too small". The server and the handlers consult them
// for every request.
#ifndef FERVSIM_FAULTS_H
#define FERVSIM_FAULTS_H

#include <stdint.h>

#include <string>
#include <vector>

// Endpoint numbers: 0 is the control device, 1 + i is interface i.
enum { SIM_ENDPOINT_CONTROL = 0 };

struct SimAnswer {
    uint32_t code;       // control code this answer is for
    uint32_t count;      // requests left to answer this way
    bool win32;          // true: refuse outright with a Win32 error; false: status word
    bool pend;           // hold the request until the next change, then answer
    uint32_t value;      // the Win32 error or the status word
    bool garble = false; // answer with a device list whose first LUN list lies outside the reply
};

struct SimTooSmall {
    uint32_t code;
    uint32_t rounds;
    uint32_t size; // size to name; 0 = a little more than the caller sent
};

struct SimFaults {
    std::vector<uint32_t> refuse; // per endpoint: Win32 error, 0 = accept
    std::vector<SimAnswer> answers;
    std::vector<SimTooSmall> tooSmall;
};

void SimFaultsInit(SimFaults *f, int endpoints);

// The Win32 error that endpoint refuses every request with, or 0.
uint32_t SimFaultRefusal(const SimFaults &f, int endpoint);

// Takes the next scripted answer for a control code. Returns false when none
// is left.
bool SimFaultTakeAnswer(SimFaults *f, uint32_t code, SimAnswer *out);

// Takes one round of "buffer too small" for a control code; *size is the
// size to name (0 = choose). Returns false when none is left.
bool SimFaultTakeTooSmall(SimFaults *f, uint32_t code, uint32_t *size);

// Drops every scripted answer, round and refusal.
void SimFaultsClear(SimFaults *f);

// One line per fault in force, for `ctl show` and `ctl faults`.
std::string SimFaultsDescribe(const SimFaults &f);

// The endpoint a ctl word names: "control", or an interface number.
// Returns -1 for anything else.
int SimParseEndpoint(const std::string &word, int interfaces);

// A control code from its name (with or without the IOCTL_FERV_ prefix, any
// case) or its value in hexadecimal. Returns 0 when the word names none.
uint32_t SimParseControlCode(const std::string &word);
// The name of a control code without its prefix, or "0x..." for others.
std::string SimControlCodeText(uint32_t code);

#endif
