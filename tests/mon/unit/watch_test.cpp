// The change log: the differences between two readings, in the order the
// log prints them, and the text and JSON lines made of them.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "mon/watch.h"
#include "tests/mon/unit/mon_records.h"

namespace {

// One array, LUN "a" with paths p0 (preferred), p1 and p2 in the states
// given, and LUN "b" with one active path.
void San(TestTopology *t, uint8_t p0, uint8_t p1, uint8_t p2)
{
    FervDevice *d = t->Device("array", 1);
    FervLun *a = t->Lun(d, "a", 1);
    t->Path(a, "p0", p0, true, "HBA0");
    t->Path(a, "p1", p1, false, "HBA1");
    t->Path(a, "p2", p2, false, "HBA1");
    t->Path(t->Lun(d, "b", 2), "q0", ACTIVE);
}

std::vector<MonEvent> Diff(const TestTopology &before, const TestTopology &after)
{
    std::vector<MonEvent> events;
    MonDiffTopology(&before.info, &after.info, &events);
    return events;
}

// The events as "<name> <path or LUN> <from>-><to>", one per entry.
std::vector<std::string> Names(const std::vector<MonEvent> &events)
{
    std::vector<std::string> names;
    for (const MonEvent &e : events) {
        std::string name = std::string(MonEventName(e.kind)) + " " + (e.path.empty() ? e.lun : e.path);
        if (e.kind == MON_EVENT_PATH_CHANGED)
            name += " " + MonPathStateText(e.from.state) + "->" + MonPathStateText(e.to.state);
        for (const std::string &p : e.activeFrom)
            name += " " + p;
        if (!e.activeFrom.empty() || !e.activeTo.empty())
            name += " ->";
        for (const std::string &p : e.activeTo)
            name += " " + p;
        names.push_back(name);
    }
    return names;
}

typedef std::vector<std::string> Lines;

TEST(Watch, EachMoveOfAnActivePathIsNamedByItsCause)
{
    TestTopology onPreferred, failedOver, backUp, failedBack, switched, lost, allBack, ontoPreferred;
    San(&onPreferred, ACTIVE, STANDBY, STANDBY);
    San(&failedOver, DOWN, ACTIVE, STANDBY);
    San(&backUp, STANDBY, ACTIVE, STANDBY);
    San(&failedBack, ACTIVE, STANDBY, STANDBY);
    San(&switched, ACTIVE, STANDBY, STANDBY);
    switched.paths[0].state = STANDBY;
    switched.paths[2].state = ACTIVE;
    San(&lost, DOWN, DOWN, ADMIN);
    San(&allBack, STANDBY, STANDBY, ACTIVE);
    San(&ontoPreferred, ACTIVE, DOWN, STANDBY);

    // A LUN's path lines come first, then the move they made.
    EXPECT_EQ(
        Names(Diff(onPreferred, failedOver)),
        (Lines{"path-changed p0 up_active->down", "path-changed p1 up_standby->up_active", "failover a p0 -> p1"}));
    EXPECT_EQ(Names(Diff(failedOver, backUp)), (Lines{"path-changed p0 down->up_standby"}));
    EXPECT_EQ(Names(Diff(backUp, failedBack)),
              (Lines{"path-changed p0 up_standby->up_active", "path-changed p1 up_active->up_standby",
                     "failback a p1 -> p0"}));
    EXPECT_EQ(Names(Diff(failedBack, switched)),
              (Lines{"path-changed p0 up_active->up_standby", "path-changed p2 up_standby->up_active",
                     "switch a p0 -> p2"}));
    // Off a path that went down onto the preferred one is still a failover.
    EXPECT_EQ(Names(Diff(backUp, ontoPreferred)).back(), "failover a p1 -> p0");
    EXPECT_EQ(Names(Diff(switched, lost)).back(), "active-lost a p2 ->");
    EXPECT_EQ(Names(Diff(lost, allBack)).back(), "active-restored a -> p2");
    EXPECT_TRUE(Diff(allBack, allBack).empty());
}

TEST(Watch, LoadBalancedPathsMoveAsOneSetAndOrderAlonesIsNoMove)
{
    TestTopology before, after, reordered;
    San(&before, ACTIVE, ACTIVE, ACTIVE);
    San(&after, DOWN, ACTIVE, ACTIVE);
    EXPECT_EQ(Names(Diff(before, after)),
              (Lines{"path-changed p0 up_active->down", "failover a p0 p1 p2 -> p1 p2"}));

    // The same paths listed the other way round: nothing moved.
    FervLun *a = reordered.Lun(reordered.Device("array", 1), "a", 1);
    reordered.Path(a, "p2", ACTIVE, false, "HBA1");
    reordered.Path(a, "p1", ACTIVE, false, "HBA1");
    reordered.Path(a, "p0", DOWN, true, "HBA0");
    reordered.Path(reordered.Lun(&reordered.devices[0], "b", 2), "q0", ACTIVE);
    EXPECT_TRUE(Diff(after, reordered).empty());
}

TEST(Watch, WhatAppearsAndVanishesIsReportedAtItsOwnLevelOnly)
{
    TestTopology before, after;
    San(&before, ACTIVE, STANDBY, STANDBY);
    before.Path(before.Lun(before.Device("old array", 2), "old", 3), "o0", ACTIVE);

    San(&after, ACTIVE, STANDBY, STANDBY);
    after.Path(after.Lun(after.Device("new array", 3), "new", 4), "n0", ACTIVE); // with its LUN and path
    FervLun *c = after.Lun(&after.devices[0], "c", 5);
    after.Path(c, "c0", ACTIVE);
    after.Path(c, "c1", STANDBY);
    // p2 gone, p3 new; LUN b gone from the array.
    SET_TEXT(after.paths[2].pathName, "p3");
    after.devices[0].lunList->next = c;
    after.devices[0].lunCount = 2;

    std::vector<MonEvent> events = Diff(before, after);
    EXPECT_EQ(Names(events), (Lines{"path-appeared p3", "path-vanished p2", "lun-appeared c", "lun-vanished b",
                                    "device-appeared ", "device-vanished "}));
    EXPECT_EQ(events[2].counts.paths, 2);
    EXPECT_EQ(events[4].device, "new array");
    EXPECT_EQ(events[4].counts.luns, 1);
    EXPECT_EQ(events[5].device, "old array");
}

TEST(Watch, TextLinesCarryTheTimeTheEventAndWhatChanged)
{
    TestTopology before, after;
    San(&before, ACTIVE, STANDBY, STANDBY);
    San(&after, DOWN, ACTIVE, STANDBY);
    after.paths[1].flags = FERV_PATH_FLAG_PREFERRED | 0x10;
    std::vector<MonEvent> events = Diff(before, after);
    ASSERT_EQ(events.size(), 3u);
    const std::string t = "2026-01-31T12:00:00.123Z";
    EXPECT_EQ(MonFormatEventText(events[0], t),
              t + " path-changed path p0 (HBA HBA0) of LUN a: state up_active -> down, enabled yes -> no, "
                  "active yes -> no\n");
    EXPECT_EQ(MonFormatEventText(events[1], t),
              t + " path-changed path p1 (HBA HBA1) of LUN a: state up_standby -> up_active, active no -> yes, "
                  "preferred no -> yes, flags 0x0 -> 0x14\n");
    EXPECT_EQ(MonFormatEventText(events[2], t),
              t + " failover LUN a (60100000000000000000000000000001) of device array: p0 -> p1\n");

    MonEvent lost = MonEvent();
    lost.kind = MON_EVENT_DRIVER_LOST;
    lost.reason = "FervLib (WIN32) - FervGetAllInfo: HBA SendReqToDriver Error: 0000000B\nforged line";
    EXPECT_EQ(
        MonFormatEventText(lost, t),
        t + " driver-lost FervLib (WIN32) - FervGetAllInfo: HBA SendReqToDriver Error: 0000000B?forged line\n");
}

TEST(Watch, JsonLinesAreWholeObjectsEvenForNamesThatAreNotUtf8)
{
    TestTopology before, after;
    San(&before, ACTIVE, STANDBY, STANDBY);
    San(&after, DOWN, ACTIVE, STANDBY);
    SET_TEXT(before.luns[0].lunName, "caf\xE9\n");
    SET_TEXT(after.luns[0].lunName, "caf\xE9\n");
    std::vector<MonEvent> events = Diff(before, after);
    ASSERT_EQ(events.size(), 3u);

    std::string line = MonFormatEventJson(events[0], "2026-01-31T12:00:00.123Z");
    ASSERT_EQ(line.find('\n'), line.size() - 1) << line;
    nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << line;
    EXPECT_EQ(json["time"], "2026-01-31T12:00:00.123Z");
    EXPECT_EQ(json["event"], "path-changed");
    EXPECT_EQ(json["lun"], "caf\xEF\xBF\xBD\n");
    EXPECT_EQ(json["lun_wwn"], "60100000000000000000000000000001");
    EXPECT_EQ(json["path"], "p0");
    EXPECT_EQ(json["from"]["state"], "up_active");
    EXPECT_EQ(json["to"]["state"], "down");
    EXPECT_EQ(json["to"]["enabled"], false);
    EXPECT_EQ(json["to"]["preferred"], true);

    json = nlohmann::json::parse(MonFormatEventJson(events[2], "t"), nullptr, false);
    EXPECT_EQ(json["event"], "failover");
    EXPECT_EQ(json["from"], nlohmann::json::array({"p0"}));
    EXPECT_EQ(json["to"], nlohmann::json::array({"p1"}));
}

} // namespace
