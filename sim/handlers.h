// The driver's side of the fourteen control codes: one request in, one reply
// out, built from the model. Every request is one METHOD_BUFFERED buffer: the
// reply is the request's own bytes with the status word and the reply fields
// written into them.
#ifndef FERVSIM_HANDLERS_H
#define FERVSIM_HANDLERS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "sim/faults.h"
#include "sim/model.h"

// Win32 errors the emulator refuses requests with.
enum : uint32_t {
    SIM_WIN32_INVALID_FUNCTION = 1,     // not one of the driver's control codes
    SIM_WIN32_GEN_FAILURE = 31,         // default for failed completions
    SIM_WIN32_INSUFFICIENT_BUFFER = 122 // no room even for the status word
};

enum SimReplyKind { SIM_REPLY_COMPLETE = 0, SIM_REPLY_PENDING };

struct SimRequest {
    uint32_t code;
    const uint8_t *in;
    uint32_t inSize;
    uint32_t outSize;
};

// A reply's information bytes are `data`, then the shared `records` of a
// topology reply, then `tail`; at most outSize in all. A topology reply
// shares the records kept in the model instead of copying them: `data` holds
// the request's bytes before the records with the reply's fields written
// into them, `tail` the request's bytes behind the records. Every other
// reply has its bytes in `data` alone.
struct SimReply {
    SimReplyKind kind = SIM_REPLY_COMPLETE;
    uint32_t error = 0; // Win32 error of a complete reply; 0 = success
    std::vector<uint8_t> data;
    SimRecords records;
    std::vector<uint8_t> tail;
    bool overrideStatus = false; // a held request: status word to answer with on release
    uint32_t status = 0;
};

// One stretch of a reply's information bytes.
struct SimByteSpan {
    const uint8_t *bytes;
    size_t size;
};

// The reply's information bytes in order, as at most three stretches in
// spans, none empty. Returns how many.
int SimReplySpans(const SimReply &r, SimByteSpan spans[3]);

// The number of information bytes.
size_t SimReplySize(const SimReply &r);

// Moves every information byte into `data`, for code that changes the
// reply's bytes; the shared records stay as they were.
void SimReplyFlatten(SimReply *r);

// Handles one request against the model, consulting the faults when f is not
// null. A PENDING reply asks the server to hold the request until the next
// change and then call SimReleaseHeld.
void SimHandleRequest(SimModel *m, SimFaults *f, const SimRequest &req, SimReply *reply);

// Answers a held request after a change: a wait gets status 0 and the change
// counter as its key; any other request is handled now, with the status word
// the fault asked for.
void SimReleaseHeld(SimModel *m, const SimRequest &req, const SimReply &held, SimReply *reply);

// Layout sizes a request of a control code needs; false for unknown codes.
bool SimRequestMinimum(uint32_t code, uint32_t *minIn, uint32_t *minOut);

#endif
