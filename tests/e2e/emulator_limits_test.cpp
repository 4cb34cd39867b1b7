// What keeps the emulator serving when clients hold on to it: idle
// connections give way to new ones and time out, a held request is never
// idle, the admin socket has room of its own, and the bytes held for all
// connections together have a bound.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lib/fervlib.h"
#include "proto/ferv_proto.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/raw_client.h"

using namespace ferv_e2e;
using ferv_test::ProgramResult;

namespace {

// The built-in topology without simulated I/O; raw sockets are POSIX only.
class EmulatorLimits : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (UnderWine())
            GTEST_SKIP() << "POSIX sockets only";
    }

    // Starts the emulator with the extra options, under wrapper when given.
    void Serve(const std::vector<std::string> &extra, const std::vector<std::string> &wrapper = {})
    {
        std::vector<std::string> options = {"--no-io"};
        options.insert(options.end(), extra.begin(), extra.end());
        ASSERT_TRUE(emulator.Start("", options, wrapper)) << emulator.Failure();
    }

    // A socket of the emulator's device interfaces.
    std::string Interface(int i = 0) const
    {
        return emulator.Root() + raw_client::kClass + "ferv000" + std::to_string(i);
    }

    ProgramResult Adm(const std::vector<std::string> &args) const { return emulator.Run(kFervadm, args); }

    // Waits until the emulator's log holds text.
    bool LogHas(const std::string &text) const
    {
        return Eventually([&] { return emulator.Log().find(text) != std::string::npos; }, 2000);
    }

    void TearDown() override
    {
        if (emulator.Ready()) {
            EXPECT_EQ(emulator.Stop().exitCode, 0) << "the emulator ends cleanly after the abuse";
        }
    }

    Emulator emulator;
};

// Runs the emulator with this many descriptors and no way to raise them.
std::vector<std::string> DescriptorLimit(int n)
{
    return {"/bin/sh", "-c", "ulimit -n " + std::to_string(n) + " && exec \"$@\"", "sh"};
}

std::vector<uint8_t> WaitBody()
{
    std::vector<uint8_t> wait(8, 0);
    FervStore32(wait.data() + 4, 1);
    return wait;
}

// Sends bytes of a body in 64 KiB pieces. Returns false once the emulator
// has closed the connection.
bool SendBody(int fd, size_t bytes)
{
    std::vector<uint8_t> piece(65536, 0);
    while (bytes > 0) {
        size_t n = std::min(bytes, piece.size());
        ssize_t sent = send(fd, piece.data(), n, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes -= (size_t)sent;
    }
    return true;
}

// Far more idle clients than the descriptors allow: the ones idle longest
// make room, so fervadm and `fervsim ctl` are still answered; so are they
// when the admin socket's own connections are taken by idle clients too.
TEST_F(EmulatorLimits, IdleConnectionsCannotLockOutTheOthers)
{
    Serve({}, DescriptorLimit(128));
    std::vector<int> idle, idleAdmin;
    for (int i = 0; i < 300; i++) {
        int fd = raw_client::Connect(Interface(i % 2));
        ASSERT_GE(fd, 0) << i;
        idle.push_back(fd);
    }
    for (int i = 0; i < 40; i++) {
        int fd = raw_client::Connect(emulator.Root() + "/fervsim.ctl");
        ASSERT_GE(fd, 0) << i;
        idleAdmin.push_back(fd);
    }
    ProgramResult adm = Adm({"-P"});
    EXPECT_EQ(adm.exitCode, 0) << adm.err;
    // Every idle connection has been taken by now (the emulator answered a
    // later one); the two interfaces' queues are taken one after the other,
    // so the last connected is not always the last taken. One more is.
    int newest = raw_client::Connect(Interface(1));
    ASSERT_GE(newest, 0);
    idle.push_back(newest);
    ProgramResult show = emulator.Ctl({"show"});
    EXPECT_EQ(show.exitCode, 0) << show.err;
    EXPECT_TRUE(raw_client::ClosedWithin(idle.front(), 2000)) << "the connection idle longest made room";
    EXPECT_TRUE(raw_client::ClosedWithin(idleAdmin.front(), 2000));
    EXPECT_FALSE(raw_client::ClosedWithin(newest, 100)) << "the newest connection is served";
    EXPECT_TRUE(LogHas("closed the connection idle longest"));
    EXPECT_TRUE(LogHas("closed the admin connection idle longest"));
    for (int fd : idle)
        close(fd);
    for (int fd : idleAdmin)
        close(fd);
    EXPECT_EQ(Adm({"-P"}).exitCode, 0);
}

// A wait the emulator holds is not idle, whatever the time limit says, and
// a pool full of held waits refuses a newcomer instead of dropping a wait;
// the admin socket still answers.
TEST_F(EmulatorLimits, AHeldRequestIsNeverIdle)
{
    Serve({"--max-connections", "3", "--idle-timeout", "0.5"});
    std::vector<int> waiters;
    for (int i = 0; i < 3; i++) {
        int fd = raw_client::Connect(Interface());
        ASSERT_GE(fd, 0);
        raw_client::SendFrame(fd, IOCTL_FERV_WAIT_FOR_CHANGE, WaitBody(), 8);
        EXPECT_EQ(raw_client::Receive(fd).type, 1u) << "PENDING";
        waiters.push_back(fd);
    }
    int newcomer = raw_client::Connect(Interface());
    EXPECT_TRUE(raw_client::ClosedWithin(newcomer, 2000)) << "no idle connection to make room";
    close(newcomer);
    EXPECT_TRUE(LogHas("too many connections (3), each with a request held; one refused"));

    usleep(1500000); // three idle time limits
    for (int fd : waiters)
        EXPECT_FALSE(raw_client::ClosedWithin(fd, 0)) << "held, so never idle";
    EXPECT_TRUE(Eventually([&] { return emulator.Held() == 3; }));
    ASSERT_EQ(emulator.Ctl({"link-down", "hba0-t0-lun0"}).exitCode, 0);
    for (int fd : waiters) {
        raw_client::Reply done = raw_client::Receive(fd);
        EXPECT_TRUE(done.ok);
        EXPECT_EQ(done.type, 2u);
        // Answered, it is idle now, and the time limit closes it.
        EXPECT_TRUE(raw_client::ClosedWithin(fd, 3000));
        close(fd);
    }
    EXPECT_TRUE(LogHas("idle for 0.5 s (--idle-timeout)"));
}

// With a bound of 16 MiB: a stalled upload and an unread reply are held;
// an upload that would pass the bound is dropped, a reply that would pass
// it is refused with ERROR_NO_SYSTEM_RESOURCES; once the others are done,
// the same sizes fit again.
TEST_F(EmulatorLimits, BytesHeldForAllConnectionsAreBounded)
{
    Serve({"--buffer-limit", "16M"});
    const uint32_t MiB = 1 << 20;
    const uint32_t params = IOCTL_FERV_GET_PUBLIC_PARAMETERS;

    int stalled = raw_client::Connect(Interface());
    std::vector<uint8_t> head = raw_client::Header(params, 8 * MiB, 32);
    ASSERT_EQ(send(stalled, head.data(), head.size(), MSG_NOSIGNAL), 24);
    ASSERT_TRUE(SendBody(stalled, 7 * MiB));

    int unread = raw_client::Connect(Interface());
    raw_client::SendFrame(unread, params, std::vector<uint8_t>(2 * MiB), 2 * MiB);
    uint8_t replyHead[20];
    ASSERT_TRUE(raw_client::RecvAll(unread, replyHead, 20)) << "queued, and then left unread";
    EXPECT_EQ(FervLoad32(replyHead + 12), 2 * MiB);

    int dropped = raw_client::Connect(Interface());
    head = raw_client::Header(params, 8 * MiB, 32);
    ASSERT_EQ(send(dropped, head.data(), head.size(), MSG_NOSIGNAL), 24);
    EXPECT_FALSE(SendBody(dropped, 8 * MiB)) << "the newest offender is dropped";
    EXPECT_TRUE(raw_client::ClosedWithin(dropped, 2000));
    close(dropped);
    EXPECT_TRUE(LogHas("closed a connection: its request of 8388632 bytes would take the bytes held for all "
                       "connections past 16777216 (--buffer-limit)"));

    int refused = raw_client::Connect(Interface());
    raw_client::SendFrame(refused, params, std::vector<uint8_t>(7 * MiB / 2), 7 * MiB / 2);
    raw_client::Reply r = raw_client::Receive(refused);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.type, 2u);
    EXPECT_EQ(r.error, 1450u) << "ERROR_NO_SYSTEM_RESOURCES";
    EXPECT_TRUE(r.data.empty());
    EXPECT_TRUE(LogHas("refused a reply of 3670016 bytes with Win32 error 1450"));
    EXPECT_EQ(Adm({"-P"}).exitCode, 0) << "small requests go on";

    close(unread);
    ASSERT_TRUE(SendBody(stalled, 1 * MiB));
    r = raw_client::Receive(stalled);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.data.size(), 32u);
    close(stalled);

    // What the finished clients held is given back to the bound.
    raw_client::SendFrame(refused, params, std::vector<uint8_t>(7 * MiB / 2), 7 * MiB / 2);
    r = raw_client::Receive(refused);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.data.size(), 7 * MiB / 2);
    close(refused);
}

// A header that claims a large request, followed by a few bytes, is charged
// for about what was sent, not for what it claims: clients that stall after
// such headers leave the bound to the requests that really come.
TEST_F(EmulatorLimits, AClaimIsChargedForTheBytesSentNotTheSizeClaimed)
{
    Serve({"--buffer-limit", "16M"});
    const uint32_t MiB = 1 << 20;
    const uint32_t params = IOCTL_FERV_GET_PUBLIC_PARAMETERS;

    std::vector<int> claims;
    for (int i = 0; i < 2; i++) {
        int fd = raw_client::Connect(Interface());
        std::vector<uint8_t> head = raw_client::Header(params, 12 * MiB, 32);
        ASSERT_EQ(send(fd, head.data(), head.size(), MSG_NOSIGNAL), 24);
        ASSERT_TRUE(SendBody(fd, 128 * 1024));
        claims.push_back(fd);
    }

    int real = raw_client::Connect(Interface());
    raw_client::SendFrame(real, params, std::vector<uint8_t>(6 * MiB), 32);
    raw_client::Reply r = raw_client::Receive(real);
    EXPECT_TRUE(r.ok) << "the request that came whole is served";
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.data.size(), 32u);
    close(real);
    for (int fd : claims) {
        EXPECT_FALSE(raw_client::ClosedWithin(fd, 100)) << "the stalled claims are kept, too";
        close(fd);
    }
    EXPECT_EQ(emulator.Log().find("--buffer-limit"), std::string::npos) << emulator.Log();
}

} // namespace
