// The bridge behind tools/wine-run, without Wine: the test plays the relay
// (and its forwarder) on the bridge's TCP port and the tests' own driver
// server serves the root, so every message the relay would see can be
// checked: what is shown for a root, one connection per handle, every kind
// of answer mapped, held requests, leases of roots, keepalives and the
// line ends of `fervbridge run`.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "proto/relay_service.h"
#include "tests/support/run_program.h"
#include "tests/support/test_server.h"

namespace {

using ferv_test::BackgroundProgram;
using ferv_test::ReceivedRequest;
using ferv_test::Reply;
using ferv_test::TestServer;

const std::string kBridge = FERV_BUILD_DIR "/fervbridge";
const uint32_t kCode = 0x85002028;

// A message from the bridge to the relay.
struct Message {
    uint32_t kind = 0, id = 0, status = 0;
    std::vector<uint8_t> data;
};

int ConnectUnix(const std::string &path)
{
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads exactly n bytes within timeoutMs; false on end, error or time-out.
bool ReadExactly(int fd, void *buffer, size_t n, int timeoutMs)
{
    uint8_t *p = (uint8_t *)buffer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (n > 0) {
        int left =
            (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        struct pollfd watch = {fd, POLLIN, 0};
        if (left <= 0 || poll(&watch, 1, left) <= 0)
            return false;
        ssize_t k = recv(fd, p, n, 0);
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

class Bridge : public ::testing::Test {
protected:
    TestServer server;
    std::string state;
    std::unique_ptr<BackgroundProgram> bridge;
    int link = -1;
    uint32_t lastShow = 0;

    void SetUp() override
    {
        char pattern[] = "/tmp/ferv-bridge-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        state = pattern;
        bridge.reset(new BackgroundProgram(kBridge, {"serve", "--state", state}));
        ASSERT_TRUE(ferv_test::WaitForPath(state + "/bridge.port")) << bridge->Errors();
        link = ConnectLink();
        ASSERT_GE(link, 0);
        // A new link is shown the bound root at once: nothing yet.
        Message show = Next();
        ASSERT_EQ(show.kind, FERV_RELAY_KIND_SHOW);
        EXPECT_EQ(show.status, FERV_RELAY_KEEPALIVE_MS);
        EXPECT_TRUE(show.data.empty());
        Shown(show.id);
    }

    void TearDown() override
    {
        if (link >= 0)
            close(link);
        if (bridge) {
            ferv_test::ProgramResult r = bridge->Stop(SIGTERM, 10000);
            EXPECT_EQ(r.exitCode, 0) << r.err;
        }
        std::string cmd = "rm -rf '" + state + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    // A connection to the bridge's TCP port, which shows the token first
    // as the forwarder does, unless told not to.
    int ConnectLink(bool withToken = true)
    {
        std::ifstream in(state + "/bridge.port");
        int port = 0;
        in >> port;
        std::ifstream tokenFile(state + "/bridge.token");
        std::string token((std::istreambuf_iterator<char>(tokenFile)), std::istreambuf_iterator<char>());
        struct sockaddr_in address;
        memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_port = htons((uint16_t)port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
            close(fd);
            return -1;
        }
        if (withToken && send(fd, token.data(), token.size(), MSG_NOSIGNAL) != (ssize_t)token.size()) {
            close(fd);
            return -1;
        }
        return fd;
    }

    // The next message other than a keepalive; kind 0 when none came in time.
    Message Next(int timeoutMs = 10000, int *keepalives = nullptr)
    {
        for (;;) {
            Message m;
            uint8_t h[FERV_RELAY_ANS_SIZE];
            if (!ReadExactly(link, h, sizeof h, timeoutMs))
                return m;
            EXPECT_EQ(FervRelayLoad32(h, FERV_RELAY_ANS_MAGIC), FERV_RELAY_MAGIC);
            m.kind = FervRelayLoad32(h, FERV_RELAY_ANS_KIND);
            m.id = FervRelayLoad32(h, FERV_RELAY_ANS_ID);
            m.status = FervRelayLoad32(h, FERV_RELAY_ANS_STATUS);
            m.data.resize(FervRelayLoad32(h, FERV_RELAY_ANS_DATA));
            if (!m.data.empty() && !ReadExactly(link, m.data.data(), m.data.size(), timeoutMs))
                return Message();
            if (m.kind != FERV_RELAY_KIND_KEEPALIVE)
                return m;
            if (keepalives)
                ++*keepalives;
        }
    }

    void Send(uint32_t kind, uint32_t id, uint32_t code, uint32_t endpoint, const std::vector<uint8_t> &in = {},
              uint32_t outSize = 0, uint32_t handle = 0)
    {
        uint8_t h[FERV_RELAY_REQ_SIZE];
        FervRelayStore32(h, FERV_RELAY_REQ_MAGIC, FERV_RELAY_MAGIC);
        FervRelayStore32(h, FERV_RELAY_REQ_KIND, kind);
        FervRelayStore32(h, FERV_RELAY_REQ_ID, id);
        FervRelayStore32(h, FERV_RELAY_REQ_CODE, code);
        FervRelayStore32(h, FERV_RELAY_REQ_ENDPOINT, endpoint);
        FervRelayStore32(h, FERV_RELAY_REQ_IN_SIZE, (uint32_t)in.size());
        FervRelayStore32(h, FERV_RELAY_REQ_OUT_SIZE, outSize);
        FervRelayStore32(h, FERV_RELAY_REQ_HANDLE, handle);
        std::vector<uint8_t> bytes(h, h + sizeof h);
        bytes.insert(bytes.end(), in.begin(), in.end());
        ASSERT_EQ(send(link, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
    }

    void Shown(uint32_t seq, uint32_t instances = 16)
    {
        lastShow = seq;
        Send(FERV_RELAY_KIND_SHOWN, seq, instances, 0);
    }

    // Binds root as `fervbridge run` does, playing the relay's part; returns
    // the lease's connection and the presence bytes shown.
    int Bind(const std::string &root, std::vector<uint8_t> *flags = nullptr)
    {
        int fd = ConnectUnix(state + "/bridge.sock");
        std::string line = "bind " + root + "\n";
        EXPECT_EQ(send(fd, line.data(), line.size(), MSG_NOSIGNAL), (ssize_t)line.size());
        Message show = Next();
        EXPECT_EQ(show.kind, FERV_RELAY_KIND_SHOW);
        if (flags)
            *flags = show.data;
        Shown(show.id);
        char answer[3] = {};
        EXPECT_TRUE(ReadExactly(fd, answer, 3, 10000));
        EXPECT_EQ(std::string(answer, 3), "ok\n");
        return fd;
    }

    // A request on a handle, and the bridge's first answer to it.
    Message Request(uint32_t id, uint32_t handle, std::vector<uint8_t> in, uint32_t outSize)
    {
        Send(FERV_RELAY_KIND_REQUEST, id, kCode, 0, in, outSize, handle);
        return Next();
    }
};

TEST_F(Bridge, ShowsWhatTheRootOffersAndMapsEachHandleToItsDoor)
{
    server.AddInterface("ferv0001");
    server.AddInterface("ferv0000");
    server.AddPlainInterface("ferv0002"); // listed, though nothing can be opened
    server.AddControlDevice();
    std::vector<uint8_t> flags;
    int lease = Bind(server.Root(), &flags);
    EXPECT_EQ(flags, std::vector<uint8_t>({1, 1, 1, 1}));

    // Endpoint 2 is the second entry in byte order; the control device is 0.
    server.SetHandler("", [](const ReceivedRequest &) { return ferv_test::CompleteWith({9, 8, 7}); });
    Send(FERV_RELAY_KIND_OPEN, 7, lastShow, 2);
    Send(FERV_RELAY_KIND_OPEN, 8, lastShow, 0);
    ASSERT_TRUE(server.WaitForOpenConnections("ferv0001", 1));
    ASSERT_TRUE(server.WaitForOpenConnections(ferv_test::kControlDevice, 1));
    Message answer = Request(41, 7, {1, 2, 3, 4}, 16);
    EXPECT_EQ(answer.kind, FERV_RELAY_KIND_COMPLETE);
    EXPECT_EQ(answer.id, 41u);
    EXPECT_EQ(answer.status, 0u);
    EXPECT_EQ(answer.data, std::vector<uint8_t>({9, 8, 7}));
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].endpoint, "ferv0001");
    EXPECT_EQ(server.Requests()[0].input, std::vector<uint8_t>({1, 2, 3, 4}));
    EXPECT_EQ(server.Requests()[0].outSize, 16u);

    // Closing a handle closes its connection and no other.
    Send(FERV_RELAY_KIND_CLOSE, 7, 0, 0);
    EXPECT_TRUE(server.WaitForOpenConnections("ferv0001", 0));
    EXPECT_EQ(server.OpenConnections(ferv_test::kControlDevice), 1);

    // A root with nothing in it shows nothing.
    close(lease);
    TestServer empty;
    lease = Bind(empty.Root(), &flags);
    EXPECT_TRUE(flags.empty());
    close(lease);
}

TEST_F(Bridge, EveryReplyIsMappedToTheRelaysAnswer)
{
    server.AddControlDevice();
    int lease = Bind(server.Root());
    Send(FERV_RELAY_KIND_OPEN, 1, lastShow, 0);
    Send(FERV_RELAY_KIND_OPEN, 2, lastShow, 0);

    // Refused outright with a Win32 error: the NTSTATUS that maps back to it.
    server.QueueReply(ferv_test::kControlDevice, ferv_test::RefuseWith(1234));
    Message m = Request(1, 1, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_COMPLETE);
    EXPECT_EQ(m.status, FERV_RELAY_STATUS_FROM_WIN32(1234));

    // Held, then completed with bytes.
    server.QueueReply(ferv_test::kControlDevice, ferv_test::PendThenComplete({5, 6}, 50));
    m = Request(2, 1, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_PEND);
    m = Next();
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_COMPLETE);
    EXPECT_EQ(m.id, 2u);
    EXPECT_EQ(m.status, 0u);
    EXPECT_EQ(m.data, std::vector<uint8_t>({5, 6}));

    // Held, then the connection breaks: cancelled, as GetOverlappedResult's 995.
    server.QueueReply(ferv_test::kControlDevice, ferv_test::PendThenBreak(50));
    m = Request(3, 1, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_PEND);
    m = Next();
    EXPECT_EQ(m.id, 3u);
    EXPECT_EQ(m.status, FERV_RELAY_STATUS_CANCELLED);

    // A malformed reply (more bytes than the buffer holds) breaks the handle:
    // 31 now and for every later request, which never reaches the server.
    server.QueueReply(ferv_test::kControlDevice, ferv_test::CompleteWith(std::vector<uint8_t>(8, 1)));
    m = Request(4, 2, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.status, FERV_RELAY_STATUS_FROM_WIN32(31));
    size_t before = server.RequestCount();
    m = Request(5, 2, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.status, FERV_RELAY_STATUS_FROM_WIN32(31));
    EXPECT_EQ(server.RequestCount(), before);

    // An error too large for the relay to carry is a general failure, not
    // its low 16 bits (here 5, access denied), first reply or completion.
    Send(FERV_RELAY_KIND_OPEN, 3, lastShow, 0);
    server.QueueReply(ferv_test::kControlDevice, ferv_test::RefuseWith(0x10005));
    m = Request(7, 3, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.status, FERV_RELAY_STATUS_UNSUCCESSFUL);
    server.QueueReply(ferv_test::kControlDevice, ferv_test::PendThenComplete({}, 50, 0x1001F));
    EXPECT_EQ(Request(8, 3, {0, 0, 0, 0}, 4).kind, FERV_RELAY_KIND_PEND);
    m = Next();
    EXPECT_EQ(m.id, 8u);
    EXPECT_EQ(m.status, FERV_RELAY_STATUS_UNSUCCESSFUL);

    // A request on a handle the bridge never heard of fails.
    m = Request(6, 99, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.id, 6u);
    EXPECT_EQ(m.status, FERV_RELAY_STATUS_UNSUCCESSFUL);
    close(lease);
}

TEST_F(Bridge, AHeldRequestGoesWithItsHandleAndADeadDoorFails)
{
    server.AddControlDevice();
    server.AddDeadInterface("ferv0000");
    int lease = Bind(server.Root());
    server.SetHandler("", [](const ReceivedRequest &) { return ferv_test::PendUntilTrigger("go", {1}); });
    Send(FERV_RELAY_KIND_OPEN, 1, lastShow, 0);
    EXPECT_EQ(Request(10, 1, {0, 0, 0, 0}, 4).kind, FERV_RELAY_KIND_PEND);
    Send(FERV_RELAY_KIND_CLOSE, 1, 0, 0);
    EXPECT_TRUE(server.WaitForOpenConnections(ferv_test::kControlDevice, 0));
    server.Trigger("go");
    // Nothing more is said of request 10.
    EXPECT_EQ(Next(500).kind, 0u);

    // Wine opens a handle whatever happens; its requests then fail with 31.
    Send(FERV_RELAY_KIND_OPEN, 2, lastShow, 1);
    Message m = Request(11, 2, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_COMPLETE);
    EXPECT_EQ(m.status, FERV_RELAY_STATUS_FROM_WIN32(31));
    close(lease);
}

// The folders are checked from the bound root down, as a program of that
// root checks them, though the bridge itself was started for another root:
// a folder others may write to is not followed.
// A class folder another user could have planted shows no door, as a POSIX
// program finds no driver behind it; once it is the owner's alone again, the
// next scan shows its doors. A door opened before the folder changed is
// checked again when a handle opens it.
TEST_F(Bridge, AFolderOthersMayWriteToInTheRootIsNotFollowed)
{
    server.AddInterface("ferv0000");
    const std::string interfaces = server.Root() + "/interfaces";
    ASSERT_EQ(chmod(interfaces.c_str(), 0777), 0);
    std::vector<uint8_t> flags;
    int lease = Bind(server.Root(), &flags);
    EXPECT_TRUE(flags.empty());

    ASSERT_EQ(chmod(interfaces.c_str(), 0700), 0);
    Message show = Next();
    ASSERT_EQ(show.kind, FERV_RELAY_KIND_SHOW);
    EXPECT_EQ(show.data, std::vector<uint8_t>({0, 1}));
    Shown(show.id);
    server.SetHandler("", [](const ReceivedRequest &) { return ferv_test::CompleteWith({1}); });
    Send(FERV_RELAY_KIND_OPEN, 2, lastShow, 1);
    Message m = Request(2, 2, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.status, 0u);
    EXPECT_EQ(m.data, std::vector<uint8_t>({1}));

    ASSERT_EQ(chmod(interfaces.c_str(), 0777), 0);
    Send(FERV_RELAY_KIND_OPEN, 3, lastShow, 1);
    m = Request(3, 3, {0, 0, 0, 0}, 4);
    // The next scan may show the empty root before the answer comes.
    while (m.kind == FERV_RELAY_KIND_SHOW) {
        EXPECT_TRUE(m.data.empty());
        Shown(m.id);
        m = Next();
    }
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_COMPLETE);
    EXPECT_EQ(m.status, FERV_RELAY_STATUS_FROM_WIN32(31));
    EXPECT_EQ(server.RequestCount(), 1u);
    ASSERT_EQ(chmod(interfaces.c_str(), 0700), 0);
    close(lease);
}

TEST_F(Bridge, ASlowServerLeavesTheRelayToldTheBridgeLives)
{
    server.AddControlDevice();
    int lease = Bind(server.Root());
    server.QueueReply(ferv_test::kControlDevice, Reply().Wait(1600).SendComplete({1}));
    Send(FERV_RELAY_KIND_OPEN, 1, lastShow, 0);
    Send(FERV_RELAY_KIND_REQUEST, 1, kCode, 0, {0, 0, 0, 0}, 4, 1);
    int keepalives = 0;
    Message m = Next(10000, &keepalives);
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_COMPLETE);
    EXPECT_GE(keepalives, 2);
    close(lease);
}

// Under Wine the relay takes no other request until the current one has its
// first answer: a second request on a handle whose first is outstanding must
// be answered at once, with the platform's ERROR_BUSY, and the first one must
// go on as if nothing happened.
TEST_F(Bridge, ASecondRequestWhileOneIsOutstandingIsBusyAndLeavesTheFirstAlone)
{
    server.AddControlDevice();
    int lease = Bind(server.Root());
    Send(FERV_RELAY_KIND_OPEN, 1, lastShow, 0);
    Send(FERV_RELAY_KIND_OPEN, 2, lastShow, 0);
    server.QueueReply(ferv_test::kControlDevice, ferv_test::PendUntilTrigger("go", {4, 2}));
    EXPECT_EQ(Request(10, 1, {0, 0, 0, 0}, 4).kind, FERV_RELAY_KIND_PEND);
    ASSERT_TRUE(server.WaitForRequests(1));

    Message m = Request(11, 1, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_COMPLETE);
    EXPECT_EQ(m.id, 11u);
    EXPECT_EQ(m.status, FERV_RELAY_STATUS_FROM_WIN32(170));
    EXPECT_EQ(server.RequestCount(), 1u);

    // Other handles are not held up.
    server.QueueReply(ferv_test::kControlDevice, ferv_test::CompleteWith({3}));
    m = Request(12, 2, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.id, 12u);
    EXPECT_EQ(m.data, std::vector<uint8_t>({3}));

    server.Trigger("go");
    m = Next();
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_COMPLETE);
    EXPECT_EQ(m.id, 10u);
    EXPECT_EQ(m.status, 0u);
    EXPECT_EQ(m.data, std::vector<uint8_t>({4, 2}));

    // Once it has completed, the handle takes requests again.
    server.QueueReply(ferv_test::kControlDevice, ferv_test::CompleteWith({7}));
    m = Request(13, 1, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.status, 0u);
    EXPECT_EQ(m.data, std::vector<uint8_t>({7}));
    close(lease);
}

// A server that does not reply must not keep the relay from every other
// client: its request is held in its stead, and completed once it replies,
// whether with a completion or with a hold of its own (never held twice).
TEST_F(Bridge, AServerSlowToReplyHasItsRequestHeldForTheRelay)
{
    server.AddControlDevice();
    int lease = Bind(server.Root());
    Send(FERV_RELAY_KIND_OPEN, 1, lastShow, 0);
    Send(FERV_RELAY_KIND_OPEN, 2, lastShow, 0);
    server.QueueReply(ferv_test::kControlDevice, Reply().AwaitTrigger("first").SendComplete({1, 2}));
    server.QueueReply(ferv_test::kControlDevice,
                      Reply().AwaitTrigger("second").SendPending().AwaitTrigger("third").SendComplete({3}));
    auto start = std::chrono::steady_clock::now();
    Message m = Request(20, 1, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_PEND);
    EXPECT_EQ(m.id, 20u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    ASSERT_TRUE(server.WaitForRequests(1));
    m = Request(21, 2, {0, 0, 0, 0}, 4);
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_PEND);
    EXPECT_EQ(m.id, 21u);

    server.Trigger("first");
    m = Next();
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_COMPLETE);
    EXPECT_EQ(m.id, 20u);
    EXPECT_EQ(m.data, std::vector<uint8_t>({1, 2}));

    // The server's own hold says nothing more to the relay.
    server.Trigger("second");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.Trigger("third");
    m = Next();
    EXPECT_EQ(m.kind, FERV_RELAY_KIND_COMPLETE) << "held twice";
    EXPECT_EQ(m.id, 21u);
    EXPECT_EQ(m.data, std::vector<uint8_t>({3}));
    close(lease);
}

TEST_F(Bridge, AnotherRootWaitsUntilTheProgramsOfTheFirstHaveEnded)
{
    TestServer other;
    server.AddControlDevice();
    int first = Bind(server.Root());
    int second = Bind(server.Root()); // the same root goes side by side
    int waiting = ConnectUnix(state + "/bridge.sock");
    std::string line = "bind " + other.Root() + "\n";
    ASSERT_EQ(send(waiting, line.data(), line.size(), 0), (ssize_t)line.size());
    EXPECT_EQ(Next(300).kind, 0u) << "shown while the first root is held";
    close(first);
    EXPECT_EQ(Next(300).kind, 0u);
    close(second);
    Message show = Next();
    EXPECT_EQ(show.kind, FERV_RELAY_KIND_SHOW);
    EXPECT_TRUE(show.data.empty());
    Shown(show.id);
    char answer[3] = {};
    EXPECT_TRUE(ReadExactly(waiting, answer, 3, 10000));
    close(waiting);
}

TEST_F(Bridge, ALinkThatEndsTakesItsHandlesAndANewOneIsShownTheRoot)
{
    server.AddControlDevice();
    int lease = Bind(server.Root());
    Send(FERV_RELAY_KIND_OPEN, 1, lastShow, 0);
    ASSERT_TRUE(server.WaitForOpenConnections(ferv_test::kControlDevice, 1));
    close(link);
    EXPECT_TRUE(server.WaitForOpenConnections(ferv_test::kControlDevice, 0));
    link = ConnectLink();
    Message show = Next();
    EXPECT_EQ(show.kind, FERV_RELAY_KIND_SHOW);
    EXPECT_EQ(show.data, std::vector<uint8_t>({1}));
    Shown(show.id);

    // A message the relay cannot have sent ends the link.
    Send(99, 1, 0, 0);
    uint8_t byte;
    for (;;) {
        ssize_t n = recv(link, &byte, 1, 0);
        if (n <= 0) {
            EXPECT_EQ(n, 0);
            break;
        }
    }
    close(lease);
}

// Any local user can connect to the port: only a connection that shows the
// token, which only the bridge's own user can read, is served.
TEST_F(Bridge, OnlyAConnectionThatShowsTheTokenIsTheRelaysLink)
{
    struct stat st;
    ASSERT_EQ(stat((state + "/bridge.token").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    server.AddControlDevice();
    int lease = Bind(server.Root());
    close(link);

    // One that sends something else is closed unshown; one that says
    // nothing keeps no one else out.
    int intruder = ConnectLink(false);
    int silent = ConnectLink(false);
    ASSERT_GE(intruder, 0);
    ASSERT_GE(silent, 0);
    std::string guess(64, '0');
    ASSERT_EQ(send(intruder, guess.data(), guess.size(), MSG_NOSIGNAL), (ssize_t)guess.size());
    uint8_t byte;
    struct pollfd watch = {intruder, POLLIN, 0};
    ASSERT_EQ(poll(&watch, 1, 10000), 1);
    EXPECT_EQ(recv(intruder, &byte, 1, 0), 0) << "an intruder was shown the root";
    close(intruder);

    link = ConnectLink();
    Message show = Next();
    EXPECT_EQ(show.kind, FERV_RELAY_KIND_SHOW);
    EXPECT_EQ(show.data, std::vector<uint8_t>({1}));
    Shown(show.id);
    watch = {silent, POLLIN, 0};
    EXPECT_EQ(poll(&watch, 1, 0), 0) << "the silent one was shown something";
    close(silent);
    close(lease);
}

TEST_F(Bridge, RunHoldsTheRootAndTurnsWindowsLineEndsIntoLf)
{
    ferv_test::ProgramOptions options;
    options.env.push_back(server.EnvVar());
    BackgroundProgram run(kBridge,
                          {"run", "--state", state, "--", "/bin/sh", "-c",
                           "printf 'a\\r\\nb\\r\\r\\nc\\r'; printf 'e\\r\\n' >&2; exit 7"},
                          options);
    Message show = Next();
    EXPECT_EQ(show.kind, FERV_RELAY_KIND_SHOW);
    Shown(show.id);
    ferv_test::ProgramResult r = run.Wait(10000);
    EXPECT_EQ(r.out, "a\nb\r\nc\r");
    EXPECT_EQ(r.err, "e\n");
    EXPECT_EQ(r.exitCode, 7);

    // Without a bridge there is nothing to run.
    ferv_test::ProgramResult none =
        ferv_test::RunProgram(kBridge, {"run", "--state", state + "/none", "--", "/bin/true"}, options);
    EXPECT_EQ(none.exitCode, 125);
}

// A bridge whose forwarder never attached still stops, and takes the
// forwarder with it.
TEST(BridgeStop, EndsAForwarderThatNeverAttached)
{
    char pattern[] = "/tmp/ferv-bridge-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string state = pattern;
    // A forwarder that never connects (it is given the port and the token
    // file's path as arguments).
    BackgroundProgram bridge(
        kBridge, {"serve", "--state", state, "--forwarder", "/bin/sh", "-c", "exec sleep 600", "forwarder"});
    std::string log;
    for (int i = 0; i < 500 && log.find("(pid ") == std::string::npos; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        log = bridge.Errors();
    }
    size_t at = log.find("(pid ");
    ASSERT_NE(at, std::string::npos) << log;
    pid_t forwarder = (pid_t)atoi(log.c_str() + at + 5);
    ASSERT_GT(forwarder, 0);

    ferv_test::ProgramOptions options;
    options.timeoutMs = 20000;
    ferv_test::ProgramResult stop = ferv_test::RunProgram(kBridge, {"stop", "--state", state}, options);
    EXPECT_EQ(stop.exitCode, 0) << stop.err;
    ferv_test::ProgramResult served = bridge.Wait(5000);
    EXPECT_EQ(served.exitCode, 0) << served.err;
    EXPECT_NE(kill(forwarder, 0), 0) << "the forwarder outlived the bridge";
    kill(forwarder, SIGKILL);

    // With no bridge, stop has nothing to do.
    EXPECT_EQ(ferv_test::RunProgram(kBridge, {"stop", "--state", state}, options).exitCode, 0);
    std::string cmd = "rm -rf '" + state + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

// `run` does not wait for ever for a relay that is never served: it gives
// up with a message that says why, and the program is not started.
TEST(BridgeRun, GivesUpOnARelayThatIsNeverServed)
{
    char pattern[] = "/tmp/ferv-bridge-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string state = pattern;
    BackgroundProgram bridge(kBridge, {"serve", "--state", state, "--attach-wait", "1"});
    ASSERT_TRUE(ferv_test::WaitForPath(state + "/bridge.port")) << bridge.Errors();
    ferv_test::ProgramOptions options;
    options.timeoutMs = 15000;
    ferv_test::ProgramResult r = ferv_test::RunProgram(
        kBridge, {"run", "--state", state, "--root", state, "--", "/bin/echo", "ran"}, options);
    EXPECT_EQ(r.exitCode, 125);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "fervbridge: the bridge did not show " + state +
                         ": the relay was not served within 1 s (see the bridge's log)\n");
    EXPECT_EQ(bridge.Stop(SIGTERM, 10000).exitCode, 0);
    std::string cmd = "rm -rf '" + state + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

} // namespace
