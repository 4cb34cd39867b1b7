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
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "lib/ferv_wire.h"
#include "proto/ferv_proto.h"
#include "sim/service.h"

static const size_t kReadChunk = 65536;
static const size_t kBusyInputLimit = 65536; // bytes a client may send while its request is outstanding
static const size_t kAdminLineLimit = 1 << 20;
static const size_t kMaxConnections = 8192;
static const int ENDPOINT_ADMIN = -1;

struct Listener {
    int fd;
    int endpoint; // SIM_ENDPOINT_CONTROL, 1 + interface, or ENDPOINT_ADMIN
    std::string path;
};

struct Conn {
    int fd = -1;
    int endpoint = 0;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    size_t outPos = 0;
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

static void Flush(Conn *c)
{
    while (c->outPos < c->out.size()) {
        ssize_t n = send(c->fd, c->out.data() + c->outPos, c->out.size() - c->outPos, MSG_NOSIGNAL);
        if (n > 0) {
            c->outPos += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        c->dead = true;
        return;
    }
    c->out.clear();
    c->outPos = 0;
    if (c->closing)
        c->dead = true;
}

static bool OutputPending(const Conn *c)
{
    return c->outPos < c->out.size();
}

static void SendReply(Conn *c, uint32_t type, uint32_t error, const std::vector<uint8_t> *data)
{
    uint8_t h[FERV_FRAME_REP_HEADER_SIZE];
    uint32_t info = data ? (uint32_t)data->size() : 0;
    FervFrameStoreReply(h, type, error, info);
    c->out.insert(c->out.end(), h, h + FERV_FRAME_REP_HEADER_SIZE);
    if (info)
        c->out.insert(c->out.end(), data->begin(), data->end());
    Flush(c);
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
            SendReply(c, FERV_FRAME_COMPLETE, r.error, &r.data);
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
        SendReply(c, FERV_FRAME_PENDING, 0, nullptr);
        return;
    }
    SendReply(c, FERV_FRAME_COMPLETE, r.error, &r.data);
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
            SendReply(h, FERV_FRAME_COMPLETE, r.failError, nullptr);
        }
    }
    AfterModelWork(s);
    c->closing = true;
    c->out.insert(c->out.end(), text.begin(), text.end());
    Flush(c);
}

static void ProcessAdmin(Server *s, Conn *c)
{
    if (c->closing)
        return;
    auto nl = std::find(c->in.begin(), c->in.end(), (uint8_t)'\n');
    if (nl == c->in.end()) {
        if (c->in.size() > kAdminLineLimit)
            c->dead = true;
        return;
    }
    std::string line(c->in.begin(), nl);
    c->in.clear();
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
    while (!c->dead && !c->held && !OutputPending(c) && c->in.size() - used >= FERV_FRAME_REQ_HEADER_SIZE) {
        const uint8_t *h = c->in.data() + used;
        if (!FervFrameRequestIsValid(h)) {
            SimLogf(&s->svc, FERV_LOG_INTERNAL_ERRORS, "closed a connection: malformed request frame");
            c->dead = true;
            break;
        }
        uint32_t inSize = FervLoad32(h + FERV_FRAME_REQ_IN_SIZE);
        if (c->in.size() - used < (size_t)FERV_FRAME_REQ_HEADER_SIZE + inSize)
            break;
        HandleFrame(s, c, FervLoad32(h + FERV_FRAME_REQ_CODE), h + FERV_FRAME_REQ_HEADER_SIZE, inSize,
                    FervLoad32(h + FERV_FRAME_REQ_OUT_SIZE));
        used += FERV_FRAME_REQ_HEADER_SIZE + inSize;
        AfterModelWork(s);
    }
    if (used)
        c->in.erase(c->in.begin(), c->in.begin() + (long)used);
}

static void ReadFrom(Server *s, Conn *c)
{
    uint8_t buf[kReadChunk];
    for (int rounds = 0; rounds < 64 && !c->dead; rounds++) {
        ssize_t n = recv(c->fd, buf, sizeof buf, 0);
        if (n > 0) {
            c->in.insert(c->in.end(), buf, buf + n);
            bool busy = c->held || OutputPending(c) || c->closing;
            if (busy && c->in.size() > kBusyInputLimit) {
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
        else if (!c->in.empty() && c->endpoint != ENDPOINT_ADMIN)
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
            if (!c->dead && !c->held && !OutputPending(c) && c->in.size() >= FERV_FRAME_REQ_HEADER_SIZE)
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
