// The Windows transport: the relay driver (winrelay/relay.sys) shows the
// control device and as many device interfaces as we serve, and hands every
// client request to us over its pipe; we answer each at once (a reply, a
// refusal as an NTSTATUS error, or "held"), finish held requests when the
// model changes, and forget those whose handle the client closed. `fervsim ctl` reaches us over a named pipe of our
// own. One thread waits on both pipes and the timers with overlapped I/O, so nothing here can block the relay for
// long.
#include "sim/transport.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "lib/ferv_wire.h"
#include "proto/relay_attach.h"
#include "sim/service.h"

static const DWORD kChunk = 65536;
static const size_t kAdminLineLimit = 1 << 20;
static const DWORD kAdminIoMs = 5000;    // a ctl client that stalls this long is dropped
static const DWORD kAttachRetryMs = 200; // between attempts to reach the relay

// On Windows the relay driver stands where the socket namespace does: there
// is no root, and `run` (a private namespace for one command) does not apply.
const char SimUsageText[] =
    "usage: fervsim [options]                     serve behind the relay driver until ended\n"
    "       fervsim ctl VERB ...                  change a running emulator (fervsim ctl help)\n"
    "options:\n"
    "  --interfaces N       interfaces the relay shows, for ctl refuse (default 2)\n"
    "  --topology FILE      load the topology from a JSON file\n"
    "  --generate D:L:P     a synthetic topology: D devices, L LUNs each, P paths per LUN\n"
    "  --no-io              no simulated host I/O (counters move only by ctl)\n"
    "  --seed N             seed of the simulated I/O\n"
    "  --log FILE           append log lines to FILE instead of standard error\n"
    "  --quiet              no start line\n"
    "  --help               this text\n"
    "  --version            print the version and exit\n"
    "(fervsim run is not available on Windows; --root, --max-connections, --idle-timeout and\n"
    " --buffer-limit are accepted and ignored)\n";

struct Held {
    uint32_t id;
    uint32_t handle;
    uint32_t code;
    uint32_t outSize;
    std::vector<uint8_t> request;
    SimReply heldReply;
};

struct Relay {
    SimService svc;
    SimServerOptions opt;
    bool announced = false;

    // The relay's pipe and the service device while attached.
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE service = INVALID_HANDLE_VALUE;
    OVERLAPPED readOv;
    OVERLAPPED writeOv;
    bool reading = false;
    bool broken = false;
    double nextKeepalive = 0;
    std::vector<uint8_t> chunk;
    std::vector<uint8_t> in;
    std::vector<Held> held;

    // The admin pipe, waiting for the next ctl client.
    HANDLE admin = INVALID_HANDLE_VALUE;
    OVERLAPPED adminOv;
    bool adminConnected = false; // a client connected before the wait began
};

static bool Attached(const Relay *r)
{
    return r->pipe != INVALID_HANDLE_VALUE;
}

// ---- the relay's pipe ------------------------------------------------------------------

static void WriteAll(Relay *r, const uint8_t *p, size_t n)
{
    while (n && !r->broken) {
        DWORD chunk = n > kChunk ? kChunk : (DWORD)n, done = 0;
        ResetEvent(r->writeOv.hEvent);
        BOOL ok = WriteFile(r->pipe, p, chunk, &done, &r->writeOv);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            ok = GetOverlappedResult(r->pipe, &r->writeOv, &done, TRUE);
        if (!ok || done == 0) {
            r->broken = true;
            return;
        }
        p += done;
        n -= done;
    }
}

// Writes an answer with the reply's information bytes (none when reply is
// null), straight from its stretches.
static void Answer(Relay *r, uint32_t kind, uint32_t id, uint32_t status, const SimReply *reply, uint32_t outSize)
{
    SimByteSpan spans[3];
    int count = reply ? SimReplySpans(*reply, spans) : 0;
    size_t size = reply ? SimReplySize(*reply) : 0;
    if (size > outSize)
        size = outSize; // never more than the client's buffer holds
    uint8_t h[FERV_RELAY_ANS_SIZE];
    FervRelayStoreAnswer(h, kind, id, status, (uint32_t)size);
    WriteAll(r, h, sizeof h);
    for (int i = 0; i < count && size > 0; i++) {
        size_t part = spans[i].size < size ? spans[i].size : size;
        WriteAll(r, spans[i].bytes, part);
        size -= part;
    }
}

// Shows the control device and the first `interfaces` instances, and promises
// the keepalives the loop sends.
static void Show(Relay *r)
{
    std::vector<uint8_t> flags(1 + (size_t)r->opt.interfaces, 1);
    if (flags.size() > FERV_RELAY_MAX_ENDPOINTS)
        flags.resize(FERV_RELAY_MAX_ENDPOINTS);
    uint8_t h[FERV_RELAY_ANS_SIZE];
    FervRelayStoreAnswer(h, FERV_RELAY_KIND_SHOW, 1, FERV_RELAY_KEEPALIVE_MS, (uint32_t)flags.size());
    WriteAll(r, h, sizeof h);
    WriteAll(r, flags.data(), (uint32_t)flags.size());
}

static void KeepAlive(Relay *r)
{
    double now = SimNow();
    if (now < r->nextKeepalive)
        return;
    uint8_t h[FERV_RELAY_ANS_SIZE];
    FervRelayStoreAnswer(h, FERV_RELAY_KIND_KEEPALIVE, 0, 0, 0);
    WriteAll(r, h, sizeof h);
    r->nextKeepalive = now + FERV_RELAY_KEEPALIVE_MS / 1000.0;
}

// A Win32 error as the NTSTATUS that the client sees as exactly that error.
// ERROR_IO_PENDING cannot be a failure: it becomes a general failure.
static uint32_t StatusOf(uint32_t win32)
{
    if (win32 == ERROR_IO_PENDING)
        return FERV_RELAY_STATUS_UNSUCCESSFUL;
    return FERV_RELAY_STATUS_FROM_WIN32(win32);
}

static void Complete(Relay *r, uint32_t id, const SimReply &reply, uint32_t outSize)
{
    if (reply.error)
        Answer(r, FERV_RELAY_KIND_COMPLETE, id, StatusOf(reply.error), nullptr, 0);
    else
        Answer(r, FERV_RELAY_KIND_COMPLETE, id, FERV_RELAY_STATUS_SUCCESS, &reply, outSize);
}

static void AfterModelWork(Relay *r)
{
    SimDrainEvents(&r->svc);
    // A released request may itself change the model, so go round until
    // nothing changes any more.
    while (SimTakeChange(r->svc.m)) {
        std::vector<Held> held;
        held.swap(r->held);
        for (const Held &h : held) {
            SimRequest q = {h.code, h.request.data(), (uint32_t)h.request.size(), h.outSize};
            SimReply reply;
            SimReleaseHeld(r->svc.m, q, h.heldReply, &reply);
            Complete(r, h.id, reply, h.outSize);
        }
        SimDrainEvents(&r->svc);
    }
}

static void HandleRequest(Relay *r, uint32_t id, uint32_t handle, uint32_t code, uint32_t endpoint,
                          const uint8_t *body, uint32_t inSize, uint32_t outSize)
{
    SimRequest q = {code, body, inSize, outSize};
    SimReply reply;
    SimServeRequest(&r->svc, (int)endpoint, q, &reply);
    if (reply.kind == SIM_REPLY_PENDING) {
        Held h;
        h.id = id;
        h.handle = handle;
        h.code = code;
        h.outSize = outSize;
        h.request.assign(body, body + inSize);
        h.heldReply = reply;
        r->held.push_back(h);
        Answer(r, FERV_RELAY_KIND_PEND, id, 0, nullptr, 0);
        return;
    }
    Complete(r, id, reply, outSize);
}

// A closed handle takes its held requests with it, as a closed connection
// does on POSIX: the relay has completed them as cancelled already.
static void ForgetHandle(Relay *r, uint32_t handle)
{
    r->held.erase(std::remove_if(r->held.begin(), r->held.end(), [&](const Held &h) { return h.handle == handle; }),
                  r->held.end());
}

// Handles every whole message in the input. A message the relay could not
// have sent means the stream is out of step: the connection is dropped.
static void ProcessInput(Relay *r)
{
    size_t used = 0;
    while (!r->broken && r->in.size() - used >= FERV_RELAY_REQ_SIZE) {
        const uint8_t *h = r->in.data() + used;
        uint32_t kind = FervLoad32(h + FERV_RELAY_REQ_KIND);
        uint32_t inSize = FervLoad32(h + FERV_RELAY_REQ_IN_SIZE);
        if (FervLoad32(h + FERV_RELAY_REQ_MAGIC) != FERV_RELAY_MAGIC || inSize > FERV_RELAY_MAX_DATA ||
            FervLoad32(h + FERV_RELAY_REQ_OUT_SIZE) > FERV_RELAY_MAX_DATA ||
            (kind != FERV_RELAY_KIND_REQUEST &&
             (inSize != 0 ||
              (kind != FERV_RELAY_KIND_OPEN && kind != FERV_RELAY_KIND_CLOSE && kind != FERV_RELAY_KIND_SHOWN)))) {
            SimLogf(&r->svc, FERV_LOG_INTERNAL_ERRORS, "dropped the relay: malformed message");
            r->broken = true;
            break;
        }
        if (r->in.size() - used < (size_t)FERV_RELAY_REQ_SIZE + inSize)
            break;
        if (kind == FERV_RELAY_KIND_REQUEST)
            HandleRequest(r, FervLoad32(h + FERV_RELAY_REQ_ID), FervLoad32(h + FERV_RELAY_REQ_HANDLE),
                          FervLoad32(h + FERV_RELAY_REQ_CODE), FervLoad32(h + FERV_RELAY_REQ_ENDPOINT),
                          h + FERV_RELAY_REQ_SIZE, inSize, FervLoad32(h + FERV_RELAY_REQ_OUT_SIZE));
        else if (kind == FERV_RELAY_KIND_CLOSE)
            ForgetHandle(r, FervLoad32(h + FERV_RELAY_REQ_ID));
        used += FERV_RELAY_REQ_SIZE + inSize;
        AfterModelWork(r);
    }
    if (used)
        r->in.erase(r->in.begin(), r->in.begin() + (long)used);
}

static void StartRead(Relay *r)
{
    ResetEvent(r->readOv.hEvent);
    if (!ReadFile(r->pipe, r->chunk.data(), kChunk, nullptr, &r->readOv) && GetLastError() != ERROR_IO_PENDING) {
        r->broken = true;
        return;
    }
    r->reading = true; // the event is set on completion, at once or later
}

static void Detach(Relay *r)
{
    if (r->reading) {
        CancelIo(r->pipe);
        DWORD n;
        GetOverlappedResult(r->pipe, &r->readOv, &n, TRUE);
        r->reading = false;
    }
    // The relay completes whatever it still holds as cancelled.
    if (r->service != INVALID_HANDLE_VALUE)
        CloseHandle(r->service);
    CloseHandle(r->pipe);
    r->service = INVALID_HANDLE_VALUE;
    r->pipe = INVALID_HANDLE_VALUE;
    r->held.clear();
    r->in.clear();
    r->broken = false;
    SimLogf(&r->svc, FERV_LOG_INFORMATIONAL, "the relay went away; waiting for it");
}

// One attempt to attach to the relay and show what we serve. Returns false
// when the relay is not there (yet).
static bool TryAttach(Relay *r, std::string *error)
{
    HANDLE pipe, service;
    const char *what = "";
    DWORD code = 0;
    if (!FervRelayAttach(TRUE, &pipe, &service, &what, &code)) {
        *error = std::string(what) + " failed: error " + std::to_string((unsigned long)code) +
                 (code == ERROR_PIPE_BUSY ? " (another fervsim serves it?)" : "");
        return false;
    }
    r->pipe = pipe;
    r->service = service;
    r->broken = false;
    r->in.clear();
    Show(r);
    r->nextKeepalive = 0;
    StartRead(r);
    return true;
}

// Takes what the finished read brought and starts the next one.
static void OnRead(Relay *r)
{
    DWORD n = 0;
    r->reading = false;
    if (!GetOverlappedResult(r->pipe, &r->readOv, &n, FALSE) || n == 0) {
        r->broken = true;
        return;
    }
    r->in.insert(r->in.end(), r->chunk.begin(), r->chunk.begin() + n);
    ProcessInput(r);
    if (!r->broken)
        StartRead(r);
}

// ---- the admin pipe --------------------------------------------------------------------

static bool CreateAdmin(Relay *r, std::string *error)
{
    r->admin =
        CreateNamedPipeA(SIM_ADMIN_PIPE, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kChunk, kChunk, 0, nullptr);
    if (r->admin == INVALID_HANDLE_VALUE) {
        *error = std::string("cannot create ") + SIM_ADMIN_PIPE + " (another fervsim runs?): error " +
                 std::to_string((unsigned long)GetLastError());
        return false;
    }
    return true;
}

// Waits for the next ctl client on the one instance of the admin pipe; its
// event is set once one is connected.
static void ListenAdmin(Relay *r)
{
    ResetEvent(r->adminOv.hEvent);
    r->adminConnected = ConnectNamedPipe(r->admin, &r->adminOv) || GetLastError() == ERROR_PIPE_CONNECTED;
    if (r->adminConnected)
        SetEvent(r->adminOv.hEvent);
}

// One overlapped transfer on the admin pipe, given kAdminIoMs to finish.
static bool AdminIo(Relay *r, bool write, void *buffer, DWORD size, DWORD *done)
{
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = write ? WriteFile(r->admin, buffer, size, done, &ov) : ReadFile(r->admin, buffer, size, done, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, kAdminIoMs) != WAIT_OBJECT_0)
            CancelIo(r->admin);
        ok = GetOverlappedResult(r->admin, &ov, done, TRUE);
    }
    CloseHandle(ov.hEvent);
    return ok && *done > 0;
}

// Serves the ctl client that connected: one line in, one answer out.
static void ServeAdmin(Relay *r)
{
    std::string line;
    char buf[4096];
    bool whole = false;
    while (!whole && line.size() <= kAdminLineLimit) {
        DWORD n = 0;
        if (!AdminIo(r, false, buf, sizeof buf, &n))
            break;
        line.append(buf, n);
        whole = line.find('\n') != std::string::npos;
    }
    if (whole) {
        line.resize(line.find('\n'));
        SimCtlResult result;
        std::string text = SimServeAdminLine(&r->svc, line, (int)r->held.size(), &result);
        if (result.dropHeld || result.failHeld) {
            // A dropped connection is what the client of a held request sees
            // as cancelled; a failure carries the chosen error.
            uint32_t status = result.dropHeld ? FERV_RELAY_STATUS_CANCELLED : StatusOf(result.failError);
            for (const Held &h : r->held)
                Answer(r, FERV_RELAY_KIND_COMPLETE, h.id, status, nullptr, 0);
            r->held.clear();
        }
        AfterModelWork(r);
        size_t sent = 0;
        while (sent < text.size()) {
            DWORD n = 0;
            if (!AdminIo(r, true, &text[sent], (DWORD)(text.size() - sent), &n))
                break;
            sent += n;
        }
        FlushFileBuffers(r->admin);
    }
    DisconnectNamedPipe(r->admin);
}

// ---- the loop --------------------------------------------------------------------------

void SimLocalTime(time_t t, struct tm *out)
{
    localtime_s(out, &t);
}

void SimAdviseLargeBuffer(void *bytes, size_t size)
{
    (void)bytes;
    (void)size;
}

// The relay stands where the socket namespace does: there is no private
// namespace for one command.
int SimRunCommand(SimModel *, const SimServerOptions &, const std::vector<std::string> &)
{
    fprintf(stderr, "fervsim: run is not available on Windows\n");
    return 2;
}

std::string SimDefaultRoot()
{
    const char *r = getenv("FERV_DEVICE_ROOT");
    return r ? r : "";
}

int SimServe(SimModel *m, const SimServerOptions &opt)
{
    Relay r;
    r.opt = opt;
    r.chunk.resize(kChunk);
    memset(&r.readOv, 0, sizeof r.readOv);
    memset(&r.writeOv, 0, sizeof r.writeOv);
    memset(&r.adminOv, 0, sizeof r.adminOv);
    r.readOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    r.writeOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    r.adminOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SimServiceInit(&r.svc, m, opt.interfaces, opt.io, opt.log);
    std::string error;
    if (!CreateAdmin(&r, &error)) {
        fprintf(stderr, "fervsim: %s\n", error.c_str());
        return 1;
    }
    ListenAdmin(&r);
    double wake = SimServiceTick(&r.svc, SimNow());
    std::string lastError;
    for (;;) {
        if (!Attached(&r)) {
            if (TryAttach(&r, &error)) {
                if (!r.announced && opt.announce)
                    fprintf(stderr,
                            "fervsim: serving the relay driver: control device and its interfaces, %zu devices, "
                            "%zu LUNs, %zu paths\n",
                            m->devices.size(), m->luns.size(), m->paths.size());
                else
                    SimLogf(&r.svc, FERV_LOG_INFORMATIONAL, "serving the relay driver again");
                fflush(stderr);
                r.announced = true;
                lastError.clear();
            } else if (error != lastError) {
                SimLogf(&r.svc, FERV_LOG_INFORMATIONAL, "%s", error.c_str());
                lastError = error;
            }
        }
        HANDLE events[2] = {r.adminOv.hEvent, r.readOv.hEvent};
        DWORD count = Attached(&r) && r.reading ? 2 : 1;
        double now = SimNow();
        double until = wake;
        if (!Attached(&r) && until > now + kAttachRetryMs / 1000.0)
            until = now + kAttachRetryMs / 1000.0;
        if (Attached(&r) && until > r.nextKeepalive)
            until = r.nextKeepalive;
        DWORD timeout = until <= now ? 0 : (DWORD)((until - now) * 1000) + 1;
        DWORD w = WaitForMultipleObjects(count, events, FALSE, timeout);
        if (w == WAIT_OBJECT_0) {
            DWORD n;
            if (r.adminConnected || GetOverlappedResult(r.admin, &r.adminOv, &n, FALSE))
                ServeAdmin(&r);
            else
                DisconnectNamedPipe(r.admin);
            ListenAdmin(&r);
        } else if (w == WAIT_OBJECT_0 + 1) {
            OnRead(&r);
        } else if (w == WAIT_FAILED) {
            fprintf(stderr, "fervsim: waiting failed: error %lu\n", (unsigned long)GetLastError());
            break;
        }
        wake = SimServiceTick(&r.svc, SimNow());
        if (Attached(&r)) {
            AfterModelWork(&r);
            KeepAlive(&r);
            if (r.broken)
                Detach(&r);
        } else {
            SimDrainEvents(&r.svc);
        }
    }
    if (Attached(&r))
        Detach(&r);
    if (r.admin != INVALID_HANDLE_VALUE)
        CloseHandle(r.admin);
    return 1;
}

int SimCtlClient(const std::string &, const std::vector<std::string> &args)
{
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 50 && h == INVALID_HANDLE_VALUE; tries++) {
        h = CreateFileA(SIM_ADMIN_PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            break;
        DWORD e = GetLastError();
        if (e != ERROR_PIPE_BUSY && e != ERROR_PIPE_NOT_CONNECTED) {
            fprintf(stderr, "fervsim ctl: no emulator serves %s\n", SIM_ADMIN_PIPE);
            return 2;
        }
        WaitNamedPipeA(SIM_ADMIN_PIPE, 200);
    }
    if (h == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "fervsim ctl: the emulator is busy\n");
        return 2;
    }
    std::string line = SimCtlRequestLine(args);
    size_t sent = 0;
    while (sent < line.size()) {
        DWORD n = 0;
        if (!WriteFile(h, line.data() + sent, (DWORD)(line.size() - sent), &n, nullptr) || n == 0) {
            fprintf(stderr, "fervsim ctl: the emulator closed the connection\n");
            CloseHandle(h);
            return 2;
        }
        sent += n;
    }
    std::string answer;
    char buf[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(h, buf, sizeof buf, &n, nullptr) || n == 0)
            break;
        answer.append(buf, n);
    }
    CloseHandle(h);
    return SimCtlPrintAnswer(answer);
}
