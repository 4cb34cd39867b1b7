// `fervbridge serve`: the service behind the relay driver, reached through
// fervrelay-forward.exe over TCP on 127.0.0.1, and the lease keeper of
// `fervbridge run`.
//
// One main thread polls everything that can arrive: the relay's link, the
// control socket and its clients, the forwarder's end, and wake-ups from the
// handle threads. Every handle a Windows program opens gets a thread of its
// own that opens the socket behind it with the POSIX platform layer and sends
// that handle's requests: the platform blocks for a server's first reply, and
// a slow server must hold up only its own handle. The relay, though, takes no
// other request until the current one has its first answer, so a request
// whose server has not replied within kFirstAnswerMs is held (PEND) by the
// main thread on its behalf, and its completion follows whenever the server
// replies. A handle carries one request at a time: another one sent while
// the first is outstanding fails at once with ERROR_BUSY, as the platform
// fails it. Threads hand their answers to the main thread through one
// outbox, which it writes without blocking.
//
// Any local user may connect to a TCP port on 127.0.0.1, so a connection
// becomes the relay's link only once its first bytes are the token the
// bridge wrote, readable by its own user only, to its state directory (the
// forwarder is given that file's path); one that sends anything else, or
// nothing for kTokenWaitMs, is closed.
//
// The relay's link is taken for dead when it closes, sends a message it
// cannot have sent, takes nothing for kStallMs while messages wait, or leaves
// a SHOW unacknowledged as long: the link is then closed (so the forwarder
// ends and the relay detaches), every handle of it is closed, and a new
// forwarder is started.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/ferv_platform.h"
#include "platform/posix/posix_internal.h"
#include "proto/relay_service.h"
#include "tools/fervbridge/bridge.h"

namespace {

const int kStallMs = 10000;       // a link that moves nothing for this long is dead
const int kFirstAnswerMs = 3000;  // a request not answered by then is held for the relay
const int kForwarderEndMs = 3000; // how long a stopping bridge waits for the forwarder
const int kTokenWaitMs = 5000;    // how long a new connection has to show the token
const size_t kCandidatesKept = 8; // connections that may be showing it at once
const int kHeldPollMs = 100;      // how often a held request looks whether its handle closed
const int kRespawnMaxMs = 5000;   // longest pause between two forwarders
const size_t kShownKept = 64;     // door lists remembered for handles opened late
const uint32_t kDefaultEndpoints = FERV_RELAY_MAX_ENDPOINTS;

long long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *format, ...)
{
    char when[32];
    time_t now = time(nullptr);
    struct tm tm;
    strftime(when, sizeof when, "%H:%M:%S", localtime_r(&now, &tm));
    fprintf(stderr, "%s fervbridge: ", when);
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    fputc('\n', stderr);
    fflush(stderr);
}

// ---- the outbox ---------------------------------------------------------------

struct Outbox {
    std::mutex mutex;
    std::vector<uint8_t> bytes;
    uint64_t link = 0; // messages for another link are dropped
    int wakeFd = -1;
};

Outbox outbox;

void Wake()
{
    char byte = 1;
    if (write(outbox.wakeFd, &byte, 1) < 0) {
        // A full pipe already holds a wake-up.
    }
}

void Post(uint64_t link, uint32_t kind, uint32_t id, uint32_t status, const uint8_t *data, uint32_t size)
{
    uint8_t header[FERV_RELAY_ANS_SIZE];
    FervRelayStoreAnswer(header, kind, id, status, size);
    {
        std::lock_guard<std::mutex> lock(outbox.mutex);
        if (link != outbox.link)
            return;
        outbox.bytes.insert(outbox.bytes.end(), header, header + sizeof header);
        if (size)
            outbox.bytes.insert(outbox.bytes.end(), data, data + size);
    }
    Wake();
}

// ---- handles --------------------------------------------------------------------

struct Job {
    uint32_t id;
    uint32_t code;
    uint32_t outSize;
    std::vector<uint8_t> in;
};

struct Handle {
    uint64_t link;
    uint32_t id;
    std::string root; // the root it was shown under
    std::string path; // empty: the endpoint showed nothing
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs;
    bool closing = false;
    // The request in flight, from the REQUEST until its last answer is
    // posted; `answered` once its first answer (a PEND) is posted.
    bool busy = false;
    bool answered = false;
    uint32_t busyId = 0;
    long long since = 0;
};

bool Closing(Handle &h)
{
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.closing;
}

// Posts the last answer of the handle's request, which frees the handle for
// the next one.
void Finish(Handle &h, uint32_t id, uint32_t status, const uint8_t *data, uint32_t size)
{
    std::lock_guard<std::mutex> lock(h.mutex);
    h.busy = false;
    h.answered = true;
    Post(h.link, FERV_RELAY_KIND_COMPLETE, id, status, data, size);
}

// Posts the PEND of the handle's request unless one was posted already (the
// main thread posts it for a server slow to reply). The caller holds h.mutex.
void HoldLocked(Handle &h)
{
    if (h.answered)
        return;
    h.answered = true;
    Post(h.link, FERV_RELAY_KIND_PEND, h.busyId, 0, nullptr, 0);
}

void Hold(Handle &h)
{
    std::lock_guard<std::mutex> lock(h.mutex);
    HoldLocked(h);
}

// Sends one request on the handle's connection and posts the relay's answers:
// the first one as soon as the server's first reply is in, the completion of
// a held request when it comes. Returns false when the handle closed while
// the request was held (nothing more is posted for it).
bool Serve(Handle &h, HANDLE device, HANDLE event, Job &job)
{
    if (device == INVALID_HANDLE_VALUE) {
        // Wine opens a handle whatever the open answered; its requests fail.
        Finish(h, job.id, BridgeStatusOf(ERROR_GEN_FAILURE), nullptr, 0);
        return true;
    }
    uint32_t inSize = (uint32_t)job.in.size();
    std::vector<uint8_t> buffer = job.in;
    if (buffer.size() < job.outSize)
        buffer.resize(job.outSize);
    uint8_t *data = buffer.empty() ? nullptr : buffer.data();
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;
    DWORD bytes = 0;
    if (DeviceIoControl(device, job.code, inSize ? data : nullptr, inSize, job.outSize ? data : nullptr, job.outSize,
                        &bytes, &overlapped)) {
        Finish(h, job.id, 0, data, bytes);
        return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
        Finish(h, job.id, BridgeStatusOf(error), nullptr, 0);
        return true;
    }
    Hold(h);
    while (WaitForSingleObject(event, kHeldPollMs) != WAIT_OBJECT_0)
        if (Closing(h))
            return false;
    bytes = 0;
    if (GetOverlappedResult(device, &overlapped, &bytes, FALSE))
        Finish(h, job.id, 0, data, bytes);
    else
        Finish(h, job.id, BridgeStatusOf(GetLastError()), nullptr, 0);
    return true;
}

void HandleThread(std::shared_ptr<Handle> h)
{
    HANDLE device = INVALID_HANDLE_VALUE;
    // The folders on the way are checked from the handle's root down, as a
    // program of that root checks them: the bridge's own root is another.
    std::string folder = h->path.substr(0, h->path.rfind('/'));
    if (!h->path.empty() && PosixCheckFoldersUnder(h->root.c_str(), folder.c_str()) == 0)
        device = CreateFileA(h->path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(h->mutex);
            h->changed.wait(lock, [&] { return h->closing || !h->jobs.empty(); });
            if (h->closing)
                break;
            job = std::move(h->jobs.front());
            h->jobs.pop_front();
        }
        if (!Serve(*h, device, event, job))
            break;
    }
    if (device != INVALID_HANDLE_VALUE)
        CloseHandle(device);
    if (event != nullptr)
        CloseHandle(event);
}

// ---- the bridge's state ------------------------------------------------------------

struct Client {
    int fd = -1;
    std::string in;
    enum { NEW, WAITING_ROOT, WAITING_SHOWN, LEASED } state = NEW;
    std::string root;
    uint32_t seq = 0;
    long long since = 0;
    long long granted = 0; // when the root was granted, for the wait to be shown
};

struct Shown {
    std::string root;
    BridgeDoors doors;
};

// A connection on the TCP port that has not shown the token yet.
struct Candidate {
    int fd;
    std::string in;
    long long since;
};

struct Bridge {
    std::string stateDir;
    int attachWaitMs = 0;  // longest wait of `run` for its root to be shown
    std::string token;     // what a forwarder sends first
    std::string tokenPath; // where it reads it
    std::vector<Candidate> candidates;
    std::vector<std::string> forwarder;
    int listenFd = -1; // TCP, for the forwarder
    uint16_t port = 0;
    int ctlFd = -1; // the control socket
    int wakeRead = -1;
    int sigRead = -1;
    bool stopping = false;

    // The link to the relay.
    int link = -1;
    uint64_t linkSerial = 0;
    std::vector<uint8_t> linkIn;
    long long lastProgress = 0; // last time the outbox moved
    bool everShown = false;     // a SHOWN came on this link
    uint32_t instances = kDefaultEndpoints - 1;
    std::map<uint32_t, std::shared_ptr<Handle>> handles;

    // The forwarder process.
    pid_t child = -1;
    long long respawnAt = 0;
    int respawnDelay = 200;

    // What is shown.
    std::string root; // the bound root
    int leases = 0;
    uint32_t seq = 0;      // last SHOW sent
    uint32_t shownSeq = 0; // last SHOW acknowledged
    std::map<uint32_t, Shown> shown;
    BridgeDoors current; // doors of the last SHOW sent
    std::vector<std::unique_ptr<Client>> clients;
};

int selfPipe[2] = {-1, -1};

void OnSignal(int sig)
{
    unsigned char byte = (unsigned char)sig;
    int saved = errno;
    if (write(selfPipe[1], &byte, 1) < 0) {
    }
    errno = saved;
}

void SetNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void SendShow(Bridge &b)
{
    if (b.link < 0)
        return;
    b.current = BridgeScanRoot(b.root);
    b.seq++;
    if (b.seq == 0)
        b.seq = 1;
    b.shown[b.seq] = Shown{b.root, b.current};
    while (b.shown.size() > kShownKept)
        b.shown.erase(b.shown.begin());
    std::vector<uint8_t> flags = BridgePresence(b.current, 1 + b.instances);
    Post(b.linkSerial, FERV_RELAY_KIND_SHOW, b.seq, FERV_RELAY_KEEPALIVE_MS, flags.data(), (uint32_t)flags.size());
}

void CloseHandles(Bridge &b)
{
    for (auto &entry : b.handles) {
        std::lock_guard<std::mutex> lock(entry.second->mutex);
        entry.second->closing = true;
        entry.second->changed.notify_all();
    }
    b.handles.clear();
}

void KillForwarder(Bridge &b)
{
    if (b.child > 0)
        kill(b.child, SIGKILL);
}

// Holds, for the relay, every request whose server has not given its first
// reply in time: the relay takes nothing else until it is answered.
void HoldSlowRequests(Bridge &b, long long now)
{
    for (auto &entry : b.handles) {
        Handle &h = *entry.second;
        std::lock_guard<std::mutex> lock(h.mutex);
        if (h.busy && now - h.since >= kFirstAnswerMs)
            HoldLocked(h);
    }
}

// Waits a while for the forwarder to end, then kills it; either way it is
// reaped.
void EndForwarder(Bridge &b)
{
    if (b.child <= 0)
        return;
    long long deadline = NowMs() + kForwarderEndMs;
    for (;;) {
        int status;
        pid_t pid = waitpid(b.child, &status, WNOHANG);
        if (pid == b.child || (pid < 0 && errno != EINTR))
            break;
        if (NowMs() >= deadline) {
            Log("the forwarder (pid %d) did not end: killed", (int)b.child);
            kill(b.child, SIGKILL);
            while (waitpid(b.child, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        usleep(20000);
    }
    b.child = -1;
}

void DropLink(Bridge &b, const char *why)
{
    if (b.link < 0)
        return;
    Log("the relay's link ends: %s", why);
    close(b.link);
    b.link = -1;
    b.linkIn.clear();
    {
        std::lock_guard<std::mutex> lock(outbox.mutex);
        outbox.bytes.clear();
        outbox.link = 0;
    }
    CloseHandles(b);
    // The forwarder ends by itself once its connection is gone; one that
    // hangs is ended here.
    KillForwarder(b);
    for (auto &c : b.clients)
        if (c->state == Client::WAITING_SHOWN)
            c->seq = 0; // to be shown again on the next link
}

void StartForwarder(Bridge &b)
{
    if (b.forwarder.empty() || b.child > 0 || b.link >= 0 || b.stopping)
        return;
    std::vector<std::string> args = b.forwarder;
    args.push_back(std::to_string(b.port));
    args.push_back("Z:" + b.tokenPath); // the forwarder runs under Wine
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Its own session: a program that kills wine-run's process group
        // must not take the forwarder with it.
        setsid();
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0)
            dup2(devNull, 0);
        execvp(argv[0], argv.data());
        fprintf(stderr, "fervbridge: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    if (pid < 0) {
        Log("fork: %s", strerror(errno));
        return;
    }
    b.child = pid;
    Log("started the forwarder (pid %d)", (int)pid);
}

void Reap(Bridge &b)
{
    for (;;) {
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            return;
        if (pid == b.child) {
            b.child = -1;
            Log("the forwarder ended (%s %d)", WIFEXITED(status) ? "status" : "signal",
                WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
            DropLink(b, "the forwarder ended");
            b.respawnAt = NowMs() + b.respawnDelay;
            b.respawnDelay = std::min(b.respawnDelay * 2, kRespawnMaxMs);
        }
    }
}

// ---- clients of the control socket ------------------------------------------------

void Reply(Client &c, const std::string &line)
{
    std::string text = line + "\n";
    if (send(c.fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        // A client that cannot take one line is gone; its close is seen next.
    }
}

void Grant(Bridge &b, Client &c)
{
    if (b.leases == 0 && b.root != c.root)
        Log("showing %s", c.root.c_str());
    b.root = c.root;
    b.leases++;
    c.state = Client::WAITING_SHOWN;
    c.since = NowMs();
    c.granted = c.since;
    c.seq = 0;
    if (b.link >= 0) {
        SendShow(b);
        c.seq = b.seq;
    }
}

// Gives the bound root to the clients that wait for another one, once no
// lease holds it.
void GrantWaiting(Bridge &b)
{
    if (b.leases != 0)
        return;
    std::string next;
    for (auto &c : b.clients)
        if (c->state == Client::WAITING_ROOT && (next.empty() || c->root == next)) {
            next = c->root;
            Grant(b, *c);
        }
}

std::string Warning(Bridge &b)
{
    if (b.current.interfaces.size() <= b.instances)
        return "";
    return " " + std::to_string(b.current.interfaces.size()) + " interfaces under " + b.root + ", the relay has " +
           std::to_string(b.instances) + " instances: only the first are shown";
}

void OnShown(Bridge &b, uint32_t seq, uint32_t instances)
{
    b.shownSeq = seq;
    b.instances = instances;
    if (!b.everShown) {
        b.everShown = true;
        Log("the relay is served (%u instances)", instances);
    }
    for (auto &c : b.clients)
        if (c->state == Client::WAITING_SHOWN && c->seq != 0 && (int32_t)(seq - c->seq) >= 0) {
            c->state = Client::LEASED;
            Reply(*c, "ok" + Warning(b));
        }
}

void OnCommand(Bridge &b, Client &c, const std::string &line)
{
    if (line.compare(0, 5, "bind ") == 0 && line.size() > 5 && line[5] == '/') {
        c.root = line.substr(5);
        if (b.leases == 0 || c.root == b.root)
            Grant(b, c);
        else
            c.state = Client::WAITING_ROOT;
        return;
    }
    if (line == "ping") {
        Reply(c, b.link >= 0 && b.everShown ? "ok " + std::to_string(b.port) : "down");
        return;
    }
    if (line == "stop") {
        Reply(c, "ok");
        b.stopping = true;
        return;
    }
    Reply(c, "error unknown command");
}

void CloseClient(Bridge &b, Client &c)
{
    if (c.state == Client::WAITING_SHOWN || c.state == Client::LEASED)
        b.leases--;
    close(c.fd);
    c.fd = -1;
}

void ReadClient(Bridge &b, Client &c)
{
    char chunk[4096];
    ssize_t n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        CloseClient(b, c);
        return;
    }
    if (c.state != Client::NEW)
        return; // one command per connection; the rest is ignored
    c.in.append(chunk, (size_t)n);
    size_t end = c.in.find('\n');
    if (end == std::string::npos) {
        if (c.in.size() > 65536)
            CloseClient(b, c);
        return;
    }
    OnCommand(b, c, c.in.substr(0, end));
}

// ---- the relay's link ----------------------------------------------------------------

// Takes every whole message of the link's input. Returns false when the link
// sent something the relay cannot have sent.
bool TakeMessages(Bridge &b)
{
    size_t used = 0;
    while (b.linkIn.size() - used >= FERV_RELAY_REQ_SIZE) {
        const uint8_t *h = b.linkIn.data() + used;
        uint32_t kind = FervRelayLoad32(h, FERV_RELAY_REQ_KIND);
        uint32_t id = FervRelayLoad32(h, FERV_RELAY_REQ_ID);
        uint32_t code = FervRelayLoad32(h, FERV_RELAY_REQ_CODE);
        uint32_t endpoint = FervRelayLoad32(h, FERV_RELAY_REQ_ENDPOINT);
        uint32_t inSize = FervRelayLoad32(h, FERV_RELAY_REQ_IN_SIZE);
        uint32_t outSize = FervRelayLoad32(h, FERV_RELAY_REQ_OUT_SIZE);
        uint32_t handle = FervRelayLoad32(h, FERV_RELAY_REQ_HANDLE);
        if (FervRelayLoad32(h, FERV_RELAY_REQ_MAGIC) != FERV_RELAY_MAGIC || inSize > FERV_RELAY_MAX_DATA ||
            outSize > FERV_RELAY_MAX_DATA || (kind != FERV_RELAY_KIND_REQUEST && inSize != 0))
            return false;
        if (b.linkIn.size() - used - FERV_RELAY_REQ_SIZE < inSize)
            break;
        const uint8_t *body = h + FERV_RELAY_REQ_SIZE;
        used += FERV_RELAY_REQ_SIZE + inSize;
        switch (kind) {
        case FERV_RELAY_KIND_OPEN: {
            auto h2 = std::make_shared<Handle>();
            h2->link = b.linkSerial;
            h2->id = id;
            auto seen = b.shown.find(code);
            if (seen != b.shown.end()) {
                h2->root = seen->second.root;
                h2->path = BridgeDoorPath(seen->second.root, seen->second.doors, endpoint);
            }
            auto old = b.handles.find(id);
            if (old != b.handles.end()) {
                std::lock_guard<std::mutex> lock(old->second->mutex);
                old->second->closing = true;
                old->second->changed.notify_all();
            }
            b.handles[id] = h2;
            std::thread(HandleThread, h2).detach();
            break;
        }
        case FERV_RELAY_KIND_CLOSE: {
            auto found = b.handles.find(id);
            if (found != b.handles.end()) {
                std::lock_guard<std::mutex> lock(found->second->mutex);
                found->second->closing = true;
                found->second->changed.notify_all();
                b.handles.erase(found);
            }
            break;
        }
        case FERV_RELAY_KIND_REQUEST: {
            auto found = b.handles.find(handle);
            if (found == b.handles.end()) {
                Post(b.linkSerial, FERV_RELAY_KIND_COMPLETE, id, FERV_RELAY_STATUS_UNSUCCESSFUL, nullptr, 0);
                break;
            }
            Handle &target = *found->second;
            std::lock_guard<std::mutex> lock(target.mutex);
            if (target.busy) {
                // The one in flight (held, or waiting for its server) is left
                // as it is.
                Post(b.linkSerial, FERV_RELAY_KIND_COMPLETE, id, BridgeStatusOf(POSIX_ERROR_BUSY), nullptr, 0);
                break;
            }
            target.busy = true;
            target.answered = false;
            target.busyId = id;
            target.since = NowMs();
            target.jobs.push_back(Job{id, code, outSize, std::vector<uint8_t>(body, body + inSize)});
            target.changed.notify_all();
            break;
        }
        case FERV_RELAY_KIND_SHOWN:
            OnShown(b, id, code);
            break;
        default:
            return false;
        }
    }
    b.linkIn.erase(b.linkIn.begin(), b.linkIn.begin() + (long)used);
    return true;
}

void ReadLink(Bridge &b)
{
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = recv(b.link, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            b.linkIn.insert(b.linkIn.end(), chunk, chunk + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        DropLink(b, n == 0 ? "closed by the relay's side" : strerror(errno));
        return;
    }
    if (!TakeMessages(b))
        DropLink(b, "a message the relay cannot have sent");
}

void FlushLink(Bridge &b)
{
    std::lock_guard<std::mutex> lock(outbox.mutex);
    if (outbox.bytes.empty()) {
        b.lastProgress = NowMs();
        return;
    }
    ssize_t n = send(b.link, outbox.bytes.data(), outbox.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        outbox.bytes.erase(outbox.bytes.begin(), outbox.bytes.begin() + n);
        b.lastProgress = NowMs();
    }
}

// Makes fd the relay's link; rest is what it sent after the token.
void TakeLink(Bridge &b, int fd, const std::string &rest)
{
    b.link = fd;
    b.linkSerial++;
    b.linkIn.assign(rest.begin(), rest.end());
    b.everShown = false;
    b.lastProgress = NowMs();
    b.respawnDelay = 200;
    {
        std::lock_guard<std::mutex> lock(outbox.mutex);
        outbox.bytes.clear();
        outbox.link = b.linkSerial;
    }
    SendShow(b);
    for (auto &c : b.clients)
        if (c->state == Client::WAITING_SHOWN) {
            c->seq = b.seq;
            c->since = NowMs();
        }
}

void AcceptLink(Bridge &b)
{
    int fd = accept(b.listenFd, nullptr, nullptr);
    if (fd < 0)
        return;
    if (b.candidates.size() >= kCandidatesKept) {
        close(fd);
        return;
    }
    SetNonBlocking(fd);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    b.candidates.push_back(Candidate{fd, "", NowMs()});
}

// Compares without stopping at the first difference.
bool SameToken(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); i++)
        diff |= (unsigned char)(a[i] ^ b[i]);
    return diff == 0;
}

// Reads what a candidate sent; it becomes the link once it has shown the
// token (and no other link is up), and is closed when it showed anything
// else or went away. Returns false when it is done with (taken or closed).
bool ReadCandidate(Bridge &b, Candidate &c)
{
    char chunk[4096];
    for (;;) {
        ssize_t n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            c.in.append(chunk, (size_t)n);
            if (c.in.size() >= b.token.size())
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        close(c.fd);
        return false;
    }
    if (!SameToken(c.in.substr(0, b.token.size()), b.token)) {
        Log("a connection on the relay's port without the token: closed");
        close(c.fd);
        return false;
    }
    if (b.link >= 0) {
        close(c.fd); // one relay at a time
        return false;
    }
    TakeLink(b, c.fd, c.in.substr(b.token.size()));
    if (!b.linkIn.empty() && !TakeMessages(b))
        DropLink(b, "a message the relay cannot have sent");
    return false;
}

// Writes a new random token to the state directory, readable by this user
// only; false when it cannot.
bool MakeToken(Bridge &b, std::string *error)
{
    unsigned char random[32];
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && read(fd, random, sizeof random) == (ssize_t)sizeof random;
    if (fd >= 0)
        close(fd);
    if (!ok) {
        *error = std::string("cannot read /dev/urandom: ") + strerror(errno);
        return false;
    }
    static const char kHex[] = "0123456789abcdef";
    b.token.clear();
    for (unsigned char byte : random) {
        b.token += kHex[byte >> 4];
        b.token += kHex[byte & 15];
    }
    char *dir = realpath(b.stateDir.c_str(), nullptr);
    if (dir == nullptr) {
        *error = "cannot resolve " + b.stateDir + ": " + strerror(errno);
        return false;
    }
    b.tokenPath = std::string(dir) + "/bridge.token";
    free(dir);
    std::string fresh = b.tokenPath + ".new";
    unlink(fresh.c_str());
    fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    ok = fd >= 0 && fchmod(fd, 0600) == 0 && write(fd, b.token.data(), b.token.size()) == (ssize_t)b.token.size();
    if (fd >= 0 && close(fd) != 0)
        ok = false;
    if (!ok || rename(fresh.c_str(), b.tokenPath.c_str()) != 0) {
        *error = "cannot write " + b.tokenPath + ": " + strerror(errno);
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

// ---- set-up -------------------------------------------------------------------------

bool Listen(Bridge &b, std::string *error)
{
    b.listenFd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (b.listenFd < 0 || bind(b.listenFd, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(b.listenFd, 4) != 0 || getsockname(b.listenFd, (struct sockaddr *)&address, &length) != 0) {
        *error = std::string("cannot listen on 127.0.0.1: ") + strerror(errno);
        return false;
    }
    SetNonBlocking(b.listenFd);
    b.port = ntohs(address.sin_port);

    std::string path = BridgeSocketPath(b.stateDir);
    struct sockaddr_un unixAddress;
    memset(&unixAddress, 0, sizeof unixAddress);
    unixAddress.sun_family = AF_UNIX;
    if (path.size() >= sizeof unixAddress.sun_path) {
        *error = "the state directory's path is too long for a socket: " + path;
        return false;
    }
    memcpy(unixAddress.sun_path, path.c_str(), path.size() + 1);
    b.ctlFd = socket(AF_UNIX, SOCK_STREAM, 0);
    // A socket left by a bridge that died is replaced; a live one is not.
    if (connect(b.ctlFd, (struct sockaddr *)&unixAddress, sizeof unixAddress) == 0) {
        *error = "another bridge serves " + path;
        return false;
    }
    close(b.ctlFd);
    unlink(path.c_str());
    b.ctlFd = socket(AF_UNIX, SOCK_STREAM, 0);
    mode_t old = umask(0077);
    bool ok = b.ctlFd >= 0 && bind(b.ctlFd, (struct sockaddr *)&unixAddress, sizeof unixAddress) == 0 &&
              listen(b.ctlFd, 64) == 0;
    umask(old);
    if (!ok) {
        *error = "cannot serve " + path + ": " + strerror(errno);
        return false;
    }
    SetNonBlocking(b.ctlFd);
    return true;
}

} // namespace

std::string BridgeSocketPath(const std::string &stateDir)
{
    return stateDir + "/bridge.sock";
}

int BridgeServe(const std::string &stateDir, int attachWaitSeconds, const std::vector<std::string> &forwarder)
{
    Bridge b;
    b.stateDir = stateDir;
    b.attachWaitMs = attachWaitSeconds * 1000;
    b.forwarder = forwarder;
    int wake[2];
    if (pipe(wake) != 0 || pipe(selfPipe) != 0) {
        Log("pipe: %s", strerror(errno));
        return 1;
    }
    SetNonBlocking(wake[0]);
    SetNonBlocking(wake[1]);
    SetNonBlocking(selfPipe[0]);
    SetNonBlocking(selfPipe[1]);
    outbox.wakeFd = wake[1];
    b.wakeRead = wake[0];
    b.sigRead = selfPipe[0];
    std::string error;
    if (!MakeToken(b, &error) || !Listen(b, &error)) {
        Log("%s", error.c_str());
        return 1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGCHLD, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Log("listening on 127.0.0.1:%u and %s", (unsigned)b.port, BridgeSocketPath(stateDir).c_str());
    // The port, for a relay's side that is started by hand; written beside
    // and renamed, so that whoever sees the file reads it whole.
    std::string portPath = stateDir + "/bridge.port";
    FILE *portFile = fopen((portPath + ".new").c_str(), "w");
    if (portFile) {
        bool written = fprintf(portFile, "%u\n", (unsigned)b.port) > 0;
        if (fclose(portFile) == 0 && written)
            rename((portPath + ".new").c_str(), portPath.c_str());
    }

    long long nextKeepalive = NowMs();
    long long nextScan = NowMs();
    while (!b.stopping) {
        long long now = NowMs();
        if (b.child <= 0 && b.link < 0 && now >= b.respawnAt)
            StartForwarder(b);
        if (b.link >= 0) {
            if (now >= nextKeepalive) {
                Post(b.linkSerial, FERV_RELAY_KIND_KEEPALIVE, 0, 0, nullptr, 0);
                nextKeepalive = now + FERV_RELAY_KEEPALIVE_MS;
            }
            // While programs run, what they see follows the root.
            if (b.leases > 0 && now >= nextScan) {
                BridgeDoors doors = BridgeScanRoot(b.root);
                if (doors.control != b.current.control || doors.interfaces != b.current.interfaces)
                    SendShow(b);
                nextScan = now + 250;
            }
            HoldSlowRequests(b, now);
            FlushLink(b);
            bool waiting = false;
            for (auto &c : b.clients)
                waiting = waiting || (c->state == Client::WAITING_SHOWN && c->seq != 0 && now - c->since > kStallMs);
            if (now - b.lastProgress > kStallMs)
                DropLink(b, "nothing taken for too long");
            else if (waiting)
                DropLink(b, "a SHOW was not acknowledged");
        }

        // A program is not kept waiting for ever by a relay that never
        // comes (a forwarder that cannot attach, say).
        for (auto &c : b.clients)
            if (c->fd >= 0 && c->state == Client::WAITING_SHOWN && now - c->granted > b.attachWaitMs) {
                Reply(*c, "error the relay was not served within " + std::to_string(b.attachWaitMs / 1000) +
                              " s (see the bridge's log)");
                CloseClient(b, *c);
            }

        std::vector<struct pollfd> watch;
        watch.push_back({b.sigRead, POLLIN, 0});
        watch.push_back({b.wakeRead, POLLIN, 0});
        watch.push_back({b.listenFd, POLLIN, 0});
        watch.push_back({b.ctlFd, POLLIN, 0});
        size_t linkAt = 0, clientsAt = watch.size();
        for (auto &c : b.clients)
            watch.push_back({c->fd, POLLIN, 0});
        if (b.link >= 0) {
            linkAt = watch.size();
            bool pending;
            {
                std::lock_guard<std::mutex> lock(outbox.mutex);
                pending = !outbox.bytes.empty();
            }
            watch.push_back({b.link, (short)(POLLIN | (pending ? POLLOUT : 0)), 0});
        }
        size_t candidatesAt = watch.size();
        for (auto &c : b.candidates)
            watch.push_back({c.fd, POLLIN, 0});
        int timeout = 100;
        if (poll(watch.data(), watch.size(), timeout) < 0 && errno != EINTR) {
            Log("poll: %s", strerror(errno));
            break;
        }
        if (watch[0].revents) {
            unsigned char sig[64];
            ssize_t n;
            while ((n = read(b.sigRead, sig, sizeof sig)) > 0)
                for (ssize_t i = 0; i < n; i++)
                    if (sig[i] != SIGCHLD)
                        b.stopping = true;
            Reap(b);
        }
        if (watch[1].revents) {
            char drain[256];
            while (read(b.wakeRead, drain, sizeof drain) > 0) {
            }
        }
        // Candidates first: one taken now is not seen among them below.
        std::vector<Candidate> kept;
        for (size_t i = 0; i < b.candidates.size(); i++) {
            Candidate &c = b.candidates[i];
            if (candidatesAt + i < watch.size() && watch[candidatesAt + i].revents && !ReadCandidate(b, c))
                continue;
            if (NowMs() - c.since > kTokenWaitMs) {
                close(c.fd);
                continue;
            }
            kept.push_back(c);
        }
        b.candidates.swap(kept);
        if (watch[2].revents)
            AcceptLink(b);
        if (watch[3].revents) {
            int fd;
            while ((fd = accept(b.ctlFd, nullptr, nullptr)) >= 0) {
                SetNonBlocking(fd);
                auto c = std::make_unique<Client>();
                c->fd = fd;
                b.clients.push_back(std::move(c));
            }
        }
        for (size_t i = 0;
             i < b.clients.size() && clientsAt + i < watch.size() && (linkAt == 0 || clientsAt + i < linkAt); i++)
            if (watch[clientsAt + i].revents && b.clients[i]->fd >= 0)
                ReadClient(b, *b.clients[i]);
        bool closed = false;
        for (auto &c : b.clients)
            closed = closed || c->fd < 0;
        if (closed) {
            b.clients.erase(std::remove_if(b.clients.begin(), b.clients.end(),
                                           [](const std::unique_ptr<Client> &c) { return c->fd < 0; }),
                            b.clients.end());
            GrantWaiting(b);
        }
        if (linkAt != 0 && b.link >= 0 && watch[linkAt].revents) {
            if (watch[linkAt].revents & (POLLIN | POLLHUP | POLLERR))
                ReadLink(b);
            if (b.link >= 0)
                FlushLink(b);
        }
    }
    Log("stopping");
    // No forwarder can attach from now on: one still on its way finds
    // nothing to connect to and ends by itself.
    close(b.listenFd);
    b.listenFd = -1;
    for (auto &c : b.candidates)
        close(c.fd);
    b.candidates.clear();
    DropLink(b, "the bridge stops");
    EndForwarder(b);
    for (auto &c : b.clients)
        if (c->fd >= 0)
            close(c->fd);
    unlink(BridgeSocketPath(stateDir).c_str());
    unlink(portPath.c_str());
    unlink(b.tokenPath.c_str());
    return 0;
}
