#include "test_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

namespace ferv_test {

// ---- replies ------------------------------------------------------------------

Reply &Reply::SendPending()
{
    ReplyStep step;
    step.kind = ReplyStep::Pending;
    steps.push_back(std::move(step));
    return *this;
}

Reply &Reply::SendComplete(std::vector<uint8_t> bytes, uint32_t error)
{
    ReplyStep step;
    step.kind = ReplyStep::Complete;
    step.error = error;
    step.bytes = std::move(bytes);
    steps.push_back(std::move(step));
    return *this;
}

Reply &Reply::SendRaw(std::vector<uint8_t> bytes)
{
    ReplyStep step;
    step.kind = ReplyStep::Raw;
    step.bytes = std::move(bytes);
    steps.push_back(std::move(step));
    return *this;
}

Reply &Reply::Wait(int delayMs)
{
    ReplyStep step;
    step.kind = ReplyStep::Delay;
    step.delayMs = delayMs;
    steps.push_back(std::move(step));
    return *this;
}

Reply &Reply::AwaitTrigger(std::string name)
{
    ReplyStep step;
    step.kind = ReplyStep::AwaitTrigger;
    step.trigger = std::move(name);
    steps.push_back(std::move(step));
    return *this;
}

Reply &Reply::CloseConnection()
{
    ReplyStep step;
    step.kind = ReplyStep::Close;
    steps.push_back(std::move(step));
    return *this;
}

Reply CompleteWith(std::vector<uint8_t> bytes, uint32_t error)
{
    return Reply().SendComplete(std::move(bytes), error);
}

Reply RefuseWith(uint32_t error)
{
    return Reply().SendComplete({}, error);
}

Reply PendThenComplete(std::vector<uint8_t> bytes, int delayMs, uint32_t error)
{
    return Reply().SendPending().Wait(delayMs).SendComplete(std::move(bytes), error);
}

Reply PendUntilTrigger(const std::string &trigger, std::vector<uint8_t> bytes, uint32_t error)
{
    return Reply().SendPending().AwaitTrigger(trigger).SendComplete(std::move(bytes), error);
}

Reply PendThenBreak(int delayMs)
{
    return Reply().SendPending().Wait(delayMs).CloseConnection();
}

Reply BreakConnection()
{
    return Reply().CloseConnection();
}

Reply RawThenClose(std::vector<uint8_t> bytes)
{
    return Reply().SendRaw(std::move(bytes)).CloseConnection();
}

std::vector<uint8_t> ReplyHeader(uint32_t type, uint32_t error, uint32_t information, uint32_t magic,
                                 uint32_t reserved)
{
    std::vector<uint8_t> header(FERV_FRAME_REP_HEADER_SIZE);
    Put32(header, FERV_FRAME_REP_MAGIC, magic);
    Put32(header, FERV_FRAME_REP_TYPE, type);
    Put32(header, FERV_FRAME_REP_ERROR, error);
    Put32(header, FERV_FRAME_REP_INFORMATION, information);
    Put32(header, FERV_FRAME_REP_RESERVED, reserved);
    return header;
}

void Put32(std::vector<uint8_t> &bytes, size_t offset, uint32_t value)
{
    if (bytes.size() < offset + 4)
        bytes.resize(offset + 4);
    FervStore32(bytes.data() + offset, value);
}

uint32_t Get32(const std::vector<uint8_t> &bytes, size_t offset)
{
    if (offset > bytes.size() || bytes.size() - offset < 4)
        return 0;
    return FervLoad32(bytes.data() + offset);
}

void PutBytes(std::vector<uint8_t> &bytes, size_t offset, const void *data, size_t length)
{
    if (bytes.size() < offset + length)
        bytes.resize(offset + length);
    if (length > 0)
        memcpy(bytes.data() + offset, data, length);
}

std::vector<uint8_t> EchoWithStatus(const ReceivedRequest &request, uint32_t status)
{
    std::vector<uint8_t> bytes = request.input;
    bytes.resize(request.outSize);
    if (bytes.size() >= 4)
        FervStore32(bytes.data(), status);
    return bytes;
}

// ---- server state -------------------------------------------------------------

namespace {

enum EntryKind { ENTRY_SERVED, ENTRY_PLAIN, ENTRY_DEAD };

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool MakeDirectory(const std::string &path)
{
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

} // namespace

struct TestServer::Endpoint {
    std::string name;
    std::string path;
    int kind = ENTRY_SERVED;
    int listenFd = -1;
    int accepted = 0;
    int open = 0;
};

struct TestServer::Connection {
    int fd = -1;
    std::string endpoint;
    uint64_t serial = 0;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    size_t outSent = 0;
    std::vector<ReplyStep> steps; // the reply being run
    size_t nextStep = 0;
    long long resumeAt = 0; // end of a running Delay step, 0 if none
    bool closing = false;   // close once out has gone
    bool closed = false;
};

TestServer::TestServer()
{
    char pattern[] = "/tmp/ferv-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "cannot make a root directory: " << strerror(errno);
        return;
    }
    root_ = pattern;
    Start();
}

TestServer::TestServer(const std::string &root) : root_(root)
{
    if (mkdir(root.c_str(), 0700) != 0) {
        ADD_FAILURE() << "cannot make root directory " << root << ": " << strerror(errno);
        root_.clear();
        return;
    }
    Start();
}

void TestServer::Start()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return;
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    thread_ = std::thread([this] { Loop(); });
    threadId_ = thread_.get_id();
}

TestServer::~TestServer()
{
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        Wake();
        thread_.join();
    }
    for (auto &connection : connections_)
        if (!connection->closed)
            close(connection->fd);
    for (auto &entry : endpoints_)
        if (entry.second->listenFd >= 0)
            close(entry.second->listenFd);
    if (wakeRead_ >= 0)
        close(wakeRead_);
    if (wakeWrite_ >= 0)
        close(wakeWrite_);
    if (!root_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
}

void TestServer::Wake()
{
    char byte = 1;
    if (wakeWrite_ >= 0 && write(wakeWrite_, &byte, 1) < 0) {
        // A full pipe already holds a wake-up; nothing is lost.
    }
}

std::string TestServer::InterfaceDir() const
{
    return root_ + "/" FERV_INTERFACES_DIR "/" + kInterfaceClass;
}

std::string TestServer::PathOf(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = endpoints_.find(name);
    if (found == endpoints_.end()) {
        ADD_FAILURE() << "no entry named " << name;
        return root_ + "/" + name;
    }
    return found->second->path;
}

std::pair<std::string, std::string> TestServer::EnvVar() const
{
    return {"FERV_DEVICE_ROOT", root_};
}

// ---- endpoints ----------------------------------------------------------------

void TestServer::AddEntry(const std::string &name, bool inInterfaceDir, int kind)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (endpoints_.count(name) != 0) {
            ADD_FAILURE() << "entry " << name << " added twice";
            return;
        }
    }
    if (inInterfaceDir && !(MakeDirectory(root_ + "/" FERV_INTERFACES_DIR) && MakeDirectory(InterfaceDir()))) {
        ADD_FAILURE() << "cannot make " << InterfaceDir() << ": " << strerror(errno);
        return;
    }
    auto endpoint = std::make_unique<Endpoint>();
    endpoint->name = name;
    endpoint->path = (inInterfaceDir ? InterfaceDir() : root_) + "/" + name;
    endpoint->kind = kind;

    if (kind == ENTRY_PLAIN) {
        int fd = open(endpoint->path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) {
            ADD_FAILURE() << "cannot make " << endpoint->path << ": " << strerror(errno);
            return;
        }
        close(fd);
    } else {
        struct sockaddr_un address;
        memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        if (endpoint->path.size() >= sizeof address.sun_path) {
            ADD_FAILURE() << "socket path too long: " << endpoint->path;
            return;
        }
        memcpy(address.sun_path, endpoint->path.c_str(), endpoint->path.size() + 1);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0 || bind(fd, (const struct sockaddr *)&address, sizeof address) != 0 ||
            (kind == ENTRY_SERVED && listen(fd, 64) != 0)) {
            ADD_FAILURE() << "cannot serve " << endpoint->path << ": " << strerror(errno);
            if (fd >= 0)
                close(fd);
            return;
        }
        if (kind == ENTRY_DEAD)
            close(fd); // the socket file stays; nobody listens on it
        else
            endpoint->listenFd = fd;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        endpoints_[name] = std::move(endpoint);
    }
    Wake();
}

void TestServer::AddInterface(const std::string &name)
{
    AddEntry(name, true, ENTRY_SERVED);
}

void TestServer::AddDevice(const std::string &name)
{
    AddEntry(name, false, ENTRY_SERVED);
}

void TestServer::AddPlainInterface(const std::string &name)
{
    AddEntry(name, true, ENTRY_PLAIN);
}

void TestServer::AddDeadInterface(const std::string &name)
{
    AddEntry(name, true, ENTRY_DEAD);
}

void TestServer::AddDeadDevice(const std::string &name)
{
    AddEntry(name, false, ENTRY_DEAD);
}

void TestServer::RunOnServerThread(const std::function<void()> &work)
{
    if (std::this_thread::get_id() == threadId_ || !thread_.joinable()) {
        work();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    work_.push_back(work);
    uint64_t ticket = ++workQueued_;
    Wake();
    changed_.wait(lock, [&] { return workDone_ >= ticket; });
}

void TestServer::DropConnections(const std::string &name)
{
    RunOnServerThread([&] {
        for (auto &connection : connections_)
            if (!connection->closed && connection->endpoint == name)
                CloseConnection(*connection);
    });
}

void TestServer::RemoveEndpoint(const std::string &name)
{
    RunOnServerThread([&] {
        for (auto &connection : connections_)
            if (!connection->closed && connection->endpoint == name)
                CloseConnection(*connection);
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = endpoints_.find(name);
        if (found == endpoints_.end()) {
            ADD_FAILURE() << "no entry named " << name;
            return;
        }
        if (found->second->listenFd >= 0)
            close(found->second->listenFd);
        unlink(found->second->path.c_str());
        endpoints_.erase(found);
    });
}

// ---- answers and records ------------------------------------------------------

void TestServer::QueueReply(const std::string &endpoint, Reply reply)
{
    std::lock_guard<std::mutex> lock(mutex_);
    queued_[endpoint].push_back(std::move(reply));
}

void TestServer::SetHandler(const std::string &endpoint, Handler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[endpoint] = std::move(handler);
}

void TestServer::Trigger(const std::string &name)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        triggers_.insert(name);
    }
    Wake();
}

std::vector<ReceivedRequest> TestServer::Requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t TestServer::RequestCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

bool TestServer::WaitForRequests(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

int TestServer::Connections(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = endpoints_.find(name);
    return found == endpoints_.end() ? 0 : found->second->accepted;
}

int TestServer::OpenConnections(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = endpoints_.find(name);
    return found == endpoints_.end() ? 0 : found->second->open;
}

bool TestServer::WaitForOpenConnections(const std::string &name, int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        auto found = endpoints_.find(name);
        return found != endpoints_.end() && found->second->open == count;
    });
}

int TestServer::ProtocolErrors() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return protocolErrors_;
}

// ---- the server thread ----------------------------------------------------------

void TestServer::CloseConnection(Connection &connection)
{
    if (connection.closed)
        return;
    close(connection.fd);
    connection.closed = true;
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = endpoints_.find(connection.endpoint);
    if (found != endpoints_.end())
        found->second->open--;
    changed_.notify_all();
}

void TestServer::AcceptOn(Endpoint &endpoint)
{
    for (;;) {
        int fd = accept4(endpoint.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->endpoint = endpoint.name;
        connection->serial = nextSerial_++;
        connections_.push_back(std::move(connection));
        std::lock_guard<std::mutex> lock(mutex_);
        endpoint.accepted++;
        endpoint.open++;
        changed_.notify_all();
    }
}

void TestServer::ReadFrom(Connection &connection)
{
    uint8_t chunk[65536];
    for (;;) {
        ssize_t n = recv(connection.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            connection.in.insert(connection.in.end(), chunk, chunk + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // The client hung up (or the connection failed): whatever it had
        // outstanding is dropped with the connection.
        CloseConnection(connection);
        return;
    }
}

void TestServer::WriteTo(Connection &connection)
{
    while (connection.outSent < connection.out.size()) {
        ssize_t n = send(connection.fd, connection.out.data() + connection.outSent,
                         connection.out.size() - connection.outSent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0) {
            CloseConnection(connection);
            return;
        }
        connection.outSent += (size_t)n;
    }
    connection.out.clear();
    connection.outSent = 0;
    if (connection.closing)
        CloseConnection(connection);
}

// Takes one whole request off the connection's input, records it and picks
// its reply. Returns false when no whole request is there (or the request
// was malformed and the connection closed).
bool TestServer::TakeRequest(Connection &connection)
{
    const std::vector<uint8_t> &in = connection.in;
    if (in.size() < FERV_FRAME_REQ_HEADER_SIZE)
        return false;
    uint32_t magic = Get32(in, FERV_FRAME_REQ_MAGIC);
    uint32_t version = Get32(in, FERV_FRAME_REQ_VERSION);
    uint32_t inSize = Get32(in, FERV_FRAME_REQ_IN_SIZE);
    uint32_t outSize = Get32(in, FERV_FRAME_REQ_OUT_SIZE);
    if (magic != FERV_FRAME_MAGIC || version != FERV_FRAME_VERSION || inSize > FERV_SIZE_LIMIT ||
        outSize > FERV_SIZE_LIMIT) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            protocolErrors_++;
        }
        CloseConnection(connection);
        return false;
    }
    if (in.size() - FERV_FRAME_REQ_HEADER_SIZE < inSize)
        return false;

    ReceivedRequest request;
    request.endpoint = connection.endpoint;
    request.connection = connection.serial;
    request.ioControlCode = Get32(in, FERV_FRAME_REQ_CODE);
    request.input.assign(in.begin() + FERV_FRAME_REQ_HEADER_SIZE, in.begin() + FERV_FRAME_REQ_HEADER_SIZE + inSize);
    request.outSize = outSize;
    request.reserved = Get32(in, FERV_FRAME_REQ_RESERVED);
    connection.in.erase(connection.in.begin(), connection.in.begin() + FERV_FRAME_REQ_HEADER_SIZE + inSize);

    Reply reply = RefuseWith(1); // ERROR_INVALID_FUNCTION: nobody said what to answer
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        changed_.notify_all();
        auto queue = queued_.find(connection.endpoint);
        if (queue != queued_.end() && !queue->second.empty()) {
            reply = std::move(queue->second.front());
            queue->second.erase(queue->second.begin());
        } else if (handlers_.count(connection.endpoint) != 0) {
            handler = handlers_[connection.endpoint];
        } else if (handlers_.count("") != 0) {
            handler = handlers_[""];
        }
    }
    if (handler)
        reply = handler(request);
    connection.steps = std::move(reply.steps);
    connection.nextStep = 0;
    return true;
}

// Runs the connection's reply as far as it can go now, then takes the next
// request once the reply is done.
void TestServer::Advance(Connection &connection, long long now)
{
    while (!connection.closed && !connection.closing) {
        if (connection.nextStep >= connection.steps.size()) {
            connection.steps.clear();
            connection.nextStep = 0;
            if (!TakeRequest(connection))
                return;
            continue;
        }
        ReplyStep &step = connection.steps[connection.nextStep];
        switch (step.kind) {
        case ReplyStep::Pending: {
            std::vector<uint8_t> header = ReplyHeader(FERV_FRAME_PENDING, 0, 0);
            connection.out.insert(connection.out.end(), header.begin(), header.end());
            break;
        }
        case ReplyStep::Complete: {
            std::vector<uint8_t> header = ReplyHeader(FERV_FRAME_COMPLETE, step.error, (uint32_t)step.bytes.size());
            connection.out.insert(connection.out.end(), header.begin(), header.end());
            connection.out.insert(connection.out.end(), step.bytes.begin(), step.bytes.end());
            break;
        }
        case ReplyStep::Raw:
            connection.out.insert(connection.out.end(), step.bytes.begin(), step.bytes.end());
            break;
        case ReplyStep::Delay:
            if (connection.resumeAt == 0)
                connection.resumeAt = now + step.delayMs;
            if (now < connection.resumeAt)
                return;
            connection.resumeAt = 0;
            break;
        case ReplyStep::AwaitTrigger: {
            std::lock_guard<std::mutex> lock(mutex_);
            if (triggers_.count(step.trigger) == 0)
                return;
            break;
        }
        case ReplyStep::Close:
            connection.closing = true;
            connection.steps.clear();
            connection.nextStep = 0;
            if (connection.out.empty())
                CloseConnection(connection);
            return;
        }
        connection.nextStep++;
    }
}

void TestServer::Loop()
{
    for (;;) {
        std::vector<std::function<void()>> work;
        std::vector<std::pair<Endpoint *, int>> listeners;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
            work.swap(work_);
        }
        for (auto &item : work)
            item();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            workDone_ += work.size();
            if (!work.empty())
                changed_.notify_all();
            for (auto &entry : endpoints_)
                if (entry.second->listenFd >= 0)
                    listeners.emplace_back(entry.second.get(), entry.second->listenFd);
        }

        long long now = NowMs();
        for (auto &connection : connections_) {
            Advance(*connection, now);
            if (!connection->closed && !connection->out.empty())
                WriteTo(*connection);
        }
        connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                          [](const std::unique_ptr<Connection> &c) { return c->closed; }),
                           connections_.end());

        std::vector<struct pollfd> watch;
        watch.push_back({wakeRead_, POLLIN, 0});
        for (auto &listener : listeners)
            watch.push_back({listener.second, POLLIN, 0});
        int timeout = -1;
        for (auto &connection : connections_) {
            short events = POLLIN;
            if (!connection->out.empty())
                events |= POLLOUT;
            watch.push_back({connection->fd, events, 0});
            if (connection->resumeAt != 0) {
                long long left = std::max(0LL, connection->resumeAt - now);
                if (timeout < 0 || left < timeout)
                    timeout = (int)std::min(left, 60000LL);
            }
        }
        if (poll(watch.data(), watch.size(), timeout) < 0 && errno != EINTR) {
            ADD_FAILURE() << "test server poll: " << strerror(errno);
            return;
        }

        if (watch[0].revents != 0) {
            char drain[64];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        size_t at = 1;
        for (auto &listener : listeners) {
            if (watch[at++].revents != 0)
                AcceptOn(*listener.first);
        }
        // Connections accepted just now stand behind the polled ones.
        size_t polled = watch.size() - at;
        for (size_t i = 0; i < polled; i++) {
            Connection &connection = *connections_[i];
            short revents = watch[at + i].revents;
            if (revents & (POLLIN | POLLHUP | POLLERR))
                ReadFrom(connection);
            if (!connection.closed && (revents & POLLOUT))
                WriteTo(connection);
        }
    }
}

// ---- environment ----------------------------------------------------------------

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name)
{
    const char *old = getenv(name);
    hadOld_ = old != nullptr;
    if (hadOld_)
        old_ = old;
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (hadOld_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

} // namespace ferv_test
