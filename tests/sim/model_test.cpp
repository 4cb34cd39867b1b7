// The model: failover, failback, the commands and their status codes,
// parameters and the change counter.
#include <gtest/gtest.h>

#include "sim_test_util.h"

namespace {

TEST(SimModel, LoadSettlesOneActivePathPreferredFirst)
{
    SimModel m = LoadText(OneLunTopology());
    ASSERT_EQ(m.paths.size(), 4u);
    EXPECT_EQ(StateOf(m, "p0"), FERV_PATH_STATE_UP_ACTIVE);
    EXPECT_EQ(StateOf(m, "p1"), FERV_PATH_STATE_UP_STANDBY);
    EXPECT_FALSE(m.changed) << "loading is no fabric event";
    EXPECT_TRUE(m.events.empty());
    ASSERT_TRUE(SimSetLink(&m, PathIndex(m, "p1"), false));
    bool logged = false;
    for (const SimEvent &e : m.events)
        logged = logged || e.text == "path p1: up_standby -> down";
    EXPECT_TRUE(logged) << "a change after loading is";

    SimModel sym = LoadText(OneLunTopology("symmetric", true));
    for (const char *p : {"p0", "p1", "p2", "p3"})
        EXPECT_EQ(StateOf(sym, p), FERV_PATH_STATE_UP_ACTIVE) << p;
}

TEST(SimModel, LinkLossFailsOverToPreferredThenFirstUsable)
{
    // Preferred p2 stands by while p1 is active: losing p1 must pick p2.
    SimModel m = LoadText(OneLunTopology());
    m.paths[(size_t)PathIndex(m, "p2")].preferred = true;
    ASSERT_EQ(SimPathCommand(&m, PathIndex(m, "p1"), FERV_PATH_CMD_ACTIVATE), FERV_STATUS_SUCCESS);
    ASSERT_TRUE(SimSetLink(&m, PathIndex(m, "p1"), false));
    EXPECT_EQ(StateOf(m, "p1"), FERV_PATH_STATE_DOWN);
    EXPECT_EQ(StateOf(m, "p0"), FERV_PATH_STATE_UP_ACTIVE) << "first usable preferred path";

    // Without any usable preferred path the first usable path takes over.
    SimSetLink(&m, PathIndex(m, "p0"), false);
    SimSetLink(&m, PathIndex(m, "p2"), false);
    EXPECT_EQ(StateOf(m, "p3"), FERV_PATH_STATE_UP_ACTIVE);

    // The last link going leaves no active path; the first to return takes over.
    SimSetLink(&m, PathIndex(m, "p3"), false);
    for (const char *p : {"p0", "p1", "p2", "p3"})
        EXPECT_EQ(StateOf(m, p), FERV_PATH_STATE_DOWN) << p;
    SimSetLink(&m, PathIndex(m, "p1"), true);
    EXPECT_EQ(StateOf(m, "p1"), FERV_PATH_STATE_UP_ACTIVE);
    EXPECT_FALSE(SimSetLink(&m, PathIndex(m, "p1"), true)) << "no change, no event";
}

TEST(SimModel, LinkLossUnderLoadCountsInFlightRequestsAsErrors)
{
    SimModel m = LoadText(OneLunTopology());
    int p0 = PathIndex(m, "p0");
    m.paths[(size_t)p0].counters.outstandingIo = 7;
    SimSetLink(&m, p0, false);
    EXPECT_EQ(m.paths[(size_t)p0].counters.ioErrors, 7u);
    EXPECT_EQ(m.paths[(size_t)p0].counters.outstandingIo, 0u);
}

TEST(SimModel, SymmetricBalancedKeepsEveryUsablePathActive)
{
    SimModel m = LoadText(OneLunTopology("symmetric", true));
    EXPECT_EQ(SimPathCommand(&m, PathIndex(m, "p1"), FERV_PATH_CMD_ACTIVATE), FERV_STATUS_ALREADY_ACTIVE);
    ASSERT_EQ(SimPathCommand(&m, PathIndex(m, "p1"), FERV_PATH_CMD_DISABLE), FERV_STATUS_SUCCESS);
    EXPECT_EQ(StateOf(m, "p1"), FERV_PATH_STATE_ADMIN);
    EXPECT_EQ(StateOf(m, "p0"), FERV_PATH_STATE_UP_ACTIVE);
    ASSERT_EQ(SimPathCommand(&m, PathIndex(m, "p1"), FERV_PATH_CMD_ENABLE), FERV_STATUS_SUCCESS);
    EXPECT_EQ(StateOf(m, "p1"), FERV_PATH_STATE_UP_ACTIVE);
}

TEST(SimModel, PathCommandsAnswerWithTheirRefusalCodes)
{
    SimModel m = LoadText(OneLunTopology());
    int p0 = PathIndex(m, "p0"), p1 = PathIndex(m, "p1");
    EXPECT_EQ(SimPathCommand(&m, p0, FERV_PATH_CMD_ACTIVATE), FERV_STATUS_ALREADY_ACTIVE);
    EXPECT_EQ(SimPathCommand(&m, p0, 0), FERV_STATUS_INVALID_COMMAND);
    EXPECT_EQ(SimPathCommand(&m, p0, 4), FERV_STATUS_INVALID_COMMAND);

    SimSetLink(&m, p1, false);
    EXPECT_EQ(SimPathCommand(&m, p1, FERV_PATH_CMD_ACTIVATE), FERV_STATUS_PATH_DOWN);
    EXPECT_EQ(SimPathCommand(&m, p1, FERV_PATH_CMD_ENABLE), FERV_STATUS_PATH_ENABLE_FAILED);

    ASSERT_EQ(SimPathCommand(&m, PathIndex(m, "p2"), FERV_PATH_CMD_DISABLE), FERV_STATUS_SUCCESS);
    EXPECT_EQ(SimPathCommand(&m, PathIndex(m, "p2"), FERV_PATH_CMD_ACTIVATE), FERV_STATUS_PATH_DOWN);
    EXPECT_EQ(SimPathCommand(&m, PathIndex(m, "p2"), FERV_PATH_CMD_DISABLE), FERV_STATUS_SUCCESS)
        << "disabling a disabled path changes nothing and is no error";

    // p0 and p3 usable: disabling p3 leaves p0, disabling p0 then is refused.
    ASSERT_EQ(SimPathCommand(&m, PathIndex(m, "p3"), FERV_PATH_CMD_DISABLE), FERV_STATUS_SUCCESS);
    m.changed = false;
    EXPECT_EQ(SimPathCommand(&m, p0, FERV_PATH_CMD_DISABLE), FERV_STATUS_NO_ALTERNATE_PATH);
    EXPECT_EQ(StateOf(m, "p0"), FERV_PATH_STATE_UP_ACTIVE);
    EXPECT_FALSE(m.changed) << "a refused command changes nothing";

    // A path whose link is down may still be disabled, and then enabled
    // only once its link is back.
    EXPECT_EQ(SimPathCommand(&m, p1, FERV_PATH_CMD_DISABLE), FERV_STATUS_SUCCESS);
    EXPECT_EQ(SimPathCommand(&m, p1, FERV_PATH_CMD_ENABLE), FERV_STATUS_PATH_ENABLE_FAILED);
    SimSetLink(&m, p1, true);
    EXPECT_EQ(StateOf(m, "p1"), FERV_PATH_STATE_ADMIN) << "link up does not undo a disable";
    EXPECT_EQ(SimPathCommand(&m, p1, FERV_PATH_CMD_ENABLE), FERV_STATUS_SUCCESS);
    EXPECT_EQ(StateOf(m, "p1"), FERV_PATH_STATE_UP_STANDBY);
}

TEST(SimModel, ActivateMovesTheLunAndDisableOfActiveFailsOver)
{
    SimModel m = LoadText(OneLunTopology());
    ASSERT_EQ(SimPathCommand(&m, PathIndex(m, "p2"), FERV_PATH_CMD_ACTIVATE), FERV_STATUS_SUCCESS);
    EXPECT_EQ(StateOf(m, "p2"), FERV_PATH_STATE_UP_ACTIVE);
    EXPECT_EQ(StateOf(m, "p0"), FERV_PATH_STATE_UP_STANDBY);
    ASSERT_EQ(SimPathCommand(&m, PathIndex(m, "p2"), FERV_PATH_CMD_DISABLE), FERV_STATUS_SUCCESS);
    EXPECT_EQ(StateOf(m, "p0"), FERV_PATH_STATE_UP_ACTIVE) << "the preferred path takes over";
}

TEST(SimModel, AutoFailbackReturnsAtThePollOnlyWhenOn)
{
    SimModel m = LoadText(OneLunTopology());
    int p0 = PathIndex(m, "p0");
    SimSetLink(&m, p0, false);
    ASSERT_EQ(StateOf(m, "p1"), FERV_PATH_STATE_UP_ACTIVE);
    SimSetLink(&m, p0, true);
    EXPECT_EQ(StateOf(m, "p0"), FERV_PATH_STATE_UP_STANDBY) << "failback waits for the poll";
    SimPoll(&m);
    EXPECT_EQ(StateOf(m, "p0"), FERV_PATH_STATE_UP_ACTIVE);

    // A manual choice of another path sticks across polls.
    ASSERT_EQ(SimPathCommand(&m, PathIndex(m, "p3"), FERV_PATH_CMD_ACTIVATE), FERV_STATUS_SUCCESS);
    SimPoll(&m);
    EXPECT_EQ(StateOf(m, "p3"), FERV_PATH_STATE_UP_ACTIVE);

    m.params.autoFailBack = 0;
    SimSetLink(&m, p0, false);
    SimSetLink(&m, p0, true);
    SimPoll(&m);
    EXPECT_EQ(StateOf(m, "p3"), FERV_PATH_STATE_UP_ACTIVE) << "failback off";
}

TEST(SimModel, RestorePreferredOfLunAndDevice)
{
    SimModel m = LoadText(OneLunTopology());
    int lun = 0;
    EXPECT_EQ(SimLunCommand(&m, lun, FERV_LUN_CMD_RESTORE_PREFERRED), FERV_STATUS_SUCCESS) << "already there";
    EXPECT_EQ(SimLunCommand(&m, lun, 2), FERV_STATUS_INVALID_COMMAND);

    SimPathCommand(&m, PathIndex(m, "p1"), FERV_PATH_CMD_ACTIVATE);
    EXPECT_EQ(SimLunCommand(&m, lun, FERV_LUN_CMD_RESTORE_PREFERRED), FERV_STATUS_SUCCESS);
    EXPECT_EQ(StateOf(m, "p0"), FERV_PATH_STATE_UP_ACTIVE);

    SimSetLink(&m, PathIndex(m, "p0"), false);
    EXPECT_EQ(SimLunCommand(&m, lun, FERV_LUN_CMD_RESTORE_PREFERRED), FERV_STATUS_PRIMARY_PATH_DOWN);

    int32_t ok = -1, failed = -1;
    EXPECT_EQ(SimDeviceCommand(&m, 0, FERV_DEVICE_CMD_RESTORE_PREFERRED, &ok, &failed), FERV_STATUS_RESTORE_FAILED);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(failed, 1);
    SimSetLink(&m, PathIndex(m, "p0"), true);
    EXPECT_EQ(SimDeviceCommand(&m, 0, FERV_DEVICE_CMD_RESTORE_PREFERRED, &ok, &failed), FERV_STATUS_SUCCESS);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(SimDeviceCommand(&m, 0, 7, &ok, &failed), FERV_STATUS_INVALID_COMMAND);
    EXPECT_EQ(ok + failed, 0);

    m.paths[(size_t)PathIndex(m, "p0")].preferred = false;
    EXPECT_EQ(SimLunCommand(&m, lun, FERV_LUN_CMD_RESTORE_PREFERRED), FERV_STATUS_PATH_SELECT_FAILED)
        << "a LUN without a preferred path";
}

TEST(SimModel, PublicParametersCheckRangesAndKeepUnchangedWords)
{
    SimModel m = LoadText(OneLunTopology());
    const uint32_t U = FERV_PARAM_UNCHANGED;
    SimParams before = m.params;
    for (uint32_t bad : {0u, 1u, 61u, 0x80000000u}) {
        uint32_t w[7] = {bad, 0, 0, U, U, U, U};
        EXPECT_EQ(SimSetPublicParameters(&m, w), FERV_STATUS_INVALID_PARAMETER) << bad;
    }
    uint32_t badFailback[7] = {10, 2, 0, U, U, U, U};
    EXPECT_EQ(SimSetPublicParameters(&m, badFailback), FERV_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m.params.pollRate, before.pollRate) << "a refused set changes nothing";
    EXPECT_EQ(m.params.logLevel, before.logLevel);

    uint32_t poll[7] = {60, U, U, 9, 9, 9, 9};
    ASSERT_EQ(SimSetPublicParameters(&m, poll), FERV_STATUS_SUCCESS);
    EXPECT_EQ(m.params.pollRate, 60);
    EXPECT_EQ(m.params.autoFailBack, before.autoFailBack);
    EXPECT_EQ(m.params.logLevel, before.logLevel);
    EXPECT_EQ(m.params.driverVersion[0], before.driverVersion[0]) << "callers cannot set the version";

    uint32_t log[7] = {U, 0, 0x7fffffff, U, U, U, U};
    ASSERT_EQ(SimSetPublicParameters(&m, log), FERV_STATUS_SUCCESS);
    EXPECT_EQ(m.params.autoFailBack, 0);
    EXPECT_EQ(m.params.logLevel, 0x7fffffffu);
    EXPECT_EQ(m.params.pollRate, 60);

    uint32_t priv[3] = {U, 0x1f, U};
    SimSetPrivateParameters(&m, priv);
    EXPECT_EQ(m.params.paramR, 0x1fu);
    EXPECT_EQ(m.params.paramT, before.paramT);
    EXPECT_EQ(m.params.paramD, before.paramD);
}

TEST(SimModel, ChangeCounterMovesOncePerChangeAndSkipsZeroAndOne)
{
    SimModel m = LoadText(OneLunTopology());
    uint32_t c0 = m.changeCounter;
    EXPECT_FALSE(SimTakeChange(&m));
    SimPathCommand(&m, PathIndex(m, "p1"), FERV_PATH_CMD_ACTIVATE); // two paths change in one command
    EXPECT_TRUE(SimTakeChange(&m));
    EXPECT_EQ(m.changeCounter, c0 + 1);
    EXPECT_FALSE(SimTakeChange(&m));
    SimPathCommand(&m, PathIndex(m, "p1"), FERV_PATH_CMD_ACTIVATE); // refused with 14: no change
    EXPECT_FALSE(SimTakeChange(&m));

    m.changeCounter = 0xFFFFFFFFu;
    SimSetLink(&m, PathIndex(m, "p3"), false);
    EXPECT_TRUE(SimTakeChange(&m));
    EXPECT_EQ(m.changeCounter, 2u);
}

TEST(SimModel, LunCountersAreTheSumOverPathsAndIoMovesActivePathsOnly)
{
    SimModel m = LoadText(OneLunTopology());
    m.luns[0].ioRate = 1000;
    SimRunIo(&m, 1.0);
    const SimCounters &a = m.paths[(size_t)PathIndex(m, "p0")].counters;
    EXPECT_GT(a.hostRequests, 800u);
    EXPECT_GT(a.blocksTransferred, a.hostRequests);
    EXPECT_EQ(m.paths[(size_t)PathIndex(m, "p1")].counters.hostRequests, 0u) << "standby paths carry nothing";
    m.paths[(size_t)PathIndex(m, "p1")].counters.ioErrors = 0xFFFFFFFFu;
    m.paths[(size_t)PathIndex(m, "p2")].counters.ioErrors = 3;
    SimCounters sum = SimLunCounters(m, 0);
    EXPECT_EQ(sum.hostRequests, a.hostRequests);
    EXPECT_EQ(sum.ioErrors, 2u) << "32-bit sums wrap like the driver's counters";
}

} // namespace
