// Judging a topology as `fervmon check` does, on hand-built records: what
// each state of a path and a LUN raises, the scope of --lun and --device,
// and the plugin output that comes of it.
#include <string>

#include <gtest/gtest.h>

#include "mon/check.h"
#include "tests/mon/unit/mon_records.h"

namespace {

std::string Judge(const TestTopology &t, int32_t autoFailBack, const MonOptions &options, MonCheckResult *result,
                  bool verbose = true)
{
    MonJudgeTopology(&t.info, autoFailBack, options, result);
    return MonFormatCheck(*result, verbose);
}

// The status line without its performance data.
std::string Status(const std::string &output)
{
    return output.substr(0, output.find(" | "));
}

TEST(Check, HealthyTopologyIsOkWithItsCountsAsPerformanceData)
{
    TestTopology t;
    FervDevice *d = t.Device("array", 1);
    FervLun *a = t.Lun(d, "a", 1);
    t.Path(a, "p0", ACTIVE, true);
    t.Path(a, "p1", STANDBY);
    FervLun *b = t.Lun(t.Device("empty-or-not", 2), "b", 2);
    t.Path(b, "p2", ACTIVE);
    t.Path(b, "p3", ACTIVE); // load balancing: two active, none preferred
    t.Device("no LUNs", 3);
    MonCheckResult r;
    EXPECT_EQ(Judge(t, 1, MonOptions(), &r),
              "FERV OK - 2 LUNs, 4 of 4 paths healthy | luns=2;;;0 paths=4;;;0 paths_healthy=4;;;0;4 "
              "paths_down=0;;;0;4 paths_disabled=0;;;0;4 paths_other=0;;;0;4 luns_unusable=0;;0;0;2 "
              "luns_degraded=0;0;;0;2 luns_off_preferred=0;0;;0;2 devices=3;;;0\n");
    EXPECT_EQ(r.state, MON_STATE_OK);
}

TEST(Check, FailoverAwayFromAPreferredPathWarnsOnlyWhileFailbackIsOn)
{
    TestTopology t;
    FervLun *a = t.Lun(t.Device("array", 1), "a", 1);
    t.Path(a, "p0", DOWN, true, "HBA0");
    t.Path(a, "p1", ACTIVE, false, "HBA1");
    t.Path(a, "p2", STANDBY);
    MonCheckResult r;
    std::string on = Judge(t, 1, MonOptions(), &r);
    EXPECT_EQ(r.state, MON_STATE_WARNING);
    EXPECT_EQ(Status(on), "FERV WARNING - 1 of 1 LUN not on a preferred path (a); 1 of 3 paths down (p0)");
    EXPECT_NE(on.find("paths_down=1;;;0;3 "), std::string::npos) << on;
    EXPECT_NE(on.find("luns_off_preferred=1;0;;0;1"), std::string::npos) << on;
    // Each finding on its line: the path's cause before the LUN's effect.
    EXPECT_EQ(on.substr(on.find('\n') + 1),
              "WARNING: path p0 (HBA HBA0) of LUN a: down\n"
              "WARNING: LUN a (60100000000000000000000000000001) of device array: not on a preferred path\n");

    std::string off = Judge(t, 0, MonOptions(), &r);
    EXPECT_EQ(Status(off), "FERV WARNING - 1 of 3 paths down (p0)");
}

TEST(Check, ALunWithoutAUsableOrAnActivePathIsCritical)
{
    TestTopology t;
    FervDevice *d = t.Device("array", 1);
    FervLun *a = t.Lun(d, "a", 1);
    t.Path(a, "p0", DOWN, true);
    t.Path(a, "p1", ADMIN);
    FervLun *b = t.Lun(d, "b", 2);
    t.Path(b, "p2", STANDBY, true);
    t.Path(b, "p3", STANDBY);
    t.Lun(d, "c", 3); // no paths at all
    MonCheckResult r;
    std::string out = Judge(t, 1, MonOptions(), &r, false);
    EXPECT_EQ(r.state, MON_STATE_CRITICAL);
    EXPECT_EQ(Status(out), "FERV CRITICAL - 2 of 3 LUNs without a usable path (a, c); 1 of 3 LUNs without an "
                           "active path (b); 1 of 4 paths down (p0); 1 of 4 paths disabled (p1)");
    EXPECT_NE(out.find("luns_unusable=3;;0;0;3"), std::string::npos) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line without --verbose";
}

TEST(Check, FewerHealthyPathsThanTheMinimumWarns)
{
    TestTopology t;
    FervLun *a = t.Lun(t.Device("array", 1), "a", 1);
    t.Path(a, "p0", ACTIVE, true);
    t.Path(a, "p1", STANDBY);
    t.Path(a, "p2", STANDBY);
    MonOptions options;
    MonCheckResult r;
    EXPECT_EQ(Judge(t, 1, options, &r).substr(0, 7), "FERV OK");
    options.minPaths = 4;
    std::string out = Judge(t, 1, options, &r);
    EXPECT_EQ(Status(out), "FERV WARNING - 1 of 1 LUN with fewer healthy paths than 4 (a)");
    EXPECT_NE(out.find("of device array: 3 healthy paths, fewer than 4\n"), std::string::npos) << out;
    options.minPaths = 1;
    t.paths[1].state = DOWN;
    t.paths[2].state = DOWN;
    EXPECT_EQ(Status(Judge(t, 1, options, &r)), "FERV WARNING - 2 of 3 paths down (p1, p2)");
}

TEST(Check, EveryStateOtherThanUpIsAWarningOfItsOwn)
{
    TestTopology t;
    FervLun *a = t.Lun(t.Device("array", 1), "a", 1);
    t.Path(a, "p0", ACTIVE);
    t.Path(a, "p1", STANDBY);
    t.Path(a, "t", TRANSITION);
    t.Path(a, "u", UNKNOWN);
    t.Path(a, "n", 9);
    MonCheckResult r;
    std::string out = Judge(t, 1, MonOptions(), &r);
    EXPECT_EQ(Status(out), "FERV WARNING - 1 of 5 paths in transition (t); 2 of 5 paths in an unknown state (u, n)");
    EXPECT_NE(out.find("paths_other=3;;;0;5 "), std::string::npos) << out;
    EXPECT_NE(out.find("WARNING: path u (HBA HBA0) of LUN a: in state unknown\n"), std::string::npos) << out;
    EXPECT_NE(out.find("WARNING: path n (HBA HBA0) of LUN a: in state 9\n"), std::string::npos) << out;
}

TEST(Check, LunAndDeviceSelectorsLimitTheCheckAndUnmatchedOnesAreCritical)
{
    TestTopology t;
    FervDevice *d1 = t.Device("one", 1);
    t.Path(t.Lun(d1, "a", 1), "p0", DOWN);
    FervLun *b = t.Lun(d1, "b", 2);
    t.Path(b, "p1", ACTIVE);
    t.Path(b, "p2", STANDBY);
    FervLun *c = t.Lun(t.Device("two", 2), "c", 3);
    t.Path(c, "p3", ACTIVE);
    t.Path(c, "p4", STANDBY);

    MonOptions options;
    options.luns.push_back(TestWwn(0x10, 2));
    options.devices.push_back(TestWwn(0xd0, 2));
    MonCheckResult r;
    std::string out = Judge(t, 1, options, &r);
    EXPECT_EQ(r.state, MON_STATE_OK) << out;
    EXPECT_EQ(r.luns, 2);
    EXPECT_EQ(r.devices, 2);

    // A LUN the driver does not show is lost to the host (or misnamed):
    // critical, with the findings of what is in scope beside it.
    options.luns.push_back(TestWwn(0x10, 9));
    options.devices.push_back(TestWwn(0xd0, 1)); // brings LUN a in: its path is down
    out = Judge(t, 1, options, &r);
    EXPECT_EQ(r.state, MON_STATE_CRITICAL);
    EXPECT_EQ(Status(out), "FERV CRITICAL - no LUN 60100000000000000000000000000009; 1 of 3 LUNs without a usable "
                           "path (a); 1 of 5 paths down (p0)");
    EXPECT_EQ(out.substr(out.find('\n') + 1),
              "WARNING: path p0 (HBA HBA0) of LUN a: down\n"
              "CRITICAL: LUN a (60100000000000000000000000000001) of device one: no usable path\n"
              "CRITICAL: LUN 60100000000000000000000000000009: not found\n");
}

TEST(Check, NamesCannotBreakThePluginFormatAndLongListsAreCut)
{
    TestTopology t;
    FervDevice *d = t.Device("array", 1);
    const char *names[] = {"x|y\nz", "b", "c", "d", "e", "f"};
    uint8_t id = 1;
    for (const char *name : names)
        t.Path(t.Lun(d, name, id++), "p", DOWN);
    MonCheckResult r;
    std::string out = Judge(t, 1, MonOptions(), &r, false);
    EXPECT_EQ(Status(out), "FERV CRITICAL - 6 of 6 LUNs without a usable path (x?y?z, b, c, d, e, ...); "
                           "6 of 6 paths down (p, p, p, p, p, ...)");
}

TEST(Check, AListShorterThanItsCountEndsTheWalk)
{
    TestTopology t;
    FervLun *a = t.Lun(t.Device("array", 1), "a", 1);
    t.Path(a, "p0", ACTIVE);
    t.Path(a, "p1", STANDBY);
    a->pathCount = 5;
    t.info.deviceCount = 3;
    MonCheckResult r;
    Judge(t, 1, MonOptions(), &r);
    EXPECT_EQ(r.paths, 2);
    EXPECT_EQ(r.devices, 1);
}

TEST(Check, AFailedReadingIsUnknownWithEveryLibraryLine)
{
    EXPECT_EQ(MonFormatCheckFailure(11, "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 0000001F\n"
                                        "FervLib (WIN32) - FervGetAllInfo: HBA SendReqToDriver Error: 0000000B\n"),
              "FERV UNKNOWN - cannot read the driver: No supported devices were detected. (11)\n"
              "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 0000001F\n"
              "FervLib (WIN32) - FervGetAllInfo: HBA SendReqToDriver Error: 0000000B\n");
    EXPECT_EQ(MonFormatCheckFailure(40, ""), "FERV UNKNOWN - cannot read the driver: status 40\n");
}

} // namespace
