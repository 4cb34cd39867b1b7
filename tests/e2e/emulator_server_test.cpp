// The emulator as a server on POSIX: the wait released for every waiter,
// clients that misbehave on its sockets, faults that reach the front end,
// `fervsim run`, and a second emulator on the same root. Raw sockets and
// `fervsim run` have no counterpart behind the relay, so these cases do not
// run under Wine.
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "lib/fervlib.h"
#include "proto/ferv_proto.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/raw_client.h"

using namespace ferv_e2e;
using ferv_test::BackgroundProgram;
using ferv_test::ProgramOptions;
using ferv_test::ProgramResult;
using ferv_test::RunProgram;

namespace {

// The built-in topology without simulated I/O, so that every figure is fixed.
class EmulatorServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (UnderWine())
            GTEST_SKIP() << "POSIX sockets and fervsim run only";
        ASSERT_TRUE(emulator.Start("", {"--no-io"})) << emulator.Failure();
    }

    ProgramResult Adm(const std::vector<std::string> &args) const { return emulator.Run(kFervadm, args); }
    const std::string &Root() const { return emulator.Root(); }

    Emulator emulator;
};

const std::string kOk = StatusLine(0);
using raw_client::kClass;

TEST_F(EmulatorServer, WaitIsReleasedByLinkDownForEveryWaiter)
{
    std::vector<std::unique_ptr<BackgroundProgram>> waiters;
    for (int i = 0; i < 3; i++)
        waiters.push_back(ferv_e2e::Start(kFervadm, Root(), {"-S"}));
    ASSERT_TRUE(Eventually([&] { return emulator.Held() == 3; }));
    for (auto &w : waiters)
        EXPECT_TRUE(w->Running()) << "held until a change";

    ProgramResult c = emulator.Ctl({"link-down", "hba0-t0-lun0"});
    EXPECT_EQ(c.exitCode, 0) << c.err;
    for (auto &w : waiters)
        EXPECT_TRUE(Ran(w->Wait(10000), kOk, 0));
    EXPECT_NE(Adm({"-p", "hba0-t0-lun0", "-v"}).out.find("state:down flags:0x4"), std::string::npos);
    EXPECT_NE(Adm({"-p", "hba1-t0-lun0", "-v"}).out.find("state:up_active"), std::string::npos)
        << "the LUN failed over";
}

// ---- raw clients -------------------------------------------------------------------

using raw_client::Closed;
using raw_client::Connect;
using raw_client::Receive;
using raw_client::SendFrame;
using RawReply = raw_client::Reply;

TEST_F(EmulatorServer, BadClientsLoseOnlyTheirOwnConnection)
{
    const std::string iface = Root() + kClass + "ferv0000";
    std::vector<uint8_t> wait(8, 0);
    FervStore32(wait.data() + 4, 1);

    int bad = Connect(iface);
    int waiter = Connect(iface);
    int leaver = Connect(Root() + "/ZEL_HA_CONTROL");
    int truncated = Connect(iface);
    ASSERT_GE(bad, 0);
    ASSERT_GE(truncated, 0);
    SendFrame(waiter, IOCTL_FERV_WAIT_FOR_CHANGE, wait, 8);
    SendFrame(leaver, IOCTL_FERV_WAIT_FOR_CHANGE, wait, 8);
    RawReply p = Receive(waiter);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.type, 1u) << "PENDING";
    EXPECT_TRUE(p.data.empty());
    EXPECT_EQ(Receive(leaver).type, 1u);
    close(leaver); // leaves while held

    SendFrame(bad, IOCTL_FERV_GET_PUBLIC_PARAMETERS, std::vector<uint8_t>(32), 32, 0x12345678);
    EXPECT_TRUE(Closed(bad)) << "wrong magic closes the connection";
    close(bad);
    std::vector<uint8_t> head = raw_client::Header(IOCTL_FERV_GET_PUBLIC_PARAMETERS, 32, 32);
    send(truncated, head.data(), head.size(), MSG_NOSIGNAL);
    send(truncated, head.data(), 10, MSG_NOSIGNAL); // 10 of the 32 body bytes
    shutdown(truncated, SHUT_WR);
    EXPECT_TRUE(Closed(truncated));
    close(truncated);

    // A request too small for its layout, then an oversized one.
    int small = Connect(iface);
    SendFrame(small, IOCTL_FERV_ISSUE_PATH_CMD, std::vector<uint8_t>(40), 40);
    RawReply s = Receive(small);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.type, 2u);
    EXPECT_EQ(s.error, 0u);
    ASSERT_GE(s.data.size(), 4u);
    EXPECT_EQ(FervLoad32(s.data.data()), 1u);
    SendFrame(small, IOCTL_FERV_GET_PUBLIC_PARAMETERS, {}, 0x10000001);
    EXPECT_TRUE(Closed(small)) << "sizes over the limit close the connection";
    close(small);

    // The held waiter is still there, and the emulator serves everyone else.
    EXPECT_TRUE(Eventually([&] { return emulator.Held() == 1; }));
    EXPECT_EQ(Adm({"-P"}).exitCode, 0);
    ProgramResult f = emulator.Ctl({"fail-pended", "1167"});
    EXPECT_EQ(f.exitCode, 0) << f.err;
    RawReply done = Receive(waiter);
    ASSERT_TRUE(done.ok);
    EXPECT_EQ(done.type, 2u);
    EXPECT_EQ(done.error, 1167u);
    close(waiter);
}

TEST_F(EmulatorServer, RefusedEndpointsAndScriptedStatusReachTheFrontEnd)
{
    ASSERT_EQ(emulator.Ctl({"refuse", "0", "5"}).exitCode, 0);
    ProgramResult r = Adm({"-P"});
    EXPECT_EQ(r.exitCode, 0) << "the second interface carries the request";
    EXPECT_EQ(r.out.rfind("FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 00000005\n", 0), 0u)
        << r.out;

    ASSERT_EQ(emulator.Ctl({"answer", "ISSUE_DEVICE_CMD", "22"}).exitCode, 0);
    r = Adm({"-d", "600a0b80002f1e2c00004d3c50a10001", "-r"});
    EXPECT_EQ(r.exitCode, 22);
    EXPECT_NE(r.out.find("The restore operation failed. (22)"), std::string::npos) << r.out;

    ASSERT_EQ(emulator.Ctl({"too-small", "GET_ALL_DEVICES", "3"}).exitCode, 0);
    r = Adm({});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("ZEL HA-2100 array-west"), std::string::npos);

    EXPECT_EQ(emulator.Ctl({"answer", "NO_SUCH_CODE", "1"}).exitCode, 1);
    EXPECT_EQ(emulator.Ctl({"link-down", "no-such-path"}).exitCode, 1);
}

// Words that used to mean something else quietly (an empty name for the
// default, a missing folder for a verb) are refused with a usage error.
TEST_F(EmulatorServer, ArgumentsAreReadStrictly)
{
    ProgramOptions o;
    o.timeoutMs = 10000;
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"run", "--generate", "", "--", "/bin/true"},
         "fervsim: --generate wants DEVICES:LUNS:PATHS, e.g. 100:100:10, not ''\n"},
        {{"run", "--generate", " 1:1:1", "--", "/bin/true"},
         "fervsim: --generate wants DEVICES:LUNS:PATHS, e.g. 100:100:10, not ' 1:1:1'\n"},
        {{"run", "--generate", "1:1:2000000", "--", "/bin/true"},
         "fervsim: --generate: at most 64 paths per LUN, not 2000000\n"},
        {{"run", "--topology=", "--", "/bin/true"}, "fervsim: --topology wants a file, not an empty word\n"},
        {{"run", "--log", "", "--", "/bin/true"}, "fervsim: --log wants a file, not an empty word\n"},
        {{"--root", "", "--quiet"}, "fervsim: --root wants a folder, not an empty word\n"},
        {{"run", "--interfaces", "+3", "--", "/bin/true"},
         "fervsim: --interfaces wants a number from 0 to 64, not '+3'\n"},
        {{"run", "--idle-timeout", "-1", "--", "/bin/true"},
         "fervsim: --idle-timeout wants seconds (0 for no limit), not '-1'\n"},
        {{"run", "--buffer-limit", "1000", "--", "/bin/true"},
         "fervsim: --buffer-limit wants a size of at least 1M (bytes, or with K, M or G), not '1000'\n"},
        {{"ctl", "--root"}, "fervsim ctl: --root wants a folder\n"},
        {{"ctl", "--root=", "show"}, "fervsim ctl: --root wants a folder, not an empty word\n"},
        {{"ctl", "help", "show"}, "fervsim ctl: help takes no words, not 'show'\n"},
    };
    for (const Case &c : cases) {
        ProgramResult r = RunProgram(SimPath(), c.args, o);
        EXPECT_EQ(r.exitCode, 2) << c.args[1];
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << "usage follows the reason";
        EXPECT_EQ(r.out, "");
    }

    // The words that must be refused by the running emulator itself.
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"poll", "now"}, {"faults", "x"}, {"clear", "x"}}) {
        ProgramResult r = emulator.Ctl(args);
        EXPECT_EQ(r.exitCode, 1) << args[0];
        EXPECT_EQ(r.err, args[0] + " takes no words, not '" + args[1] + "'\n");
    }
}

TEST_F(EmulatorServer, ASecondEmulatorOnTheSameRootIsRefused)
{
    ProgramResult r = RunProgram(SimPath(), {"--root", Root(), "--quiet"}, OptionsFor(Root()));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("already serves"), std::string::npos) << r.err;
    EXPECT_EQ(Adm({"-P"}).exitCode, 0) << "the first one serves on";
}

TEST_F(EmulatorServer, StoppedItRemovesItsSockets)
{
    emulator.Stop();
    struct stat st;
    EXPECT_NE(stat((Root() + "/ZEL_HA_CONTROL").c_str(), &st), 0) << "sockets are removed on SIGTERM";
    EXPECT_NE(stat((Root() + kClass + "ferv0000").c_str(), &st), 0);
}

TEST(EmulatorRun, ServesAPrivateRootAndPassesTheStatusOn)
{
    if (UnderWine())
        GTEST_SKIP() << "fervsim run is POSIX only";
    ProgramOptions o;
    o.timeoutMs = 20000;
    o.unsetEnv.push_back("FERV_DEVICE_ROOT");
    ProgramResult r =
        RunProgram(SimPath(),
                   {"run", "--no-io", "--", "/bin/sh", "-c",
                    "echo \"$FERV_DEVICE_ROOT\"; \"$0\" -P >/dev/null || exit 9; exit 3", HostProgramPath(kFervadm)},
                   o);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    std::string root = r.out.substr(0, r.out.find('\n'));
    ASSERT_FALSE(root.empty());
    struct stat st;
    EXPECT_NE(stat(root.c_str(), &st), 0) << "the private root is removed";

    r = RunProgram(SimPath(), {"run", "--", "/bin/sh", "-c", "kill -TERM $$"}, o);
    EXPECT_EQ(r.exitCode, 128 + SIGTERM);
}

} // namespace
