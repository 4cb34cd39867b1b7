// A driver stand-in for tests: it serves the POSIX device namespace
// (interface sockets, the control device) and answers every request with
// bytes of the test's choosing, so that the platform layer, the channels and
// the real programs can be driven through every reply the driver could give,
// well-formed or not.
//
// Typical use, in-process (the platform layer reads FERV_DEVICE_ROOT):
//
//     ferv_test::TestServer server;                 // fresh root, removed at the end
//     ferv_test::ScopedEnv root("FERV_DEVICE_ROOT", server.Root());
//     server.AddInterface("ha0");
//     server.QueueReply("ha0", ferv_test::CompleteWith({1, 2, 3, 4}));
//     ... CreateFileA(server.PathOf("ha0").c_str(), ...), DeviceIoControl(...) ...
//     EXPECT_EQ(server.Requests()[0].ioControlCode, code);
//
// and for a real program (see run_program.h):
//
//     ferv_test::ProgramOptions options;
//     options.env.push_back(server.EnvVar());
//     auto result = ferv_test::RunProgram(FERV_BUILD_DIR "/fervadm", {"-P"}, options);
//
// How a request is answered: the endpoint's queued replies first, oldest
// first, one per request; then the endpoint's handler; then the server-wide
// handler (endpoint ""); failing all of those the request is refused with
// ERROR_INVALID_FUNCTION (1). A reply is a list of steps run in order on the
// request's connection: send PENDING, send COMPLETE with an error and bytes,
// send raw bytes, wait some milliseconds, wait for a named trigger, close the
// connection. Waiting steps hold only their own connection; the server keeps
// serving every other one. The next request on a connection is read only
// after the previous reply's steps have all run.
//
// The server sends exactly what a reply says: COMPLETE bytes beyond the
// request's outSize, wrong magic words or unknown types go out as given, so
// tests can check how a client copes with them. Requests, on the other hand,
// are checked as the namespace demands: a connection whose request has a
// wrong magic, a wrong version or a size over 256 MiB is closed (and counted
// in ProtocolErrors()), and the server goes on serving the others.
//
// Threads: the server runs one thread of its own with poll(). Handlers run
// on that thread, without any lock held, and may call the server's methods.
// Every public method is safe to call from any thread.
#ifndef FERV_TEST_SERVER_H
#define FERV_TEST_SERVER_H

#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "proto/ferv_proto.h"

namespace ferv_test {

// The driver's interface class as the namespace spells it.
inline constexpr char kInterfaceClass[] = FERV_INTERFACE_CLASS_TEXT;
// Name of the control device below the root.
inline constexpr char kControlDevice[] = FERV_CONTROL_DEVICE_NAME;

// One request as the server received it.
struct ReceivedRequest {
    std::string endpoint; // the name the endpoint was added under
    uint64_t connection;  // serial number of its connection: 1, 2, ... in accept order
    uint32_t ioControlCode;
    std::vector<uint8_t> input;
    uint32_t outSize;
    uint32_t reserved; // header word at offset 20 (a client sends 0)
};

// One step of a reply.
struct ReplyStep {
    enum Kind { Pending, Complete, Raw, Delay, AwaitTrigger, Close };
    Kind kind = Pending;
    uint32_t error = 0;         // Complete: the Win32 error sent
    std::vector<uint8_t> bytes; // Complete: the reply's bytes; Raw: bytes sent as they are
    int delayMs = 0;            // Delay
    std::string trigger;        // AwaitTrigger
};

// A reply: steps run in order. Build one by chaining, for instance
//     Reply().SendPending().AwaitTrigger("change").SendComplete(bytes)
// A reply without steps leaves the request unanswered for good.
struct Reply {
    std::vector<ReplyStep> steps;

    Reply &SendPending();
    Reply &SendComplete(std::vector<uint8_t> bytes, uint32_t error = 0);
    Reply &SendRaw(std::vector<uint8_t> bytes);
    Reply &Wait(int delayMs);
    Reply &AwaitTrigger(std::string name);
    Reply &CloseConnection();
};

// The usual replies.
Reply CompleteWith(std::vector<uint8_t> bytes, uint32_t error = 0); // COMPLETE at once
Reply RefuseWith(uint32_t error);                                   // COMPLETE with error E, no bytes
Reply PendThenComplete(std::vector<uint8_t> bytes, int delayMs, uint32_t error = 0);
Reply PendUntilTrigger(const std::string &trigger, std::vector<uint8_t> bytes, uint32_t error = 0);
Reply PendThenBreak(int delayMs);               // PENDING, then the connection closes
Reply BreakConnection();                        // the connection closes without a reply
Reply RawThenClose(std::vector<uint8_t> bytes); // arbitrary bytes, then close

// A reply header with fields of the test's choosing, for raw replies.
std::vector<uint8_t> ReplyHeader(uint32_t type, uint32_t error, uint32_t information,
                                 uint32_t magic = FERV_FRAME_MAGIC, uint32_t reserved = 0);

// Little-endian words in byte vectors. Put32 grows the vector as needed;
// Get32 returns 0 for a word that does not fit in the vector.
void Put32(std::vector<uint8_t> &bytes, size_t offset, uint32_t value);
uint32_t Get32(const std::vector<uint8_t> &bytes, size_t offset);
void PutBytes(std::vector<uint8_t> &bytes, size_t offset, const void *data, size_t length);

// The request's own bytes, cut or zero-filled to its outSize, with status
// written at offset 0 (and so returned as one buffer does on the driver):
// the usual start of a driver's answer.
std::vector<uint8_t> EchoWithStatus(const ReceivedRequest &request, uint32_t status);

using Handler = std::function<Reply(const ReceivedRequest &)>;

class TestServer {
public:
    // A fresh root directory /tmp/ferv-test-XXXXXX (mode 0700).
    TestServer();
    // The given root directory, which must not exist yet; it is created
    // (mode 0700) and removed again like a fresh one.
    explicit TestServer(const std::string &root);
    // Stops the thread, closes every connection and removes the root with
    // everything in it.
    ~TestServer();

    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    const std::string &Root() const { return root_; }
    // Root()/interfaces/{guid}: exists once an interface entry was added.
    std::string InterfaceDir() const;
    // Absolute path of an endpoint or plain entry added under name.
    std::string PathOf(const std::string &name) const;
    // {"FERV_DEVICE_ROOT", Root()}, for a child process's environment.
    std::pair<std::string, std::string> EnvVar() const;

    // Endpoints. Names are unique across kinds. Each Add fails the test
    // (and adds nothing) when the entry cannot be made.
    void AddInterface(const std::string &name); // served socket in InterfaceDir()
    void AddDevice(const std::string &name);    // served socket Root()/name
    void AddControlDevice() { AddDevice(kControlDevice); }
    void AddPlainInterface(const std::string &name); // regular file in InterfaceDir()
    void AddDeadInterface(const std::string &name);  // socket file nobody listens on
    void AddDeadDevice(const std::string &name);     // the same as Root()/name
    // Closes the endpoint's connections (pending requests are dropped)
    // and keeps listening.
    void DropConnections(const std::string &name);
    // Closes the endpoint's connections, stops listening and removes its entry.
    void RemoveEndpoint(const std::string &name);

    // Answers.
    void QueueReply(const std::string &endpoint, Reply reply);
    void SetHandler(const std::string &endpoint, Handler handler); // "" for every endpoint
    // Opens a named gate for good: steps waiting for it go on, and later
    // ones pass at once.
    void Trigger(const std::string &name);

    // What happened.
    std::vector<ReceivedRequest> Requests() const;
    size_t RequestCount() const;
    // Waits until at least count requests arrived. Returns false on time-out.
    bool WaitForRequests(size_t count, int timeoutMs = 10000) const;
    // Connections accepted on an endpoint so far, and how many are open now.
    int Connections(const std::string &name) const;
    int OpenConnections(const std::string &name) const;
    // Waits until the endpoint has exactly count open connections.
    bool WaitForOpenConnections(const std::string &name, int count, int timeoutMs = 10000) const;
    // Connections closed because their request frame was malformed.
    int ProtocolErrors() const;

    struct Connection;
    struct Endpoint;

private:
    void Start();
    void AddEntry(const std::string &name, bool inInterfaceDir, int kind);
    void RunOnServerThread(const std::function<void()> &work);
    void Loop();
    void AcceptOn(Endpoint &endpoint);
    void ReadFrom(Connection &connection);
    void WriteTo(Connection &connection);
    void Advance(Connection &connection, long long now);
    bool TakeRequest(Connection &connection);
    void CloseConnection(Connection &connection);
    void Wake();

    std::string root_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::thread thread_;
    std::thread::id threadId_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::vector<std::function<void()>> work_;
    uint64_t workDone_ = 0;
    uint64_t workQueued_ = 0;
    std::map<std::string, std::unique_ptr<Endpoint>> endpoints_;
    std::set<std::string> plainEntries_;
    std::map<std::string, std::vector<Reply>> queued_;
    std::map<std::string, Handler> handlers_;
    std::set<std::string> triggers_;
    std::vector<ReceivedRequest> requests_;
    int protocolErrors_ = 0;

    // Owned by the server thread alone.
    std::vector<std::unique_ptr<Connection>> connections_;
    uint64_t nextSerial_ = 1;
};

// Sets (or, with value nullptr, removes) an environment variable of this
// process for one scope, and puts the old state back at its end.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value);
    ScopedEnv(const char *name, const std::string &value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::string old_;
    bool hadOld_;
};

} // namespace ferv_test

#endif
