// The Unix-socket transport: the device namespace under a root directory,
// frames in, replies out, held requests released by changes, the admin
// socket for `fervsim ctl`, all in one poll loop.
#include "sim/transport.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
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

#include "lib/ferv_wire.h"
#include "proto/ferv_proto.h"
#include "sim/service.h"

static const size_t kReadChunk = 65536;
static const int kSendBuffer = 4 << 20;        // socket send buffer asked for on each connection
static const size_t kHugePageInput = 4 << 20;  // input buffers from this size on lie on huge pages
static const size_t kBusyInputLimit = 65536; // bytes a client may send while its request is outstanding
static const size_t kAdminLineLimit = 1 << 20;
static const size_t kMaxConnections = 8192;
static const int ENDPOINT_ADMIN = -1;

struct Listener {
    int fd;
    int endpoint; // SIM_ENDPOINT_CONTROL, 1 + interface, or ENDPOINT_ADMIN
    std::string path;
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
};

struct Server {
    SimService svc;
    SimModel *m = nullptr;
    SimServerOptions opt;
    std::vector<Listener> listeners;
    std::vector<std::unique_ptr<Conn>> conns;
    double acceptPausedUntil = 0;
    int lockFd = -1;
    std::string lockPath;
    std::vector<std::string> madeDirs; // removed again at the end, innermost first
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
    "  --quiet              no start and stop lines\n"
    "  --help               this text\n";

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

// Takes `written` bytes off the front of the output.
static void ConsumeOutput(Conn *c, size_t written)
{
    while (written > 0) {
        Outgoing &o = c->out.front();
        size_t left = o.bytes.size() + SimReplySize(o.reply) - o.sent;
        if (written < left) {
            o.sent += written;
            return;
        }
        written -= left;
        c->out.pop_front();
    }
}

// Writes as much of the output as the socket takes now, straight from the
// reply's stretches (the shared records included): nothing is copied on
// the way but by the kernel.
static void Flush(Conn *c)
{
    while (!c->out.empty()) {
        struct iovec iov[16];
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_iov = iov;
        msg.msg_iovlen = (size_t)GatherOutput(c, iov, 16);
        if (msg.msg_iovlen == 0) {
            c->out.pop_front(); // an item without bytes
            continue;
        }
        ssize_t n = sendmsg(c->fd, &msg, MSG_NOSIGNAL);
        if (n > 0) {
            ConsumeOutput(c, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        c->dead = true;
        return;
    }
    if (c->closing)
        c->dead = true;
}

static bool OutputPending(const Conn *c)
{
    return !c->out.empty();
}

static void SendReply(Conn *c, uint32_t type, SimReply *reply)
{
    Outgoing o;
    o.bytes.resize(FERV_FRAME_REP_HEADER_SIZE);
    FervFrameStoreReply(o.bytes.data(), type, reply->error, (uint32_t)SimReplySize(*reply));
    o.reply = std::move(*reply);
    c->out.push_back(std::move(o));
    Flush(c);
}

// A reply without bytes: PENDING, or a refusal with a Win32 error.
static void SendEmptyReply(Conn *c, uint32_t type, uint32_t error)
{
    SimReply r;
    r.error = error;
    SendReply(c, type, &r);
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
            c->heldRequest.clear();
            c->heldRequest.shrink_to_fit();
            SendReply(c, FERV_FRAME_COMPLETE, &r);
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
        SendEmptyReply(c, FERV_FRAME_PENDING, 0);
        return;
    }
    SendReply(c, FERV_FRAME_COMPLETE, &r);
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
            h->heldRequest.clear();
            SendEmptyReply(h, FERV_FRAME_COMPLETE, r.failError);
        }
    }
    AfterModelWork(s);
    c->closing = true;
    Outgoing o;
    o.bytes.assign(text.begin(), text.end());
    c->out.push_back(std::move(o));
    Flush(c);
}

// Takes `used` bytes off the front of the input.
static void ConsumeInput(Input *in, size_t used)
{
    if (used == 0)
        return;
    memmove(in->bytes.get(), in->bytes.get() + used, in->size - used);
    in->size -= used;
}

// Memory for *size bytes of input. A buffer of several MiB is laid on whole
// huge pages, aligned and rounded to them (*size grows to the bytes it
// holds): a large request is written into it once, and each small page
// would cost a fault of its own. free() gives it back.
static uint8_t *AllocateInput(size_t *size)
{
#if defined(MADV_HUGEPAGE)
    if (*size >= kHugePageInput) {
        const size_t huge = 2 << 20;
        size_t whole = (*size + huge - 1) / huge * huge;
        uint8_t *bytes = (uint8_t *)aligned_alloc(huge, whole);
        if (bytes != nullptr) {
            madvise(bytes, whole, MADV_HUGEPAGE);
            *size = whole;
        }
        return bytes;
    }
#endif
    return (uint8_t *)malloc(*size);
}

// Makes room to read into when the buffer is full: for the whole request
// frame whose header leads the input when the connection is free to take it
// (its size checked first), else for a chunk more. A buffer is never grown
// by realloc: a large one is fresh memory with huge pages, and only the few
// bytes held so far move into it. Returns false when memory runs out.
static bool MakeRoom(Conn *c)
{
    Input *in = &c->in;
    if (in->size < in->capacity)
        return true;
    size_t want = std::max(in->size + kReadChunk, 2 * in->capacity);
    bool busy = c->held || OutputPending(c) || c->closing;
    if (!busy && c->endpoint != ENDPOINT_ADMIN && in->size >= FERV_FRAME_REQ_HEADER_SIZE &&
        FervFrameRequestIsValid(in->bytes.get())) {
        size_t frame = FERV_FRAME_REQ_HEADER_SIZE + (size_t)FervLoad32(in->bytes.get() + FERV_FRAME_REQ_IN_SIZE);
        if (frame <= in->size)
            return true; // a whole request waits: it is handled before anything more is read
        want = frame;
    }
    uint8_t *grown = AllocateInput(&want);
    if (grown == nullptr)
        return false;
    if (in->size > 0)
        memcpy(grown, in->bytes.get(), in->size);
    in->bytes.reset(grown);
    in->capacity = want;
    return true;
}

// Gives a large buffer back once it is empty: a connection that sent one
// large request keeps no memory for it.
static void Shrink(Input *in)
{
    if (in->size == 0 && in->capacity > kReadChunk) {
        in->bytes.reset();
        in->capacity = 0;
    }
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
    while (!c->dead && !c->held && !OutputPending(c) && c->in.size - used >= FERV_FRAME_REQ_HEADER_SIZE) {
        const uint8_t *h = c->in.bytes.get() + used;
        if (!FervFrameRequestIsValid(h)) {
            SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS, "closed a connection: malformed request frame");
            c->dead = true;
            break;
        }
        uint32_t inSize = FervLoad32(h + FERV_FRAME_REQ_IN_SIZE);
        if (c->in.size - used < (size_t)FERV_FRAME_REQ_HEADER_SIZE + inSize)
            break;
        HandleFrame(s, c, FervLoad32(h + FERV_FRAME_REQ_CODE), h + FERV_FRAME_REQ_HEADER_SIZE, inSize,
                    FervLoad32(h + FERV_FRAME_REQ_OUT_SIZE));
        used += FERV_FRAME_REQ_HEADER_SIZE + inSize;
        AfterModelWork(s);
    }
    ConsumeInput(&c->in, used);
    Shrink(&c->in);
}

static void ReadFrom(Server *s, Conn *c)
{
    for (int rounds = 0; rounds < 64 && !c->dead; rounds++) {
        if (!MakeRoom(c)) {
            SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS, "closed a connection: no memory for its request");
            c->dead = true;
            return;
        }
        size_t room = c->in.capacity - c->in.size;
        if (room == 0)
            break;
        ssize_t n = recv(c->fd, c->in.bytes.get() + c->in.size, room, 0);
        if (n > 0) {
            c->in.size += (size_t)n;
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

static bool MakeDir(Server *s, const std::string &path, std::string *error)
{
    if (mkdir(path.c_str(), 0700) == 0) {
        s->madeDirs.push_back(path);
        return true;
    }
    if (errno == EEXIST)
        return true;
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
}

static bool MakeDirs(Server *s, const std::string &path, std::string *error)
{
    for (size_t i = 1; i < path.size(); i++) {
        if (path[i] == '/' && !MakeDir(s, path.substr(0, i), error))
            return false;
    }
    return MakeDir(s, path, error);
}

static bool FillAddress(const std::string &path, struct sockaddr_un *a)
{
    memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    if (path.size() >= sizeof a->sun_path)
        return false;
    memcpy(a->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when something listens on the socket at path.
static bool SocketLive(const std::string &path)
{
    struct sockaddr_un a;
    if (!FillAddress(path, &a))
        return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool live = connect(fd, (struct sockaddr *)&a, sizeof a) == 0;
    close(fd);
    return live;
}

// Removes a socket that nobody serves. Returns false when it is live.
static bool ClearStale(const std::string &path, std::string *error)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return true;
    if (SocketLive(path)) {
        *error = path + " is already served by another process";
        return false;
    }
    unlink(path.c_str());
    return true;
}

static bool Listen(Server *s, const std::string &path, int endpoint, std::string *error)
{
    struct sockaddr_un a;
    if (!FillAddress(path, &a)) {
        *error = "socket path too long: " + path;
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || chmod(path.c_str(), 0600) != 0 ||
        listen(fd, 512) != 0) {
        *error = "cannot listen on " + path + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    s->listeners.push_back(Listener{fd, endpoint, path});
    return true;
}

static std::string InterfaceName(int i)
{
    char name[16];
    snprintf(name, sizeof name, "ferv%04d", i);
    return name;
}

static bool Start(Server *s, std::string *error)
{
    const std::string &root = s->opt.root;
    if (root.empty()) {
        *error = "no root directory";
        return false;
    }
    if (!MakeDirs(s, root, error))
        return false;
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = root + " is not a directory";
        return false;
    }
    if (st.st_uid != geteuid()) {
        *error = root + " belongs to another user";
        return false;
    }
    s->lockPath = root + "/" + SIM_LOCK_NAME;
    s->lockFd = open(s->lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (s->lockFd < 0 || flock(s->lockFd, LOCK_EX | LOCK_NB) != 0) {
        *error = "another emulator already serves " + root;
        if (s->lockFd >= 0)
            close(s->lockFd);
        s->lockFd = -1;
        return false;
    }
    const std::string classDir = root + "/" + FERV_INTERFACE_CLASS_DIR;
    if (!ClearStale(root + "/" + FERV_CONTROL_DEVICE_NAME, error) || !ClearStale(root + "/" + SIM_ADMIN_NAME, error))
        return false;
    if (DIR *d = opendir(classDir.c_str())) {
        bool ok = true;
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != ".." && !ClearStale(classDir + "/" + name, error))
                ok = false;
        }
        closedir(d);
        if (!ok)
            return false;
    }
    if (!MakeDir(s, root + "/" + FERV_INTERFACES_DIR, error) || !MakeDir(s, classDir, error))
        return false;
    if (!Listen(s, root + "/" + FERV_CONTROL_DEVICE_NAME, SIM_ENDPOINT_CONTROL, error))
        return false;
    for (int i = 0; i < s->opt.interfaces; i++)
        if (!Listen(s, classDir + "/" + InterfaceName(i), 1 + i, error))
            return false;
    return Listen(s, root + "/" + SIM_ADMIN_NAME, ENDPOINT_ADMIN, error);
}

static void Stop(Server *s)
{
    for (auto &c : s->conns)
        close(c->fd);
    s->conns.clear();
    for (const Listener &l : s->listeners) {
        close(l.fd);
        unlink(l.path.c_str());
    }
    s->listeners.clear();
    if (s->lockFd >= 0) {
        unlink(s->lockPath.c_str());
        close(s->lockFd);
        s->lockFd = -1;
    }
    for (size_t i = s->madeDirs.size(); i-- > 0;)
        rmdir(s->madeDirs[i].c_str()); // only empty ones go
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
        if (s->conns.size() >= kMaxConnections) {
            SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS, "too many connections; one refused");
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
        s->conns.push_back(std::move(c));
    }
}

// Runs the timers that are due; returns when the next one is.
static double RunTimers(Server *s, double now)
{
    double wake = SimServiceTick(&s->svc, now);
    AfterModelWork(s);
    return wake;
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
        int timeout = wake <= now ? 0 : (int)((wake - now) * 1000) + 1;
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
                    Flush(c);
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
        size_t kept = 0;
        for (size_t i = 0; i < s->conns.size(); i++) {
            if (s->conns[i]->dead) {
                close(s->conns[i]->fd);
                s->conns[i].reset();
            } else {
                s->conns[kept++] = std::move(s->conns[i]);
            }
        }
        s->conns.resize(kept);
    }
}

int SimServe(SimModel *m, const SimServerOptions &opt)
{
    Server s;
    s.m = m;
    s.opt = opt;
    SimServiceInit(&s.svc, m, opt.interfaces, opt.io, opt.log);
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
    if (!FillAddress(path, &a)) {
        fprintf(stderr, "fervsim ctl: socket path too long: %s\n", path.c_str());
        return 2;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        fprintf(stderr, "fervsim ctl: no emulator serves %s\n", root.c_str());
        if (fd >= 0)
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
