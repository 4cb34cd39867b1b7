// Arbitrary bytes as what a client sends on one connection to the emulator:
// request frames read as the server reads them (sim/frame.h), each served
// by the handlers on a fresh model with faults injected, a held request
// released by a fabric event. The first byte picks the model and the
// endpoint, the second the faults; the rest is the stream. A reply never
// carries more than the caller's output length, a held request carries
// nothing until it is released, and nothing reads past a request.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/sim_fuzz.h"
#include "sim/ctl.h"
#include "sim/frame.h"
#include "sim/service.h"

namespace {

// Faults as `fervsim ctl` injects them, one set per value of the second byte.
const std::vector<std::vector<std::string>> kFaults[] = {
    {},
    {{"answer", "GET_ALL_DEVICES", "--garble"}},
    {{"answer", "GET_DEVICE_INFO", "--garble", "2"}},
    {{"too-small", "GET_ALL_HBAS", "2"}, {"too-small", "GET_LUN_INFO", "1", "--size", "8"}},
    {{"answer", "WAIT_FOR_CHANGE", "--pend", "0"}, {"answer", "GET_PATH_INFO", "--pend", "14"}},
    {{"answer", "GET_ALL_DEVICES", "0", "3"}, {"answer", "ISSUE_DEVICE_CMD", "22"}},
    {{"refuse", "control", "5"}, {"answer", "GET_LUN_STATS", "--win32", "1167"}},
    {{"too-small", "GET_ALL_DEVICES", "1", "--size", "268435456"}, {"answer", "ISSUE_PATH_CMD", "--pend", "7"}},
};
const size_t kFaultSets = sizeof kFaults / sizeof kFaults[0];

void Check(const SimFrame &f, const SimReply &r)
{
    if (r.kind == SIM_REPLY_PENDING)
        Require(r.data.empty() && r.error == 0);
    else
        Require(r.data.size() <= f.outSize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > (1u << 20))
        return 0;
    SimModel m;
    SimService svc;
    FuzzService(data[0], &m, &svc);
    int endpoint = (data[0] >> 2) % 3;
    SimCtlContext ctx = {&m, &svc.faults, 2, false, false, 0};
    for (const std::vector<std::string> &verb : kFaults[data[1] % kFaultSets])
        Require(SimRunCtl(&ctx, verb).ok);

    // A copy of exactly the stream's size, so a read past it is seen.
    std::vector<uint8_t> stream(data + 2, data + size);
    size_t used = 0;
    for (int frames = 0; frames < 64; frames++) {
        SimFrame f;
        if (SimReadFrame(stream.data() + used, stream.size() - used, &f) != SIM_FRAME_READY)
            break;
        std::vector<uint8_t> body(f.body, f.body + f.inSize);
        SimRequest q = {f.code, body.data(), f.inSize, f.outSize};
        SimReply r;
        SimServeRequest(&svc, endpoint, q, &r);
        Check(f, r);
        if (r.kind == SIM_REPLY_PENDING && !m.paths.empty()) {
            SimSetLink(&m, 0, !m.paths[0].linkUp);
            if (SimTakeChange(&m)) {
                SimReply done;
                SimReleaseHeld(&m, q, r, &done);
                Require(done.kind == SIM_REPLY_COMPLETE);
                Check(f, done);
            }
        }
        SimDrainEvents(&svc);
        used += f.size;
    }
    return 0;
}
