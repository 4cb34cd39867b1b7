// The admin verbs: what they change, and that a refused verb changes nothing.
#include <gtest/gtest.h>

#include "sim/ctl.h"
#include "sim_test_util.h"

namespace {

struct Ctl {
    SimModel m = LoadText(OneLunTopology());
    SimFaults f;
    SimCtlContext ctx;

    Ctl()
    {
        SimFaultsInit(&f, 3);
        ctx = SimCtlContext{&m, &f, 2, false, false, 0};
    }

    SimCtlResult Run(std::vector<std::string> args) { return SimRunCtl(&ctx, args); }
};

TEST(SimCtl, LinkVerbsCheckEveryNameBeforeChangingAny)
{
    Ctl c;
    SimCtlResult r = c.Run({"link-down", "p1", "typo"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "no path named typo\n");
    EXPECT_EQ(StateOf(c.m, "p1"), FERV_PATH_STATE_UP_STANDBY);
    EXPECT_FALSE(c.m.changed);

    EXPECT_TRUE(c.Run({"link-down", "--hba", "h0"}).ok);
    EXPECT_EQ(StateOf(c.m, "p0"), FERV_PATH_STATE_DOWN);
    EXPECT_EQ(StateOf(c.m, "p2"), FERV_PATH_STATE_DOWN);
    EXPECT_EQ(StateOf(c.m, "p1"), FERV_PATH_STATE_UP_ACTIVE);
    EXPECT_TRUE(c.m.changed) << "a fabric event wakes the waiters";
    EXPECT_FALSE(c.Run({"link-up", "--hba", "h9"}).ok);
    EXPECT_FALSE(c.Run({"link-up"}).ok);
    r = c.Run({"link-up", "p0", "p0"});
    EXPECT_TRUE(r.ok);
    EXPECT_NE(r.text.find("(unchanged)"), std::string::npos) << r.text;
}

TEST(SimCtl, FaultVerbsParseStrictly)
{
    Ctl c;
    EXPECT_TRUE(c.Run({"refuse", "1", "5"}).ok);
    EXPECT_EQ(SimFaultRefusal(c.f, 2), 5u) << "interface 1 is endpoint 2";
    EXPECT_FALSE(c.Run({"refuse", "2", "5"}).ok) << "only two interfaces";
    EXPECT_FALSE(c.Run({"refuse", "control", "997"}).ok) << "997 would read as pending";
    EXPECT_FALSE(c.Run({"refuse", "control", "-5"}).ok);
    EXPECT_TRUE(c.Run({"refuse", "all", "21"}).ok);
    EXPECT_EQ(SimFaultRefusal(c.f, SIM_ENDPOINT_CONTROL), 21u);
    EXPECT_TRUE(c.Run({"accept", "all"}).ok);
    EXPECT_EQ(SimFaultRefusal(c.f, 1), 0u);

    EXPECT_TRUE(c.Run({"answer", "ioctl_ferv_get_lun_stats", "--win32", "1167", "3"}).ok);
    ASSERT_EQ(c.f.answers.size(), 1u);
    EXPECT_EQ(c.f.answers[0].code, (uint32_t)IOCTL_FERV_GET_LUN_STATS);
    EXPECT_TRUE(c.f.answers[0].win32);
    EXPECT_EQ(c.f.answers[0].count, 3u);
    EXPECT_TRUE(c.Run({"answer", "0x85002040", "--pend", "0"}).ok);
    EXPECT_TRUE(c.f.answers[1].pend);
    EXPECT_FALSE(c.Run({"answer", "GET_EVERYTHING", "1"}).ok);
    EXPECT_FALSE(c.Run({"answer", "GET_LUN_STATS", "1", "0"}).ok) << "a count of 0";
    EXPECT_FALSE(c.Run({"answer", "GET_LUN_STATS", "1", "2", "3"}).ok);
    EXPECT_FALSE(c.Run({"too-small", "GET_PATH_INFO", "2"}).ok) << "the path query has no size word";
    EXPECT_TRUE(c.Run({"too-small", "GET_LUN_INFO", "2", "--size", "9000"}).ok);
    EXPECT_EQ(c.f.tooSmall[0].size, 9000u);
    EXPECT_EQ(c.f.tooSmall[0].rounds, 2u);
    EXPECT_NE(c.Run({"faults"}).text.find("too-small GET_LUN_INFO"), std::string::npos);
    EXPECT_TRUE(c.Run({"clear"}).ok);
    EXPECT_TRUE(c.f.answers.empty());
    EXPECT_TRUE(c.f.tooSmall.empty());

    SimCtlResult r = c.Run({"fail-pended"});
    EXPECT_TRUE(r.failHeld);
    EXPECT_EQ(r.failError, 31u);
    EXPECT_TRUE(c.Run({"fail-pended", "--drop"}).dropHeld);
    EXPECT_FALSE(c.Run({"fail-pended", "0"}).ok);
}

// A word too many, or a number in a form nobody meant, is refused with the
// word named, and the verb does nothing.
TEST(SimCtl, ExtraWordsAreRefusedAndDoNothing)
{
    Ctl c;
    ASSERT_TRUE(c.Run({"answer", "GET_LUN_STATS", "8"}).ok);
    struct Case {
        std::vector<std::string> args;
        const char *text;
    } cases[] = {
        {{"poll", "now"}, "poll takes no words, not 'now'\n"},
        {{"faults", "x"}, "faults takes no words, not 'x'\n"},
        {{"clear", "x"}, "clear takes no words, not 'x'\n"},
        {{"help", "me"}, "help takes no words, not 'me'\n"},
        {{"too-small", "GET_LUN_INFO", "--size"}, "too-small --size: a number of bytes is missing\n"},
        {{"too-small", "GET_LUN_INFO", "2", "3"}, "too-small: one ROUNDS only; 3 is one word too many\n"},
        {{"too-small", "GET_LUN_INFO", "--size", "1", "--size", "2"}, "too-small: --size given twice\n"},
        {{"too-small", "GET_LUN_INFO", " 2"}, "too-small: ROUNDS must be a positive number, not  2\n"},
        {{"refuse", "control", "+5"}, "ERROR must be a Win32 error code other than 0 and 997\n"},
    };
    for (const Case &k : cases) {
        SimCtlResult r = c.Run(k.args);
        EXPECT_FALSE(r.ok) << k.args[0];
        EXPECT_EQ(r.text, k.text);
    }
    EXPECT_FALSE(c.ctx.pollNow);
    EXPECT_EQ(c.f.answers.size(), 1u) << "clear with a word cleared nothing";
    EXPECT_TRUE(c.f.tooSmall.empty());
    EXPECT_EQ(SimFaultRefusal(c.f, SIM_ENDPOINT_CONTROL), 0u);
}

TEST(SimCtl, CountersAndIo)
{
    Ctl c;
    EXPECT_TRUE(c.Run({"counter", "set", "p0", "hostRequests", "4294967295"}).ok);
    EXPECT_TRUE(c.Run({"counter", "add", "p0", "hostRequests", "2"}).ok);
    EXPECT_EQ(c.m.paths[0].counters.hostRequests, 1u) << "32-bit counters wrap";
    EXPECT_FALSE(c.Run({"counter", "set", "p0", "hostRequests", "4294967296"}).ok);
    EXPECT_FALSE(c.Run({"counter", "set", "p0", "latency", "1"}).ok);
    EXPECT_FALSE(c.Run({"counter", "set", "nope", "ioErrors", "1"}).ok);

    EXPECT_TRUE(c.Run({"io", "pause"}).ok);
    EXPECT_TRUE(c.ctx.ioPaused);
    EXPECT_TRUE(c.Run({"poll"}).ok);
    EXPECT_TRUE(c.ctx.pollNow);
    EXPECT_FALSE(c.Run({"frobnicate"}).ok);
    EXPECT_FALSE(c.Run({}).ok);
    EXPECT_NE(c.Run({"show"}).text.find("host I/O: paused"), std::string::npos);
}

} // namespace
