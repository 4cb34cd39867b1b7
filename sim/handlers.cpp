// Request handlers of the fourteen control codes.
#include "sim/handlers.h"

#include <string.h>

#include <algorithm>

#include "lib/ferv_wire.h"
#include "lib/fervlib.h"
#include "sim/records.h"

struct CodeSizes {
    uint32_t code;
    uint32_t minIn;  // bytes the driver reads
    uint32_t minOut; // bytes the driver writes in the smallest reply
};

// The smallest buffer each layout is served in. Growing requests need their
// header (and key); everything else needs its whole fixed layout.
static const CodeSizes kSizes[] = {
    {IOCTL_FERV_GET_ALL_HBAS, FERV_ALL_SIZE + 4, FERV_ALL_DATA},
    {IOCTL_FERV_GET_ALL_DEVICES, FERV_ALL_SIZE + 4, FERV_ALL_DATA},
    {IOCTL_FERV_GET_DEVICE_INFO, FERV_DEV_SIZE + 4, FERV_DEV_DATA},
    {IOCTL_FERV_GET_LUN_INFO, FERV_LUNQ_SIZE + 4, FERV_LUNQ_LUN + FERV_LUN_RECORD_SIZE},
    {IOCTL_FERV_GET_PATH_INFO, FERV_PATHQ_NAME + FERV_PATH_NAME_SIZE, FERV_PATHQ_REPLY_SIZE},
    {IOCTL_FERV_ISSUE_PATH_CMD, FERV_REQ_SIZE_PATH_CMD, FERV_REQ_SIZE_PATH_CMD},
    {IOCTL_FERV_ISSUE_LUN_CMD, FERV_REQ_SIZE_LUN_CMD, FERV_REQ_SIZE_LUN_CMD},
    {IOCTL_FERV_ISSUE_DEVICE_CMD, FERV_REQ_SIZE_DEVICE_CMD, FERV_REQ_SIZE_DEVICE_CMD},
    {IOCTL_FERV_GET_PUBLIC_PARAMETERS, FERV_REQ_SIZE_PUBLIC_PARAMS, FERV_REQ_SIZE_PUBLIC_PARAMS},
    {IOCTL_FERV_SET_PUBLIC_PARAMETERS, FERV_REQ_SIZE_PUBLIC_PARAMS, FERV_REQ_SIZE_PUBLIC_PARAMS},
    {IOCTL_FERV_SET_PRIVATE_PARAMETERS, FERV_REQ_SIZE_PRIVATE_PARAMS, FERV_REQ_SIZE_PRIVATE_PARAMS},
    {IOCTL_FERV_GET_PATH_STATS, FERV_REQ_SIZE_PATH_STATS, FERV_REQ_SIZE_PATH_STATS},
    {IOCTL_FERV_GET_LUN_STATS, FERV_REQ_SIZE_LUN_STATS, FERV_REQ_SIZE_LUN_STATS},
    {IOCTL_FERV_WAIT_FOR_CHANGE, FERV_REQ_SIZE_WAIT, FERV_REQ_SIZE_WAIT},
};
static_assert(sizeof kSizes / sizeof kSizes[0] == 14, "one entry per control code");

bool SimRequestMinimum(uint32_t code, uint32_t *minIn, uint32_t *minOut)
{
    for (const CodeSizes &s : kSizes) {
        if (s.code == code) {
            *minIn = s.minIn;
            *minOut = s.minOut;
            return true;
        }
    }
    return false;
}

// The reply buffer starts as the request's bytes; handlers grow it to what
// they write, never past outSize (checked by each handler).
static uint8_t *At(SimReply *r, size_t off, size_t len)
{
    if (r->data.size() < off + len)
        r->data.resize(off + len, 0);
    return r->data.data() + off;
}

static void SetStatus(SimReply *r, FERV_STATUS st)
{
    FervStore32(At(r, FERV_REQ_STATUS, 4), st);
}

// "Buffer too small": the status and the size the caller must send next.
static void TooSmall(SimReply *r, uint32_t code, size_t need)
{
    SetStatus(r, FERV_STATUS_BUFFER_TOO_SMALL);
    FervStore32(At(r, FervSizeWordOffset(code), 4), (uint32_t)need);
}

// Whether a topology reply of `need` bytes fits the caller's buffer. When it
// does not, the status says why: 9 for a reply larger than any buffer a
// caller can send, else 21 with the size to send next.
static bool Fits(const SimRequest &q, SimReply *r, size_t need)
{
    if (need > FERV_SIZE_LIMIT) {
        SetStatus(r, FERV_STATUS_NO_MEMORY);
        return false;
    }
    if (need > q.outSize) {
        TooSmall(r, q.code, need);
        return false;
    }
    return true;
}

static void AllHbas(SimModel *m, const SimRequest &q, SimReply *r)
{
    size_t need = SimBuildHbaList(*m, &r->data, FERV_ALL_DATA, q.outSize);
    // The count goes out even with status 21: callers test it before the status.
    FervStore32(At(r, FERV_ALL_COUNT, 4), (uint32_t)m->hbas.size());
    FervStore32(At(r, FERV_ALL_DATA_LENGTH, 4), (uint32_t)(need - FERV_ALL_DATA));
    if (Fits(q, r, need))
        SetStatus(r, FERV_STATUS_SUCCESS);
}

static void AllDevices(SimModel *m, const SimRequest &q, SimReply *r)
{
    std::vector<int> all(m->devices.size());
    for (size_t i = 0; i < all.size(); i++)
        all[i] = (int)i;
    size_t need = SimBuildDeviceList(*m, all, &r->data, FERV_ALL_DATA, q.outSize);
    FervStore32(At(r, FERV_ALL_COUNT, 4), (uint32_t)m->devices.size());
    FervStore32(At(r, FERV_ALL_DATA_LENGTH, 4), (uint32_t)(need - FERV_ALL_DATA));
    if (Fits(q, r, need))
        SetStatus(r, FERV_STATUS_SUCCESS);
}

static void DeviceInfo(SimModel *m, const SimRequest &q, SimReply *r)
{
    int di = SimFindDevice(*m, q.in + FERV_DEV_KEY);
    if (di < 0) {
        SetStatus(r, FERV_STATUS_DEVICE_NOT_FOUND);
        return;
    }
    size_t need = SimBuildDeviceList(*m, std::vector<int>{di}, &r->data, FERV_DEV_DATA, q.outSize);
    if (!Fits(q, r, need))
        return;
    FervStore32(At(r, FERV_DEV_DATA_LENGTH, 4), (uint32_t)(need - FERV_DEV_DATA));
    FervStore32(At(r, FERV_DEV_DATA_LENGTH + 4, 4), 1); // devices in the list
    SetStatus(r, FERV_STATUS_SUCCESS);
}

static void LunInfo(SimModel *m, const SimRequest &q, SimReply *r)
{
    int li = SimFindLun(*m, q.in + FERV_LUNQ_KEY);
    if (li < 0) {
        SetStatus(r, FERV_STATUS_LUN_NOT_FOUND);
        return;
    }
    const size_t area = FERV_LUNQ_LUN + FERV_LUN_RECORD_SIZE;
    size_t need = SimBuildLun(*m, li, &r->data, FERV_LUNQ_LUN, area, q.outSize);
    if (!Fits(q, r, need))
        return;
    // The word before the LUN: bytes of LUN and path data from there on.
    FervStore32(At(r, FERV_LUNQ_LUN - 4, 4), (uint32_t)(need - FERV_LUNQ_LUN));
    SetStatus(r, FERV_STATUS_SUCCESS);
}

static void PathInfo(SimModel *m, const SimRequest &q, SimReply *r)
{
    int pi = SimFindPath(*m, SimPathKeyFromField(q.in + FERV_PATHQ_NAME));
    if (pi < 0) {
        SetStatus(r, FERV_STATUS_PATH_NOT_FOUND);
        return;
    }
    SimWritePathRecord(*m, pi, At(r, FERV_PATHQ_PATH, FERV_PATH_RECORD_SIZE));
    SetStatus(r, FERV_STATUS_SUCCESS);
}

static void PathCommand(SimModel *m, const SimRequest &q, SimReply *r)
{
    int pi = SimFindPath(*m, SimPathKeyFromField(q.in + FERV_CMD_PATH_NAME));
    if (pi < 0) {
        SetStatus(r, FERV_STATUS_PATH_NOT_FOUND);
        return;
    }
    SetStatus(r, SimPathCommand(m, pi, q.in[FERV_CMD_PATH_CODE]));
}

static void LunCommand(SimModel *m, const SimRequest &q, SimReply *r)
{
    int li = SimFindLun(*m, q.in + FERV_CMD_KEY);
    if (li < 0) {
        SetStatus(r, FERV_STATUS_LUN_NOT_FOUND);
        return;
    }
    SetStatus(r, SimLunCommand(m, li, q.in[FERV_CMD_KEY_CODE]));
}

static void DeviceCommand(SimModel *m, const SimRequest &q, SimReply *r)
{
    int32_t ok = 0, failed = 0;
    int di = SimFindDevice(*m, q.in + FERV_CMD_KEY);
    FERV_STATUS st = di < 0 ? (FERV_STATUS)FERV_STATUS_DEVICE_NOT_FOUND
                            : SimDeviceCommand(m, di, q.in[FERV_CMD_KEY_CODE], &ok, &failed);
    FervStore32(At(r, FERV_CMD_DEV_SUCCESSFUL, 4), (uint32_t)ok);
    FervStore32(At(r, FERV_CMD_DEV_FAILED, 4), (uint32_t)failed);
    SetStatus(r, st);
}

static void GetPublic(SimModel *m, const SimRequest &, SimReply *r)
{
    const SimParams &p = m->params;
    uint8_t *w = At(r, FERV_PARAMS_WORDS, 28);
    FervStore32(w + 0, (uint32_t)p.pollRate);
    FervStore32(w + 4, (uint32_t)p.autoFailBack);
    FervStore32(w + 8, p.logLevel);
    for (int i = 0; i < 4; i++)
        FervStore32(w + 12 + 4 * i, (uint32_t)p.driverVersion[i]);
    SetStatus(r, FERV_STATUS_SUCCESS);
}

static void SetPublic(SimModel *m, const SimRequest &q, SimReply *r)
{
    uint32_t words[7];
    for (int i = 0; i < 7; i++)
        words[i] = FervLoad32(q.in + FERV_PARAMS_WORDS + 4 * i);
    SetStatus(r, SimSetPublicParameters(m, words));
}

static void SetPrivate(SimModel *m, const SimRequest &q, SimReply *r)
{
    uint32_t words[3];
    for (int i = 0; i < 3; i++)
        words[i] = FervLoad32(q.in + FERV_PARAMS_WORDS + 4 * i);
    SimSetPrivateParameters(m, words);
    SetStatus(r, FERV_STATUS_SUCCESS);
}

static void StoreCounters(uint8_t *p, const SimCounters &c)
{
    FervStore32(p + 0, c.ioErrors);
    FervStore32(p + 4, c.hostRequests);
    FervStore32(p + 8, c.outstandingIo);
    FervStore32(p + 12, c.blocksTransferred);
}

static void PathStats(SimModel *m, const SimRequest &q, SimReply *r)
{
    int pi = SimFindPath(*m, SimPathKeyFromField(q.in + FERV_CMD_PATH_NAME));
    if (pi < 0) {
        SetStatus(r, FERV_STATUS_PATH_NOT_FOUND);
        return;
    }
    StoreCounters(At(r, FERV_STATS_PATH, 16), m->paths[pi].counters);
    SetStatus(r, FERV_STATUS_SUCCESS);
}

static void LunStats(SimModel *m, const SimRequest &q, SimReply *r)
{
    int li = SimFindLun(*m, q.in + FERV_CMD_KEY);
    if (li < 0) {
        SetStatus(r, FERV_STATUS_LUN_NOT_FOUND);
        return;
    }
    StoreCounters(At(r, FERV_STATS_LUN, 16), SimLunCounters(*m, li));
    SetStatus(r, FERV_STATUS_SUCCESS);
}

static void CompleteWait(SimModel *m, SimReply *r)
{
    FervStore32(At(r, FERV_WAIT_KEY, 4), m->changeCounter);
    SetStatus(r, FERV_STATUS_SUCCESS);
}

static void Wait(SimModel *m, const SimRequest &q, SimReply *r)
{
    uint32_t key = FervLoad32(q.in + FERV_WAIT_KEY);
    // A caller that knows the current counter (or knows none: key 1) waits
    // for the next change; any other key has missed changes already.
    if (key == 1 || key == m->changeCounter) {
        r->kind = SIM_REPLY_PENDING;
        return;
    }
    CompleteWait(m, r);
}

typedef void (*Handler)(SimModel *m, const SimRequest &q, SimReply *r);

struct CodeHandler {
    uint32_t code;
    Handler handler;
};

static const CodeHandler kHandlers[] = {
    {IOCTL_FERV_GET_ALL_HBAS, AllHbas},
    {IOCTL_FERV_GET_ALL_DEVICES, AllDevices},
    {IOCTL_FERV_GET_DEVICE_INFO, DeviceInfo},
    {IOCTL_FERV_GET_LUN_INFO, LunInfo},
    {IOCTL_FERV_GET_PATH_INFO, PathInfo},
    {IOCTL_FERV_ISSUE_PATH_CMD, PathCommand},
    {IOCTL_FERV_ISSUE_LUN_CMD, LunCommand},
    {IOCTL_FERV_ISSUE_DEVICE_CMD, DeviceCommand},
    {IOCTL_FERV_GET_PUBLIC_PARAMETERS, GetPublic},
    {IOCTL_FERV_SET_PUBLIC_PARAMETERS, SetPublic},
    {IOCTL_FERV_SET_PRIVATE_PARAMETERS, SetPrivate},
    {IOCTL_FERV_GET_PATH_STATS, PathStats},
    {IOCTL_FERV_GET_LUN_STATS, LunStats},
    {IOCTL_FERV_WAIT_FOR_CHANGE, Wait},
};
static_assert(sizeof kHandlers / sizeof kHandlers[0] == 14, "one handler per control code");

static Handler FindHandler(uint32_t code)
{
    for (const CodeHandler &h : kHandlers)
        if (h.code == code)
            return h.handler;
    return nullptr;
}

// A complete reply carries at most outSize bytes; a refusal and a held
// request carry none.
static void Finish(const SimRequest &q, SimReply *r)
{
    if (r->kind == SIM_REPLY_PENDING || r->error != 0)
        r->data.clear();
    else if (r->data.size() > q.outSize)
        r->data.resize(q.outSize);
}

// Checks the sizes; on a request too small for its layout answers it and
// returns false.
static bool SizesFit(const SimRequest &q, SimReply *r)
{
    uint32_t minIn = 0, minOut = 0;
    SimRequestMinimum(q.code, &minIn, &minOut);
    if (q.outSize < 4) {
        r->error = SIM_WIN32_INSUFFICIENT_BUFFER; // not even the status word fits
        return false;
    }
    if (q.inSize < minIn || q.outSize < minOut) {
        SetStatus(r, FERV_STATUS_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// A malformed reply on request: the first device record claims one LUN at
// least and points its LUN list far past the reply's data. Failed replies
// (a buffer too small included), and those too short to hold a device
// record, stay as they are. Returns true when the reply was garbled.
static bool Garble(const SimRequest &q, SimReply *r)
{
    size_t device = q.code == IOCTL_FERV_GET_ALL_DEVICES ? FERV_ALL_DATA : FERV_DEV_DATA;
    if (r->data.size() < device + FERV_DEVICE_LUN_LIST + 4 ||
        FervLoad32(r->data.data() + FERV_REQ_STATUS) != FERV_STATUS_SUCCESS)
        return false;
    uint8_t *d = r->data.data() + device;
    if (FervLoad32(d + FERV_DEVICE_LUN_COUNT) == 0)
        FervStore32(d + FERV_DEVICE_LUN_COUNT, 1);
    FervStore32(d + FERV_DEVICE_LUN_LIST, 0x100000);
    return true;
}

void SimHandleRequest(SimModel *m, SimFaults *f, const SimRequest &q, SimReply *r)
{
    *r = SimReply();
    Handler h = FindHandler(q.code);
    if (!h) {
        r->error = SIM_WIN32_INVALID_FUNCTION;
        return;
    }
    r->data.assign(q.in, q.in + q.inSize);
    if (!SizesFit(q, r)) {
        Finish(q, r);
        return;
    }

    SimAnswer answer;
    bool scripted = f && SimFaultTakeAnswer(f, q.code, &answer);
    if (scripted && answer.win32) {
        r->error = answer.value;
        Finish(q, r);
        return;
    }
    if (scripted && answer.pend) {
        r->kind = SIM_REPLY_PENDING;
        r->overrideStatus = true;
        r->status = answer.value;
        Finish(q, r);
        return;
    }
    uint32_t size = 0;
    if (f && FervSizeWordOffset(q.code) && SimFaultTakeTooSmall(f, q.code, &size)) {
        if (size == 0)
            size = (uint32_t)std::min<uint64_t>((uint64_t)q.outSize + 256, FERV_SIZE_LIMIT);
        if (q.code == IOCTL_FERV_GET_ALL_HBAS)
            FervStore32(At(r, FERV_ALL_COUNT, 4), (uint32_t)m->hbas.size());
        TooSmall(r, q.code, size);
        Finish(q, r);
        return;
    }
    // A scripted failure stands in for the driver's work: nothing is carried
    // out. A scripted success (0 or 14) answers with the real reply data.
    if (scripted && answer.value != FERV_STATUS_SUCCESS && answer.value != FERV_STATUS_ALREADY_ACTIVE) {
        SetStatus(r, answer.value);
        Finish(q, r);
        return;
    }
    h(m, q, r);
    // A real reply that does not fit is answered 21 as the driver would: a
    // scripted success or garble is kept for the next whole reply of the code.
    bool whole = r->kind != SIM_REPLY_PENDING && r->data.size() >= 4 &&
                 FervLoad32(r->data.data() + FERV_REQ_STATUS) != FERV_STATUS_BUFFER_TOO_SMALL;
    if (scripted && whole && answer.garble)
        whole = Garble(q, r);
    else if (scripted && whole)
        SetStatus(r, answer.value);
    if (scripted && !whole && r->kind != SIM_REPLY_PENDING) {
        answer.count = 1;
        f->answers.insert(f->answers.begin(), answer);
    }
    Finish(q, r);
}

void SimReleaseHeld(SimModel *m, const SimRequest &q, const SimReply &held, SimReply *r)
{
    if (!held.overrideStatus) {
        *r = SimReply();
        r->data.assign(q.in, q.in + q.inSize);
        CompleteWait(m, r);
        Finish(q, r);
        return;
    }
    bool success = held.status == FERV_STATUS_SUCCESS || held.status == FERV_STATUS_ALREADY_ACTIVE;
    if (success && q.code != IOCTL_FERV_WAIT_FOR_CHANGE) {
        SimHandleRequest(m, nullptr, q, r);
        if (r->kind == SIM_REPLY_PENDING) {
            // Defensive: a request released after a change never waits again.
            r->kind = SIM_REPLY_COMPLETE;
            r->data.assign(q.in, q.in + q.inSize);
        }
    } else {
        *r = SimReply();
        r->data.assign(q.in, q.in + q.inSize);
        if (q.code == IOCTL_FERV_WAIT_FOR_CHANGE && success)
            CompleteWait(m, r);
    }
    SetStatus(r, held.status);
    Finish(q, r);
}
