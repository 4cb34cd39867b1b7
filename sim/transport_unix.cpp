// The Unix-socket transport: the device namespace under a root directory,
// frames in, replies out, held requests released by changes, the admin
// socket for `fervsim ctl`, all in one poll loop.
#include "sim/transport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "lib/ferv_wire.h"
#include "proto/ferv_proto.h"
#include "sim/frame.h"
#include "sim/rootdir.h"
#include "sim/service.h"

static const size_t kReadChunk = 65536;
static const size_t kInputGrowth = 4;   // a full input buffer grows to this many times its size
static const int kSendBuffer = 4 << 20; // socket send buffer asked for on each connection
static const size_t kHugePage = 2 << 20;
static const size_t kHugePageInput = 4 << 20; // input buffers from this size on lie on huge pages
static const size_t kBusyInputLimit = 65536;  // bytes a client may send while its request is outstanding
static const size_t kAdminLineLimit = 1 << 20;
// Admin connections have a pool of their own, with descriptors kept free for
// it, so that `fervsim ctl` answers however many clients hold the others.
static const size_t kAdminConnections = 16;
// Descriptors besides the connections: standard streams, log, signal pipe,
// lock, folders, listeners' spares and the checks of stale sockets.
static const size_t kOtherDescriptors = 24;
// A buffer that has drained keeps at most this much of its allocation.
static const size_t kKeptCapacity = 65536;
// ERROR_NO_SYSTEM_RESOURCES: a reply refused because the bytes held for all
// connections would pass the limit.
static const uint32_t kWin32NoSystemResources = 1450;
static const int ENDPOINT_ADMIN = -1;

struct Listener {
    int fd;
    int endpoint; // SIM_ENDPOINT_CONTROL, 1 + interface, or ENDPOINT_ADMIN
    int dirFd;    // the checked folder it lies in
    std::string name;
};

struct FreeBytes {
    void operator()(uint8_t *p) const { free(p); }
};

// Bytes received and not handled yet. The buffer grows to hold the whole
// request frame whose header has come, so a request of any size is read
// straight into place and never moved.
struct Input {
    std::unique_ptr<uint8_t, FreeBytes> bytes;
    size_t size = 0;
    size_t capacity = 0;
};

// What is still to be written on a connection: a frame header with the
// reply's information bytes behind it, or an admin answer in `bytes` alone.
struct Outgoing {
    std::vector<uint8_t> bytes;
    SimReply reply;
    size_t sent = 0; // of bytes and the reply's, together
};

struct Conn {
    int fd = -1;
    int endpoint = 0;
    Input in;
    std::deque<Outgoing> out;
    bool held = false;
    uint32_t heldCode = 0;
    uint32_t heldOutSize = 0;
    std::vector<uint8_t> heldRequest;
    SimReply heldReply;
    bool closing = false; // close once the output is written
    bool dead = false;
    double lastActive = 0; // last byte read or written, or its held request answered
    size_t charge = 0;     // bytes of its buffers counted against the buffer limit
};

struct Server {
    SimService svc;
    SimModel *m = nullptr;
    SimServerOptions opt;
    std::vector<Listener> listeners;
    std::vector<std::unique_ptr<Conn>> conns;
    double acceptPausedUntil = 0;
    SimRootDir dir;
    size_t maxConnections = 0; // request connections at once, within the descriptor limit
    size_t requestConns = 0;   // open request connections
    size_t adminConns = 0;     // open admin connections
    uint64_t held = 0;         // bytes charged to all connections
};

const char SimUsageText[] =
    "usage: fervsim [options]                     serve in the foreground until SIGINT/SIGTERM\n"
    "       fervsim run [options] -- COMMAND [ARGS...]\n"
    "                                             run COMMAND against a private emulator\n"
    "       fervsim ctl [--root DIR] VERB ...     change a running emulator (fervsim ctl help)\n"
    "options:\n"
    "  --root DIR           serve under DIR (default: FERV_DEVICE_ROOT, $XDG_RUNTIME_DIR/ferv,\n"
    "                       /tmp/ferv-<uid>)\n"
    "  --interfaces N       device interfaces to serve, 0 to 64 (default 2)\n"
    "  --topology FILE      load the topology from a JSON file\n"
    "  --generate D:L:P     a synthetic topology: D devices, L LUNs each, P paths per LUN\n"
    "  --no-io              no simulated host I/O (counters move only by ctl)\n"
    "  --seed N             seed of the simulated I/O\n"
    "  --log FILE           append log lines to FILE instead of standard error\n"
    "  --max-connections N  request connections served at once (default 16384); at the limit the\n"
    "                       one idle longest is closed\n"
    "  --idle-timeout SECS  close a connection silent this long without a held request\n"
    "                       (default 600, 0 = never)\n"
    "  --buffer-limit SIZE  bytes held for all connections together, with K, M or G (default 1G)\n"
    "  --quiet              no start and stop lines\n"
    "  --help               this text\n"
    "  --version            print the version and exit\n";

static int g_signalPipe[2] = {-1, -1};

static void OnSignal(int)
{
    int saved = errno;
    char c = 1;
    if (write(g_signalPipe[1], &c, 1) < 0) {
        // Nothing to do: the pipe is full, so a stop is already on its way.
    }
    errno = saved;
}

static double Now()
{
    return SimNow();
}

static void DrainModelEvents(Server *s)
{
    SimDrainEvents(&s->svc);
}

void SimLocalTime(time_t t, struct tm *out)
{
    localtime_r(&t, out);
}

void SimAdviseLargeBuffer(void *bytes, size_t size)
{
#if defined(MADV_HUGEPAGE)
    const size_t hugeFrom = 4 << 20;
    const uintptr_t page = 4096;
    if (size < hugeFrom)
        return;
    // Only whole pages inside the buffer: its first and last may be shared.
    uintptr_t first = ((uintptr_t)bytes + page - 1) & ~(page - 1);
    uintptr_t last = ((uintptr_t)bytes + size) & ~(page - 1);
    madvise((void *)first, last - first, MADV_HUGEPAGE);
#else
    (void)bytes;
    (void)size;
#endif
}

std::string SimDefaultRoot()
{
    const char *r = getenv("FERV_DEVICE_ROOT");
    if (r && *r)
        return r;
    const char *x = getenv("XDG_RUNTIME_DIR");
    if (x && *x)
        return std::string(x) + "/ferv";
    return "/tmp/ferv-" + std::to_string((unsigned long)getuid());
}

// ---- buffers and the limit on bytes held --------------------------------------------------

// Bytes of an outgoing item: its own and its reply's. The records a topology
// reply shares with the model count in full for every connection that sends
// them: a client that does not read may keep an old encoding alive after
// the model has moved on, so the bound holds whichever way the sharing goes.
static size_t OutgoingCharge(const Outgoing &o)
{
    return o.bytes.capacity() + o.reply.data.capacity() + o.reply.tail.capacity() +
           (o.reply.records ? o.reply.records->size() : 0);
}

// Bytes a connection holds: what its buffers have allocated, since that is
// what the emulator's memory grows by.
static size_t ChargeOf(const Conn *c)
{
    size_t n = c->in.capacity + c->heldRequest.capacity();
    for (const Outgoing &o : c->out)
        n += OutgoingCharge(o);
    return n;
}

static void Recount(Server *s, Conn *c)
{
    size_t now = ChargeOf(c);
    s->held = s->held - c->charge + now;
    c->charge = now;
}

// True when growing a connection's buffers by `more` bytes keeps the bytes
// held for all connections within the limit.
static bool WithinLimit(const Server *s, size_t more)
{
    return s->held + more <= s->opt.bufferLimit;
}

// Closes a connection at once and takes it out of the counts; the loop
// drops its entry later.
static void Forget(Server *s, Conn *c)
{
    c->dead = true;
    if (c->fd < 0)
        return;
    close(c->fd);
    c->fd = -1;
    c->in.bytes.reset();
    c->in.size = c->in.capacity = 0;
    std::deque<Outgoing>().swap(c->out);
    std::vector<uint8_t>().swap(c->heldRequest);
    c->held = false;
    Recount(s, c);
    if (c->endpoint == ENDPOINT_ADMIN)
        s->adminConns--;
    else
        s->requestConns--;
}

// ---- output ---------------------------------------------------------------------------

// The stretches of an outgoing item, in order, from its first byte.
// Returns how many.
static int OutgoingSpans(const Outgoing &o, SimByteSpan spans[4])
{
    int n = 0;
    if (!o.bytes.empty())
        spans[n++] = {o.bytes.data(), o.bytes.size()};
    return n + SimReplySpans(o.reply, spans + n);
}

// Gathers what is still to be written, from the first item on, into iov.
// Returns the number of entries.
static int GatherOutput(const Conn *c, struct iovec *iov, int room)
{
    int n = 0;
    for (const Outgoing &o : c->out) {
        SimByteSpan spans[4];
        int count = OutgoingSpans(o, spans);
        size_t skip = o.sent;
        for (int i = 0; i < count && n < room; i++) {
            if (skip >= spans[i].size) {
                skip -= spans[i].size;
                continue;
            }
            iov[n].iov_base = (void *)(spans[i].bytes + skip);
            iov[n].iov_len = spans[i].size - skip;
            n++;
            skip = 0;
        }
        if (n == room)
            break;
    }
    return n;
}

// Takes `written` bytes off the front of the output. Returns true when an
// item went (and with it the bytes charged for it).
static bool ConsumeOutput(Conn *c, size_t written)
{
    bool dropped = false;
    while (written > 0) {
        Outgoing &o = c->out.front();
        size_t left = o.bytes.size() + SimReplySize(o.reply) - o.sent;
        if (written < left) {
            o.sent += written;
            break;
        }
        written -= left;
        c->out.pop_front();
        dropped = true;
    }
    return dropped;
}

// Writes as much of the output as the socket takes now, straight from the
// reply's stretches (the shared records included): nothing is copied on
// the way but by the kernel.
static void Flush(Server *s, Conn *c)
{
    bool dropped = false;
    while (!c->out.empty()) {
        struct iovec iov[16];
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = iov;
        msg.msg_iovlen = (size_t)GatherOutput(c, iov, 16);
        if (msg.msg_iovlen == 0) {
            c->out.pop_front(); // an item without bytes
            dropped = true;
            continue;
        }
        ssize_t n = sendmsg(c->fd, &msg, MSG_NOSIGNAL);
        if (n > 0) {
            dropped |= ConsumeOutput(c, (size_t)n);
            c->lastActive = Now();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        c->dead = true;
        break;
    }
    if (dropped)
        Recount(s, c);
    if (c->out.empty() && c->closing)
        c->dead = true;
}

static bool OutputPending(const Conn *c)
{
    return !c->out.empty();
}

// Queues a reply and writes what the client takes at once. A reply that
// would take the bytes held for all connections past the limit (a client
// that does not read keeps it all) is refused instead, with
// ERROR_NO_SYSTEM_RESOURCES as a driver short of memory would.
static void SendReply(Server *s, Conn *c, uint32_t type, SimReply *reply)
{
    Outgoing o;
    o.reply = std::move(*reply);
    size_t info = SimReplySize(o.reply);
    if (info && !WithinLimit(s, FERV_FRAME_REP_HEADER_SIZE + OutgoingCharge(o))) {
        SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS,
                "refused a reply of %zu bytes with Win32 error %u: the bytes held for all connections would pass "
                "%llu (--buffer-limit)",
                info, kWin32NoSystemResources, (unsigned long long)s->opt.bufferLimit);
        o.reply = SimReply();
        o.reply.error = kWin32NoSystemResources;
        info = 0;
    }
    o.bytes.resize(FERV_FRAME_REP_HEADER_SIZE);
    FervFrameStoreReply(o.bytes.data(), type, o.reply.error, (uint32_t)info);
    c->out.push_back(std::move(o));
    Recount(s, c);
    Flush(s, c);
}

// A reply without bytes: PENDING, or a refusal with a Win32 error.
static void SendEmptyReply(Server *s, Conn *c, uint32_t type, uint32_t error)
{
    SimReply r;
    r.error = error;
    SendReply(s, c, type, &r);
}

// ---- requests ----------------------------------------------------------------------------

static void ReleaseHeld(Server *s)
{
    // A released request may itself change the model (a held command), so
    // go round until nothing changes any more. Input that waited behind a
    // held request is taken up by the loop, never from here: ProcessInput
    // may be on the stack.
    while (SimTakeChange(s->m)) {
        for (auto &cp : s->conns) {
            Conn *c = cp.get();
            if (!c->held || c->dead)
                continue;
            SimRequest q = {c->heldCode, c->heldRequest.data(), (uint32_t)c->heldRequest.size(), c->heldOutSize};
            SimReply r;
            SimReleaseHeld(s->m, q, c->heldReply, &r);
            c->held = false;
            std::vector<uint8_t>().swap(c->heldRequest);
            c->lastActive = Now();
            SendReply(s, c, FERV_FRAME_COMPLETE, &r);
        }
        DrainModelEvents(s);
    }
}

static void AfterModelWork(Server *s)
{
    DrainModelEvents(s);
    ReleaseHeld(s);
}

static void HandleFrame(Server *s, Conn *c, uint32_t code, const uint8_t *body, uint32_t inSize, uint32_t outSize)
{
    SimRequest q = {code, body, inSize, outSize};
    SimReply r;
    SimServeRequest(&s->svc, c->endpoint, q, &r);
    if (r.kind == SIM_REPLY_PENDING) {
        c->held = true;
        c->heldCode = code;
        c->heldOutSize = outSize;
        c->heldRequest.assign(body, body + inSize);
        c->heldReply = r;
        c->heldReply.data.clear();
        Recount(s, c);
        SendEmptyReply(s, c, FERV_FRAME_PENDING, 0);
        return;
    }
    SendReply(s, c, FERV_FRAME_COMPLETE, &r);
}

static void HandleAdminLine(Server *s, Conn *c, const std::string &line)
{
    int held = 0;
    for (auto &cp : s->conns)
        held += cp->held && !cp->dead;
    SimCtlResult r;
    std::string text = SimServeAdminLine(&s->svc, line, held, &r);
    for (auto &cp : s->conns) {
        Conn *h = cp.get();
        if (!h->held || h->dead)
            continue;
        if (r.dropHeld) {
            h->dead = true;
        } else if (r.failHeld) {
            h->held = false;
            std::vector<uint8_t>().swap(h->heldRequest);
            h->lastActive = Now();
            SendEmptyReply(s, h, FERV_FRAME_COMPLETE, r.failError);
        }
    }
    AfterModelWork(s);
    c->closing = true;
    Outgoing o;
    o.bytes.assign(text.begin(), text.end());
    c->out.push_back(std::move(o));
    Recount(s, c);
    Flush(s, c);
}

// Takes `used` bytes off the front of the input.
static void ConsumeInput(Input *in, size_t used)
{
    if (used == 0)
        return;
    memmove(in->bytes.get(), in->bytes.get() + used, in->size - used);
    in->size -= used;
}

// Bytes an input buffer asked for at `size` takes: one of several MiB lies
// on whole huge pages, so it is aligned and rounded up to them (a large
// request is written into it once, and each small page would cost a fault of
// its own). Returns 0 when the rounding would not fit in a size_t.
static size_t InputAllocation(size_t size)
{
#if defined(MADV_HUGEPAGE)
    if (size >= kHugePageInput)
        return size > SIZE_MAX - (kHugePage - 1) ? 0 : (size + kHugePage - 1) / kHugePage * kHugePage;
#endif
    return size;
}

// Memory for an input buffer of `whole` bytes, a size InputAllocation gave.
// free() gives it back.
static uint8_t *AllocateInput(size_t whole)
{
#if defined(MADV_HUGEPAGE)
    if (whole >= kHugePageInput) {
        uint8_t *bytes = (uint8_t *)aligned_alloc(kHugePage, whole);
        if (bytes != nullptr)
            madvise(bytes, whole, MADV_HUGEPAGE);
        return bytes;
    }
#endif
    return (uint8_t *)malloc(whole);
}

// Moves the input into a fresh buffer of `size` bytes or a little more (see
// InputAllocation). Returns false when memory runs out.
static bool Reallocate(Input *in, size_t size)
{
    size_t whole = InputAllocation(size);
    uint8_t *grown = whole != 0 ? AllocateInput(whole) : nullptr;
    if (grown == nullptr)
        return false;
    if (in->size > 0)
        memcpy(grown, in->bytes.get(), in->size);
    in->bytes.reset(grown);
    in->capacity = whole;
    return true;
}

// Makes room to read into when the buffer is full: four times what it
// holds, never past the end of the request frame whose header leads the
// input when the connection is free to take it (its size checked first), so
// a 256 MiB request takes 256 MiB, not the 512 MiB that growing by steps
// would reach. Growing by steps, not to the frame's size at once, keeps what
// a client is charged within four times what it has sent: a header that
// claims 256 MiB and a few bytes after it must not take the bytes every
// other connection may hold. A buffer is never grown by realloc: a large one
// is fresh memory with huge pages, and only the bytes held so far move into
// it. Returns false, with a log line, when memory runs out or the growth
// would take the bytes held for all connections past the limit: the
// connection that asks for more is the one dropped.
static bool MakeRoom(Server *s, Conn *c)
{
    Input *in = &c->in;
    if (in->size < in->capacity)
        return true;
    size_t want = std::max(in->size + kReadChunk, kInputGrowth * in->capacity);
    size_t frame = 0;
    bool busy = c->held || OutputPending(c) || c->closing;
    SimFrame f;
    if (!busy && c->endpoint != ENDPOINT_ADMIN &&
        SimReadFrame(in->bytes.get(), in->size, &f) == SIM_FRAME_INCOMPLETE && f.size > 0) {
        frame = f.size;
        want = std::min(want, frame);
    } else if (!busy && c->endpoint != ENDPOINT_ADMIN && in->size >= FERV_FRAME_REQ_HEADER_SIZE) {
        return true; // a whole (or malformed) request waits: it is handled before anything more is read
    }
    size_t whole = InputAllocation(want);
    if (whole == 0 || !WithinLimit(s, whole - in->capacity)) {
        SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS,
                "closed a connection: its request%s would take the bytes held for all connections past %llu "
                "(--buffer-limit)",
                frame ? (" of " + std::to_string(frame) + " bytes").c_str() : "",
                (unsigned long long)s->opt.bufferLimit);
        return false;
    }
    if (!Reallocate(in, want)) {
        SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS, "closed a connection: no memory for its request");
        return false;
    }
    Recount(s, c);
    return true;
}

// Gives back the allocation of an input buffer that has (nearly) drained:
// a connection that sent one large request keeps no memory for it.
static void Trim(Server *s, Conn *c)
{
    Input *in = &c->in;
    if (in->capacity <= kKeptCapacity)
        return;
    if (in->size == 0) {
        in->bytes.reset();
        in->capacity = 0;
    } else if (in->size > kKeptCapacity / 4 || !Reallocate(in, kKeptCapacity)) {
        return;
    }
    Recount(s, c);
}

static void ProcessAdmin(Server *s, Conn *c)
{
    if (c->closing)
        return;
    const uint8_t *begin = c->in.bytes.get(), *end = begin + c->in.size;
    const uint8_t *nl = std::find(begin, end, (uint8_t)'\n');
    if (nl == end) {
        if (c->in.size > kAdminLineLimit)
            c->dead = true;
        return;
    }
    std::string line(begin, nl);
    c->in.size = 0;
    Trim(s, c);
    HandleAdminLine(s, c, line);
}

// Handles every complete frame in the input while the connection is free:
// one request at a time, the next only once the reply is written.
static void ProcessInput(Server *s, Conn *c)
{
    if (c->endpoint == ENDPOINT_ADMIN) {
        ProcessAdmin(s, c);
        return;
    }
    size_t used = 0;
    while (!c->dead && !c->held && !OutputPending(c) && c->in.size > used) {
        SimFrame f;
        SimFrameStatus status = SimReadFrame(c->in.bytes.get() + used, c->in.size - used, &f);
        if (status == SIM_FRAME_MALFORMED) {
            SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS, "closed a connection: malformed request frame");
            c->dead = true;
            break;
        }
        if (status == SIM_FRAME_INCOMPLETE)
            break;
        HandleFrame(s, c, f.code, f.body, f.inSize, f.outSize);
        used += f.size;
        AfterModelWork(s);
    }
    if (used && !c->dead) {
        ConsumeInput(&c->in, used);
        Trim(s, c);
    }
}

static void ReadFrom(Server *s, Conn *c)
{
    for (int rounds = 0; rounds < 64 && !c->dead; rounds++) {
        if (!MakeRoom(s, c)) {
            c->dead = true;
            return;
        }
        size_t room = c->in.capacity - c->in.size;
        if (room == 0)
            break;
        ssize_t n = recv(c->fd, c->in.bytes.get() + c->in.size, room, 0);
        if (n > 0) {
            c->in.size += (size_t)n;
            c->lastActive = Now();
            bool busy = c->held || OutputPending(c) || c->closing;
            if (busy && c->in.size > kBusyInputLimit) {
                SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS,
                        "closed a connection: requests sent while one is outstanding");
                c->dead = true;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // End of stream or a broken connection.
        if (c->held)
            SimLogf(&s->svc, FERV_LOG_INFORMATIONAL, "a client left while its %s request was held",
                    SimControlCodeText(c->heldCode).c_str());
        else if (c->in.size > 0 && c->endpoint != ENDPOINT_ADMIN)
            SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS, "closed a connection: truncated request frame");
        c->dead = true;
        return;
    }
    ProcessInput(s, c);
}

// ---- setup and teardown -------------------------------------------------------------------

static bool Listen(Server *s, int dirFd, const std::string &dirPath, const std::string &name, int endpoint,
                   std::string *error)
{
    int fd = SimRootListen(dirPath + "/" + name, 512, error);
    if (fd < 0)
        return false;
    s->listeners.push_back(Listener{fd, endpoint, dirFd, name});
    return true;
}

static std::string InterfaceName(int i)
{
    char name[16];
    snprintf(name, sizeof name, "ferv%04d", i);
    return name;
}

// Makes and checks the folders and the lock (sim/rootdir.h), clears sockets
// left by an emulator that died, and listens.
static bool Start(Server *s, std::string *error)
{
    SimRootDir *d = &s->dir;
    if (!SimRootOpen(d, s->opt.root, SIM_LOCK_NAME, error))
        return false;
    if (!SimRootClearName(d->rootFd, d->root, FERV_CONTROL_DEVICE_NAME, error) ||
        !SimRootClearName(d->rootFd, d->root, SIM_ADMIN_NAME, error) ||
        !SimRootClearFolder(d->classFd, d->classDir, error))
        return false;
    if (!Listen(s, d->rootFd, d->root, FERV_CONTROL_DEVICE_NAME, SIM_ENDPOINT_CONTROL, error))
        return false;
    for (int i = 0; i < s->opt.interfaces; i++)
        if (!Listen(s, d->classFd, d->classDir, InterfaceName(i), 1 + i, error))
            return false;
    return Listen(s, d->rootFd, d->root, SIM_ADMIN_NAME, ENDPOINT_ADMIN, error);
}

static void Stop(Server *s)
{
    for (auto &c : s->conns)
        Forget(s, c.get());
    s->conns.clear();
    for (const Listener &l : s->listeners) {
        close(l.fd);
        unlinkat(l.dirFd, l.name.c_str(), 0);
    }
    s->listeners.clear();
    SimRootClose(&s->dir);
}

// Makes room for one more connection of a full pool by closing the one of
// that pool that has been idle longest (no request held). Returns false
// when every connection of the pool holds a request.
static bool EvictIdlest(Server *s, bool admin, size_t limit)
{
    Conn *oldest = nullptr;
    for (auto &cp : s->conns) {
        Conn *c = cp.get();
        if (c->dead || c->held || (c->endpoint == ENDPOINT_ADMIN) != admin)
            continue;
        if (!oldest || c->lastActive < oldest->lastActive)
            oldest = c;
    }
    if (!oldest)
        return false;
    SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS,
            "closed the %sconnection idle longest (%.1f s) to make room: %zu at once is the limit%s",
            admin ? "admin " : "", Now() - oldest->lastActive, limit, admin ? "" : " (--max-connections)");
    Forget(s, oldest);
    return true;
}

static void AcceptAll(Server *s, const Listener &l)
{
    for (;;) {
        int fd = accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors: the listener stays readable, so stop
                // polling it for a moment instead of spinning.
                SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS, "accept failed: %s", strerror(errno));
                s->acceptPausedUntil = Now() + 0.1;
            }
            return;
        }
        bool admin = l.endpoint == ENDPOINT_ADMIN;
        size_t &count = admin ? s->adminConns : s->requestConns;
        size_t limit = admin ? kAdminConnections : s->maxConnections;
        if (count >= limit && !EvictIdlest(s, admin, limit)) {
            SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS,
                    "too many connections (%zu), each with a request held; one refused", count);
            close(fd);
            continue;
        }
        // A large reply crosses in fewer rounds of the client reading and
        // the emulator writing (the system caps the size it grants).
        int sendBuffer = kSendBuffer;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        std::unique_ptr<Conn> c(new Conn);
        c->fd = fd;
        c->endpoint = l.endpoint;
        c->lastActive = Now();
        count++;
        s->conns.push_back(std::move(c));
    }
}

// Closes the connections that have been silent for the idle time limit
// without a request held (a pended wait is never idle). Returns when the
// next one falls due.
static double CloseIdle(Server *s, double now)
{
    const double never = 1e300;
    if (s->opt.idleTimeout <= 0)
        return never;
    double next = never;
    size_t closed = 0;
    for (auto &cp : s->conns) {
        Conn *c = cp.get();
        if (c->dead || c->held)
            continue;
        double due = c->lastActive + s->opt.idleTimeout;
        if (due <= now) {
            Forget(s, c);
            closed++;
        } else {
            next = std::min(next, due);
        }
    }
    if (closed)
        SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS, "closed %zu connection%s idle for %g s (--idle-timeout)", closed,
                closed == 1 ? "" : "s", s->opt.idleTimeout);
    return next;
}

// Runs the timers that are due; returns when the next one is.
static double RunTimers(Server *s, double now)
{
    double wake = SimServiceTick(&s->svc, now);
    AfterModelWork(s);
    return std::min(wake, CloseIdle(s, now));
}

// Drops the entries of closed connections; when many went at once, hands
// the freed memory back to the system.
static void DropClosed(Server *s)
{
    size_t kept = 0, dropped = 0;
    for (size_t i = 0; i < s->conns.size(); i++) {
        if (s->conns[i]->dead) {
            Forget(s, s->conns[i].get());
            s->conns[i].reset();
            dropped++;
        } else {
            s->conns[kept++] = std::move(s->conns[i]);
        }
    }
    s->conns.resize(kept);
#ifdef __GLIBC__
    if (dropped >= 64 || (dropped && s->conns.empty()))
        malloc_trim(0);
#endif
}

static void Loop(Server *s)
{
    std::vector<struct pollfd> pfds;
    double wake = RunTimers(s, Now());
    for (;;) {
        pfds.clear();
        pfds.push_back({g_signalPipe[0], POLLIN, 0});
        bool accepting = Now() >= s->acceptPausedUntil;
        for (const Listener &l : s->listeners)
            pfds.push_back({l.fd, (short)(accepting ? POLLIN : 0), 0});
        size_t connBase = pfds.size();
        size_t polled = s->conns.size();
        for (auto &c : s->conns) {
            short ev = POLLIN;
            if (OutputPending(c.get()))
                ev |= POLLOUT;
            pfds.push_back({c->fd, ev, 0});
        }
        double now = Now();
        if (!accepting)
            wake = std::min(wake, s->acceptPausedUntil);
        int timeout = wake <= now ? 0 : (int)std::min((wake - now) * 1000 + 1, 3600e3);
        int n = poll(pfds.data(), pfds.size(), timeout);
        if (n < 0 && errno != EINTR)
            break;
        if (n > 0 && (pfds[0].revents & POLLIN))
            return;
        if (n > 0) {
            for (size_t i = 0; i < s->listeners.size(); i++)
                if (pfds[1 + i].revents & POLLIN)
                    AcceptAll(s, s->listeners[i]);
            for (size_t i = 0; i < polled; i++) {
                Conn *c = s->conns[i].get();
                short re = pfds[connBase + i].revents;
                if (c->dead || !re)
                    continue;
                if (re & POLLOUT) {
                    Flush(s, c);
                    if (!OutputPending(c))
                        ProcessInput(s, c);
                }
                if (!c->dead && (re & (POLLIN | POLLHUP | POLLERR)))
                    ReadFrom(s, c);
            }
        }
        wake = RunTimers(s, Now());
        // Requests that arrived behind a held one, now that it is answered.
        for (size_t i = 0; i < s->conns.size(); i++) {
            Conn *c = s->conns[i].get();
            if (!c->dead && !c->held && !OutputPending(c) && c->in.size >= FERV_FRAME_REQ_HEADER_SIZE)
                ProcessInput(s, c);
        }
        DropClosed(s);
    }
}

// The request connections served at once: as many as asked, within the
// descriptor limit (raised towards its hard limit when need be), less the
// descriptors kept for the admin pool and everything else.
static size_t ConnectionLimit(const SimServerOptions &opt, rlim_t *descriptors)
{
    size_t reserve = kAdminConnections + kOtherDescriptors + (size_t)opt.interfaces;
    rlim_t want = (rlim_t)(opt.maxConnections + reserve);
    struct rlimit rl;
    *descriptors = 0;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return opt.maxConnections;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < want) {
        struct rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max == RLIM_INFINITY ? want : std::min(rl.rlim_max, want);
        if (raised.rlim_cur > rl.rlim_cur && setrlimit(RLIMIT_NOFILE, &raised) == 0)
            rl = raised;
    }
    if (rl.rlim_cur == RLIM_INFINITY)
        return opt.maxConnections;
    *descriptors = rl.rlim_cur;
    size_t room = rl.rlim_cur > reserve + 1 ? (size_t)(rl.rlim_cur - reserve) : 1;
    return std::min(opt.maxConnections, room);
}

int SimServe(SimModel *m, const SimServerOptions &opt)
{
    Server s;
    s.m = m;
    s.opt = opt;
    SimServiceInit(&s.svc, m, opt.interfaces, opt.io, opt.log);
    rlim_t descriptors = 0;
    s.maxConnections = ConnectionLimit(opt, &descriptors);
#ifdef __GLIBC__
    // Large buffers (requests and replies of many megabytes) come from mmap
    // and go straight back to the system when freed, so the emulator's
    // memory returns to where it was once a burst is over.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    // Handlers first: a stop that arrives while the sockets are being made
    // must still remove them.
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "fervsim: cannot create a pipe: %s\n", strerror(errno));
        return 1;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!Start(&s, &error)) {
        fprintf(stderr, "fervsim: %s\n", error.c_str());
        Stop(&s);
        close(g_signalPipe[0]);
        close(g_signalPipe[1]);
        return 1;
    }

    if (opt.announce)
        fprintf(stderr, "fervsim: serving %s: control device and %d interfaces, %zu devices, %zu LUNs, %zu paths\n",
                opt.root.c_str(), opt.interfaces, m->devices.size(), m->luns.size(), m->paths.size());
    if (opt.announce && s.maxConnections < opt.maxConnections)
        fprintf(stderr, "fervsim: at most %zu connections at once: the descriptor limit is %llu\n", s.maxConnections,
                (unsigned long long)descriptors);
    if (opt.readyFd >= 0) {
        char c = 1;
        if (write(opt.readyFd, &c, 1) < 0) {
            // The parent is gone; serving on is harmless and SIGTERM still stops us.
        }
        close(opt.readyFd);
    }
    Loop(&s);
    Stop(&s);
    close(g_signalPipe[0]);
    close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
    if (opt.announce)
        fprintf(stderr, "fervsim: stopped\n");
    return 0;
}

int SimCtlClient(const std::string &root, const std::vector<std::string> &args)
{
    std::string path = root + "/" + SIM_ADMIN_NAME;
    struct sockaddr_un a;
    if (!SimSocketAddress(path, &a)) {
        fprintf(stderr, "fervsim ctl: socket path too long: %s\n", path.c_str());
        return 2;
    }
    // The same rules as the emulator's own: a root another user could have
    // planted, or an admin socket served by another user, is not ours to
    // send verbs to or to believe.
    std::string error;
    if (!SimRootCheckForClient(root, &error)) {
        fprintf(stderr, "fervsim ctl: %s\n", error.c_str());
        return 2;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        fprintf(stderr, "fervsim ctl: no emulator serves %s\n", root.c_str());
        if (fd >= 0)
            close(fd);
        return 2;
    }
    if (!SimPeerMayServe(fd)) {
        fprintf(stderr, "fervsim ctl: refusing %s: another user serves it\n", path.c_str());
        close(fd);
        return 2;
    }
    std::string line = SimCtlRequestLine(args);
    size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fprintf(stderr, "fervsim ctl: the emulator closed the connection\n");
            close(fd);
            return 2;
        }
        sent += (size_t)n;
    }
    std::string answer;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        answer.append(buf, (size_t)n);
    }
    close(fd);
    return SimCtlPrintAnswer(answer);
}
