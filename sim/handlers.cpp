// Request handlers of the fourteen control codes.
#include "sim/handlers.h"

#include <string.h>

#include <algorithm>

#include "lib/ferv_wire.h"
#include "lib/fervlib.h"
#include "sim/records.h"

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
static bool Fits(const SimRequest &q, SimReply *r, uint64_t need)
{
    if (need > FERV_SIZE_LIMIT) {
        SetStatus(r, FERV_STATUS_NO_MEMORY);
        return false;
    }
    if (need > q.outSize) {
        TooSmall(r, q.code, (size_t)need);
        return false;
    }
    return true;
}

// Places the records of a topology reply, `size` bytes from offset `at`,
// when they fit the caller's buffer (Fits answers when not): the reply's
// own bytes end at `at`, the records follow, and the caller's bytes behind
// them, as far as its buffer goes, make the tail. Returns whether they fit;
// the caller then hands the records over with the reply's fields.
static bool FitRecords(const SimRequest &q, SimReply *r, size_t at, uint64_t size)
{
    if (!Fits(q, r, at + size))
        return false;
    size_t end = (size_t)(at + size); // within outSize now
    size_t kept = std::min(q.inSize, q.outSize);
    if (kept > end)
        r->tail.assign(q.in + end, q.in + kept);
    r->data.resize(at, 0);
    return true;
}

static void AllHbas(SimModel *m, const SimRequest &q, SimReply *r)
{
    uint64_t size = SimHbaListSize(*m);
    // The count goes out even with status 21: callers test it before the status.
    FervStore32(At(r, FERV_ALL_COUNT, 4), (uint32_t)m->hbas.size());
    FervStore32(At(r, FERV_ALL_DATA_LENGTH, 4), (uint32_t)size);
    if (!FitRecords(q, r, FERV_ALL_DATA, size))
        return;
    r->records = SimEncodeHbaList(m);
    SetStatus(r, FERV_STATUS_SUCCESS);
}

static void AllDevices(SimModel *m, const SimRequest &q, SimReply *r)
{
    uint64_t size = SimDeviceListSize(*m, -1);
    FervStore32(At(r, FERV_ALL_COUNT, 4), (uint32_t)m->devices.size());
    FervStore32(At(r, FERV_ALL_DATA_LENGTH, 4), (uint32_t)size);
    if (!FitRecords(q, r, FERV_ALL_DATA, size))
        return;
    r->records = SimEncodeDeviceList(m, -1);
    SetStatus(r, FERV_STATUS_SUCCESS);
}

static void DeviceInfo(SimModel *m, const SimRequest &q, SimReply *r)
{
    int di = SimFindDevice(*m, q.in + FERV_DEV_KEY);
    if (di < 0) {
        SetStatus(r, FERV_STATUS_DEVICE_NOT_FOUND);
        return;
    }
    uint64_t size = SimDeviceListSize(*m, di);
    if (!FitRecords(q, r, FERV_DEV_DATA, size))
        return;
    r->records = SimEncodeDeviceList(m, di);
    FervStore32(At(r, FERV_DEV_DATA_LENGTH, 4), (uint32_t)size);
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
    uint64_t size = SimLunRecordsSize(*m, li);
    if (!FitRecords(q, r, FERV_LUNQ_LUN, size))
        return;
    r->records = SimEncodeLun(m, li);
    // The word before the LUN: bytes of LUN and path data from there on.
    FervStore32(At(r, FERV_LUNQ_LUN - 4, 4), (uint32_t)size);
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

// One row per control code: the smallest buffers its layout is served in
// (growing requests need their header and key, everything else its whole
// fixed layout), and its handler.
struct CodeRow {
    uint32_t code;
    uint32_t minIn;  // bytes the driver reads
    uint32_t minOut; // bytes the driver writes in the smallest reply
    Handler handler;
};

static const CodeRow kCodes[] = {
    {IOCTL_FERV_GET_ALL_HBAS, FERV_ALL_SIZE + 4, FERV_ALL_DATA, AllHbas},
    {IOCTL_FERV_GET_ALL_DEVICES, FERV_ALL_SIZE + 4, FERV_ALL_DATA, AllDevices},
    {IOCTL_FERV_GET_DEVICE_INFO, FERV_DEV_SIZE + 4, FERV_DEV_DATA, DeviceInfo},
    {IOCTL_FERV_GET_LUN_INFO, FERV_LUNQ_SIZE + 4, FERV_LUNQ_LUN + FERV_LUN_RECORD_SIZE, LunInfo},
    {IOCTL_FERV_GET_PATH_INFO, FERV_PATHQ_NAME + FERV_PATH_NAME_SIZE, FERV_PATHQ_REPLY_SIZE, PathInfo},
    {IOCTL_FERV_ISSUE_PATH_CMD, FERV_REQ_SIZE_PATH_CMD, FERV_REQ_SIZE_PATH_CMD, PathCommand},
    {IOCTL_FERV_ISSUE_LUN_CMD, FERV_REQ_SIZE_LUN_CMD, FERV_REQ_SIZE_LUN_CMD, LunCommand},
    {IOCTL_FERV_ISSUE_DEVICE_CMD, FERV_REQ_SIZE_DEVICE_CMD, FERV_REQ_SIZE_DEVICE_CMD, DeviceCommand},
    {IOCTL_FERV_GET_PUBLIC_PARAMETERS, FERV_REQ_SIZE_PUBLIC_PARAMS, FERV_REQ_SIZE_PUBLIC_PARAMS, GetPublic},
    {IOCTL_FERV_SET_PUBLIC_PARAMETERS, FERV_REQ_SIZE_PUBLIC_PARAMS, FERV_REQ_SIZE_PUBLIC_PARAMS, SetPublic},
    {IOCTL_FERV_SET_PRIVATE_PARAMETERS, FERV_REQ_SIZE_PRIVATE_PARAMS, FERV_REQ_SIZE_PRIVATE_PARAMS, SetPrivate},
    {IOCTL_FERV_GET_PATH_STATS, FERV_REQ_SIZE_PATH_STATS, FERV_REQ_SIZE_PATH_STATS, PathStats},
    {IOCTL_FERV_GET_LUN_STATS, FERV_REQ_SIZE_LUN_STATS, FERV_REQ_SIZE_LUN_STATS, LunStats},
    {IOCTL_FERV_WAIT_FOR_CHANGE, FERV_REQ_SIZE_WAIT, FERV_REQ_SIZE_WAIT, Wait},
};
static_assert(sizeof kCodes / sizeof kCodes[0] == 14, "one row per control code");

static const CodeRow *FindCode(uint32_t code)
{
    for (const CodeRow &row : kCodes)
        if (row.code == code)
            return &row;
    return nullptr;
}

bool SimRequestMinimum(uint32_t code, uint32_t *minIn, uint32_t *minOut)
{
    const CodeRow *row = FindCode(code);
    if (row == nullptr)
        return false;
    *minIn = row->minIn;
    *minOut = row->minOut;
    return true;
}

// A complete reply carries at most outSize bytes; a refusal and a held
// request carry none. A reply without records carries the caller's bytes
// (EchoNow), then the rest of them.
static void Finish(const SimRequest &q, SimReply *r)
{
    if (r->kind == SIM_REPLY_PENDING || r->error != 0) {
        r->data.clear();
        r->records = nullptr;
        r->tail.clear();
        return;
    }
    size_t kept = std::min(q.inSize, q.outSize);
    if (!r->records && r->data.size() < kept)
        r->data.insert(r->data.end(), q.in + r->data.size(), q.in + kept);
    if (r->data.size() > q.outSize)
        r->data.resize(q.outSize);
}

// Every reply starts as the caller's bytes. A topology request may carry up
// to 256 MiB, most of which its records take the place of, so only the
// bytes every fixed layout lies in are taken now; Finish takes the rest
// when no records came.
static const size_t ECHO_NOW = 4096;
static_assert((size_t)FERV_PATHQ_REPLY_SIZE <= ECHO_NOW && (size_t)FERV_LUNQ_LUN + FERV_LUN_RECORD_SIZE <= ECHO_NOW,
              "every fixed layout lies in the bytes taken first");

static void EchoNow(const SimRequest &q, SimReply *r)
{
    r->data.assign(q.in, q.in + std::min<size_t>(q.inSize, ECHO_NOW));
}

// Checks the sizes; on a request too small for its layout answers it and
// returns false.
static bool SizesFit(const CodeRow &row, const SimRequest &q, SimReply *r)
{
    if (q.outSize < 4) {
        r->error = SIM_WIN32_INSUFFICIENT_BUFFER; // not even the status word fits
        return false;
    }
    if (q.inSize < row.minIn || q.outSize < row.minOut) {
        SetStatus(r, FERV_STATUS_INVALID_PARAMETER);
        return false;
    }
    return true;
}

static bool IsSuccess(uint32_t status)
{
    return status == FERV_STATUS_SUCCESS || status == FERV_STATUS_ALREADY_ACTIVE;
}

// A scripted answer that stands in for the driver's work, so that nothing is
// carried out: a refusal, a request held until the next change, or a failing
// status. Returns false for a scripted success, which answers with the real
// reply data.
static bool AnswerInstead(const SimAnswer &answer, SimReply *r)
{
    if (answer.win32) {
        r->error = answer.value;
    } else if (answer.pend) {
        r->kind = SIM_REPLY_PENDING;
        r->overrideStatus = true;
        r->status = answer.value;
    } else if (!IsSuccess(answer.value)) {
        SetStatus(r, answer.value);
    } else {
        return false;
    }
    return true;
}

// One scripted round of "buffer too small" for a growing request: 21 with
// the size to name (by default a little more than the caller sent). Returns
// false when no round is due.
static bool AnswerTooSmallRound(SimModel *m, SimFaults *f, const SimRequest &q, SimReply *r)
{
    uint32_t size = 0;
    if (!FervSizeWordOffset(q.code) || !SimFaultTakeTooSmall(f, q.code, &size))
        return false;
    if (size == 0)
        size = (uint32_t)std::min<uint64_t>((uint64_t)q.outSize + 256, FERV_SIZE_LIMIT);
    // Callers test the HBA count before the status.
    if (q.code == IOCTL_FERV_GET_ALL_HBAS)
        FervStore32(At(r, FERV_ALL_COUNT, 4), (uint32_t)m->hbas.size());
    TooSmall(r, q.code, size);
    return true;
}

// A malformed reply on request: the first device record claims one LUN at
// least and points its LUN list far past the reply's data. Failed replies
// (a buffer too small included), and those too short to hold a device
// record, stay as they are. Returns true when the reply was garbled.
static bool Garble(const SimRequest &q, SimReply *r)
{
    SimReplyFlatten(r);
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

// Puts one scripted answer back at the head of the script, for the next
// request of its code.
static void KeepForNext(SimFaults *f, SimAnswer answer)
{
    answer.count = 1;
    f->answers.insert(f->answers.begin(), answer);
}

// A scripted success or garble applied to the handler's real reply. A reply
// that does not fit is answered 21 as the driver would; the script is then
// kept for the next whole reply of the code.
// True when the handler's reply holds a status word other than 21: a reply
// the request's buffer had room for.
static bool IsWholeReply(const SimReply &r)
{
    return r.data.size() >= 4 && FervLoad32(r.data.data() + FERV_REQ_STATUS) != FERV_STATUS_BUFFER_TOO_SMALL;
}

static void ApplyToReply(SimFaults *f, SimAnswer answer, SimReply *r, const SimRequest &q)
{
    if (r->kind == SIM_REPLY_PENDING)
        return;
    bool whole = IsWholeReply(*r);
    if (whole && answer.garble)
        whole = Garble(q, r);
    else if (whole)
        SetStatus(r, answer.value);
    if (!whole)
        KeepForNext(f, answer);
}

void SimHandleRequest(SimModel *m, SimFaults *f, const SimRequest &q, SimReply *r)
{
    *r = SimReply();
    const CodeRow *row = FindCode(q.code);
    if (row == nullptr) {
        r->error = SIM_WIN32_INVALID_FUNCTION;
        return;
    }
    EchoNow(q, r);
    if (SizesFit(*row, q, r)) {
        SimAnswer answer;
        bool scripted = f && SimFaultTakeAnswer(f, q.code, &answer);
        if (scripted && AnswerInstead(answer, r)) {
            // answered by the script
        } else if (f && AnswerTooSmallRound(m, f, q, r)) {
            // A scripted success waits for the round after.
            if (scripted)
                KeepForNext(f, answer);
        } else {
            row->handler(m, q, r);
            if (scripted)
                ApplyToReply(f, answer, r, q);
        }
    }
    Finish(q, r);
}
void SimReleaseHeld(SimModel *m, const SimRequest &q, const SimReply &held, SimReply *r)
{
    if (!held.overrideStatus) {
        *r = SimReply();
        EchoNow(q, r);
        CompleteWait(m, r);
        Finish(q, r);
        return;
    }
    bool success = IsSuccess(held.status);
    if (success && q.code != IOCTL_FERV_WAIT_FOR_CHANGE) {
        SimHandleRequest(m, nullptr, q, r);
        if (r->kind == SIM_REPLY_PENDING) {
            // Defensive: a request released after a change never waits again.
            r->kind = SIM_REPLY_COMPLETE;
            EchoNow(q, r);
        }
        // A reply the buffer has no room for keeps its 21 and the size it
        // names, as the driver would answer: a scripted success laid over
        // it would hand the client a reply that is not there.
        if (!IsWholeReply(*r)) {
            Finish(q, r);
            return;
        }
    } else {
        *r = SimReply();
        EchoNow(q, r);
        if (q.code == IOCTL_FERV_WAIT_FOR_CHANGE && success)
            CompleteWait(m, r);
    }
    SetStatus(r, held.status);
    Finish(q, r);
}

int SimReplySpans(const SimReply &r, SimByteSpan spans[3])
{
    int n = 0;
    if (!r.data.empty())
        spans[n++] = {r.data.data(), r.data.size()};
    if (r.records && !r.records->empty())
        spans[n++] = {r.records->data(), r.records->size()};
    if (!r.tail.empty())
        spans[n++] = {r.tail.data(), r.tail.size()};
    return n;
}

size_t SimReplySize(const SimReply &r)
{
    return r.data.size() + (r.records ? r.records->size() : 0) + r.tail.size();
}

void SimReplyFlatten(SimReply *r)
{
    if (r->records) {
        r->data.insert(r->data.end(), r->records->begin(), r->records->end());
        r->records = nullptr;
    }
    r->data.insert(r->data.end(), r->tail.begin(), r->tail.end());
    r->tail.clear();
}
