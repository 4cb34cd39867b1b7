// Replies built from the model: bytes at their offsets, self-relative links
// that hold together in every record order, "buffer too small" sizes,
// requests too small for their layout, waits and scripted faults, and the
// records kept from one change of the model to the next.
#include <gtest/gtest.h>

#include <set>

#include "sim/records.h"
#include "sim_test_util.h"

namespace {

// Follows a link inside [lo, hi) and fails the test on anything else.
static size_t Follow(const std::vector<uint8_t> &b, size_t rec, size_t linkAt, size_t lo, size_t hi, size_t recSize)
{
    int32_t link = FervLoadS32(b.data() + rec + linkAt);
    if (link == 0)
        return 0;
    int64_t to = (int64_t)rec + link;
    EXPECT_GE(to, (int64_t)lo);
    EXPECT_LE(to + (int64_t)recSize, (int64_t)hi);
    if (to < (int64_t)lo || to + (int64_t)recSize > (int64_t)hi)
        return 0;
    return (size_t)to;
}

struct Walk {
    std::vector<std::string> paths; // in list order
    int negativeLinks = 0;
    int devices = 0;
    int luns = 0;
    int secondary = 0;
};

static void Count(const std::vector<uint8_t> &b, size_t rec, size_t at, Walk *w)
{
    if (FervLoadS32(b.data() + rec + at) < 0)
        w->negativeLinks++;
}

// Walks a device list the way the library does, checking every count and span.
static Walk WalkDevices(const std::vector<uint8_t> &b, size_t first, size_t lo, size_t hi, int count)
{
    Walk w;
    std::set<size_t> seen;
    size_t d = first;
    for (int i = 0; i < count; i++) {
        EXPECT_NE(d, 0u) << "device list shorter than its count";
        if (!d)
            break;
        EXPECT_TRUE(seen.insert(d).second) << "record reached twice";
        w.devices++;
        int lunCount = FervLoadS32(b.data() + d + WIRE_DEVICE_LUN_COUNT);
        size_t l = Follow(b, d, WIRE_DEVICE_LUN_LIST, lo, hi, WIRE_LUN_RECORD_SIZE);
        Count(b, d, WIRE_DEVICE_LUN_LIST, &w);
        for (int j = 0; j < lunCount; j++) {
            EXPECT_NE(l, 0u);
            if (!l)
                break;
            EXPECT_TRUE(seen.insert(l).second);
            w.luns++;
            int pathCount = FervLoadS32(b.data() + l + WIRE_LUN_PATH_COUNT);
            size_t p = Follow(b, l, WIRE_LUN_PATH_LIST, lo, hi, WIRE_PATH_RECORD_SIZE);
            Count(b, l, WIRE_LUN_PATH_LIST, &w);
            for (int k = 0; k < pathCount; k++) {
                EXPECT_NE(p, 0u);
                if (!p)
                    break;
                EXPECT_TRUE(seen.insert(p).second);
                w.paths.push_back(std::string((const char *)b.data() + p + WIRE_PATH_NAME,
                                              strnlen((const char *)b.data() + p + WIRE_PATH_NAME, 80)));
                Count(b, p, WIRE_REC_NEXT, &w);
                p = Follow(b, p, WIRE_REC_NEXT, lo, hi, WIRE_PATH_RECORD_SIZE);
            }
            EXPECT_EQ(p, 0u) << "path list longer than its count";
            Count(b, l, WIRE_REC_NEXT, &w);
            l = Follow(b, l, WIRE_REC_NEXT, lo, hi, WIRE_LUN_RECORD_SIZE);
        }
        EXPECT_EQ(l, 0u) << "LUN list longer than its count";
        int secCount = FervLoadS32(b.data() + d + WIRE_DEVICE_SECONDARY_COUNT);
        size_t s = Follow(b, d, WIRE_DEVICE_SECONDARY_LIST, lo, hi, 4);
        for (int j = 0; j < secCount && s; j++) {
            EXPECT_TRUE(seen.insert(s).second);
            w.secondary++;
            s = Follow(b, s, WIRE_REC_NEXT, lo, hi, 4);
        }
        EXPECT_EQ(s, 0u);
        Count(b, d, WIRE_REC_NEXT, &w);
        d = Follow(b, d, WIRE_REC_NEXT, lo, hi, WIRE_DEVICE_RECORD_SIZE);
    }
    EXPECT_EQ(d, 0u) << "device list longer than its count";
    return w;
}

static std::vector<std::string> ModelPathOrder(const SimModel &m)
{
    std::vector<std::string> v;
    for (const SimDevice &d : m.devices)
        for (int li : d.luns)
            for (int pi : m.luns[(size_t)li].paths)
                v.push_back(SimPathKey(m.paths[(size_t)pi].name));
    return v;
}

// Asks like the library: 4096 bytes, then exactly the size named on 21.
static SimReply AskGrowing(SimModel *m, uint32_t code, std::vector<uint8_t> req, uint32_t sizeAt, int *rounds)
{
    SimReply r;
    for (*rounds = 1; *rounds < 5; (*rounds)++) {
        FervStore32(req.data() + sizeAt, (uint32_t)req.size());
        r = Send(m, code, req);
        if (StatusOf(r) != FERV_STATUS_BUFFER_TOO_SMALL)
            return r;
        uint32_t need = FervLoad32(r.data.data() + sizeAt);
        EXPECT_GT(need, req.size()) << "a 21 must ask for more than was sent";
        std::vector<uint8_t> bigger(need, 0);
        memcpy(bigger.data(), req.data(), std::min<size_t>(req.size(), 20)); // key and status
        req = bigger;
    }
    return r;
}

TEST(SimReplies, AllDevicesInEveryRecordOrderWalkLikeTheModel)
{
    for (SimRecordOrder order : {SIM_ORDER_DEPTH_FIRST, SIM_ORDER_BREADTH_FIRST, SIM_ORDER_REVERSE}) {
        SimModel m;
        std::string error;
        ASSERT_TRUE(SimGenerateTopology("3:4:5", &m, &error)) << error;
        m.layout.order = order;
        int rounds = 0;
        SimReply r = AskGrowing(&m, IOCTL_FERV_GET_ALL_DEVICES, Buffer(4096), WIRE_ALL_SIZE, &rounds);
        ASSERT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
        EXPECT_EQ(rounds, 2) << "60 paths do not fit in 4096 bytes: one 21, then the exact size";
        uint32_t len = FervLoad32(r.data.data() + WIRE_ALL_DATA_LENGTH);
        EXPECT_EQ(r.data.size(), WIRE_ALL_DATA + len) << "the named size is exactly what the data needs";
        EXPECT_EQ(FervLoad32(r.data.data() + WIRE_ALL_COUNT), 3u);
        Walk w = WalkDevices(r.data, WIRE_ALL_DATA, WIRE_ALL_DATA, WIRE_ALL_DATA + len, 3);
        EXPECT_EQ(w.paths, ModelPathOrder(m)) << "order " << order;
        EXPECT_EQ(w.luns, 12);
        EXPECT_EQ(w.secondary, 3);
        if (order == SIM_ORDER_REVERSE)
            EXPECT_GT(w.negativeLinks, 60) << "reverse placement must produce backward links";
        else
            EXPECT_EQ(w.negativeLinks, 0);
    }
}

TEST(SimReplies, DeviceRecordFieldsAtTheirOffsets)
{
    SimModel m;
    std::string error;
    ASSERT_TRUE(SimLoadDefaultTopology(&m, &error)) << error;
    std::vector<uint8_t> req = KeyRequest(4096, m.devices[1].wwn);
    int rounds = 0;
    SimReply r = AskGrowing(&m, IOCTL_FERV_GET_DEVICE_INFO, req, WIRE_DEV_SIZE, &rounds);
    ASSERT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
    const uint8_t *d = r.data.data() + WIRE_DEV_DATA;
    EXPECT_STREQ((const char *)d + WIRE_DEVICE_NAME, m.devices[1].name.c_str());
    EXPECT_STREQ((const char *)d + WIRE_DEVICE_SERIAL, m.devices[1].serial.c_str());
    EXPECT_STREQ((const char *)d + WIRE_DEVICE_IP, m.devices[1].ip.c_str());
    EXPECT_STREQ((const char *)d + WIRE_DEVICE_FIRMWARE, m.devices[1].firmware.c_str());
    EXPECT_EQ(memcmp(d + WIRE_DEVICE_WWN, m.devices[1].wwn, 16), 0);
    EXPECT_EQ(FervLoad32(d + WIRE_REC_NEXT), 0u) << "one device, no next";
    EXPECT_EQ(FervLoad32(d + WIRE_DEVICE_LUN_COUNT), 3u);
    uint32_t len = FervLoad32(r.data.data() + WIRE_DEV_DATA_LENGTH);
    Walk w = WalkDevices(r.data, WIRE_DEV_DATA, WIRE_DEV_DATA, WIRE_DEV_DATA + len, 1);
    EXPECT_EQ(w.paths.size(), 12u);

    // A LUN record and its first path record of the same reply.
    size_t lun = WIRE_DEV_DATA + FervLoad32(d + WIRE_DEVICE_LUN_LIST);
    const uint8_t *l = r.data.data() + lun;
    const SimLun &ml = m.luns[(size_t)m.devices[1].luns[0]];
    EXPECT_EQ(memcmp(l + WIRE_LUN_WWN, ml.wwn, 16), 0);
    EXPECT_STREQ((const char *)l + WIRE_LUN_NAME, ml.name.c_str());
    EXPECT_EQ(FervLoad32(l + WIRE_LUN_PATHING_MODE), ml.pathingMode);
    EXPECT_EQ(l[WIRE_LUN_LOAD_BALANCING], ml.loadBalancing);
    const uint8_t *p = l + FervLoadS32(l + WIRE_LUN_PATH_LIST);
    const SimPath &mp = m.paths[(size_t)ml.paths[0]];
    EXPECT_STREQ((const char *)p + WIRE_PATH_NAME, mp.name.c_str());
    EXPECT_EQ(p[WIRE_PATH_STATE], mp.state);
    EXPECT_EQ(FervLoad32(p + WIRE_PATH_FLAGS), mp.preferred ? FERV_PATH_FLAG_PREFERRED : 0u);
    EXPECT_STREQ((const char *)p + WIRE_PATH_HBA_NAME, m.hbas[(size_t)mp.hba].name.c_str());

    uint8_t unknown[16] = {0xee};
    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_GET_DEVICE_INFO, KeyRequest(4096, unknown))),
              FERV_STATUS_DEVICE_NOT_FOUND);
}

TEST(SimReplies, HbaListCountsAndSizes)
{
    SimModel m;
    std::string error;
    ASSERT_TRUE(SimGenerateTopology("1:1:1", &m, &error));
    m.layout.hbaRecordSize = 1100; // four records do not fit in 4096 bytes
    std::vector<uint8_t> req = Buffer(4096);
    FervStore32(req.data() + WIRE_ALL_SIZE, 4096);
    SimReply r = Send(&m, IOCTL_FERV_GET_ALL_HBAS, req);
    EXPECT_EQ(StatusOf(r), FERV_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(FervLoad32(r.data.data() + WIRE_ALL_SIZE), 16u + 4400u);
    EXPECT_EQ(FervLoad32(r.data.data() + WIRE_ALL_COUNT), 4u) << "the count goes out with 21 too";

    m.layout.hbaRecordSize = 96;
    r = Send(&m, IOCTL_FERV_GET_ALL_HBAS, req);
    ASSERT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
    EXPECT_EQ(FervLoad32(r.data.data() + WIRE_ALL_DATA_LENGTH), 4u * 96u);
    size_t rec = WIRE_ALL_DATA;
    int n = 1;
    while (int32_t link = FervLoadS32(r.data.data() + rec)) {
        rec += link;
        n++;
    }
    EXPECT_EQ(n, 4);
    EXPECT_EQ(r.data.size(), 4096u) << "a METHOD_BUFFERED reply carries the whole buffer";
}

// 64 devices of 1024 secondary entries of 64 KiB are exactly 4 GiB of
// records: a size that wraps in 32 bits would pass for a small reply.
TEST(SimReplies, ADeviceListOfFourGibibytesIsTooLargeNotSmall)
{
    SimModel m;
    std::string error;
    ASSERT_TRUE(SimGenerateTopology("64:1:1", &m, &error)) << error;
    m.layout.secondaryRecordSize = 65536;
    for (SimDevice &d : m.devices)
        d.secondaryCount = 1024;
    std::vector<uint8_t> req = Buffer(1 << 20);
    FervStore32(req.data() + FERV_ALL_SIZE, 1 << 20);
    SimReply r = Send(&m, IOCTL_FERV_GET_ALL_DEVICES, req);
    EXPECT_EQ(StatusOf(r), FERV_STATUS_NO_MEMORY);
    EXPECT_EQ(r.data.size(), req.size()) << "nothing is written past the caller's buffer";
}

TEST(SimReplies, LunReplyPutsTheFirstPathLowestInEveryOrder)
{
    for (SimRecordOrder order : {SIM_ORDER_DEPTH_FIRST, SIM_ORDER_REVERSE}) {
        SimModel m;
        std::string error;
        ASSERT_TRUE(SimGenerateTopology("1:1:12", &m, &error));
        m.layout.order = order;
        int rounds = 0;
        SimReply r =
            AskGrowing(&m, IOCTL_FERV_GET_LUN_INFO, KeyRequest(4096, m.luns[0].wwn), WIRE_LUNQ_SIZE, &rounds);
        ASSERT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
        EXPECT_EQ(rounds, 2);
        EXPECT_EQ(r.data.size(), (size_t)WIRE_LUNQ_LUN + WIRE_LUN_RECORD_SIZE + 12 * WIRE_PATH_RECORD_SIZE);
        const size_t lun = WIRE_LUNQ_LUN;
        size_t first = lun + FervLoadS32(r.data.data() + lun + WIRE_LUN_PATH_LIST);
        EXPECT_EQ(first, lun + WIRE_LUN_RECORD_SIZE);
        size_t p = first;
        std::vector<std::string> names;
        for (int k = 0; k < 12 && p; k++) {
            EXPECT_GE(p, first) << "every path lies after the first";
            names.push_back((const char *)r.data.data() + p + WIRE_PATH_NAME);
            p = Follow(r.data, p, WIRE_REC_NEXT, first, r.data.size(), WIRE_PATH_RECORD_SIZE);
        }
        EXPECT_EQ(p, 0u);
        ASSERT_EQ(names.size(), 12u);
        EXPECT_EQ(names[11], m.paths[11].name);
    }
    SimModel m = LoadText(OneLunTopology());
    uint8_t unknown[16] = {0};
    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_GET_LUN_INFO, KeyRequest(4096, unknown))), FERV_STATUS_LUN_NOT_FOUND);
}

TEST(SimReplies, LongPathNamesMatchOnTheirFirst80Characters)
{
    std::string longName(100, 'x');
    longName[79] = 'E';
    std::string text = R"({"hbas":[{"name":"h0"}],"devices":[{"name":"a","wwn":"11111111111111111111111111111111",
        "luns":[{"name":"l","wwn":"22222222222222222222222222222222","paths":[{"name":")" +
                       longName + R"(","hba":"h0"},{"name":"short","hba":"h0"}]}]}]})";
    SimModel m = LoadText(text);
    ASSERT_EQ(m.paths.size(), 2u);
    SimReply r = Send(&m, IOCTL_FERV_GET_PATH_INFO, PathRequest(4096, longName.c_str()));
    ASSERT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
    const uint8_t *rec = r.data.data() + WIRE_PATHQ_PATH;
    EXPECT_EQ(std::string((const char *)rec + WIRE_PATH_NAME, 80), longName.substr(0, 80));
    EXPECT_EQ(rec[WIRE_PATH_NAME + 80], 0) << "byte 80 of the name field stays zero";
    EXPECT_EQ(rec[WIRE_PATH_STATE], FERV_PATH_STATE_UP_ACTIVE);

    // Two paths that agree on their first 80 characters cannot be told apart.
    std::string twin = R"({"hbas":[{"name":"h0"}],"devices":[{"name":"a","wwn":"11111111111111111111111111111111",
        "luns":[{"name":"l","wwn":"22222222222222222222222222222222","paths":[{"name":")" +
                       longName + R"(1","hba":"h0"},{"name":")" + longName + R"(2","hba":"h0"}]}]}]})";
    SimModel bad;
    std::string error;
    EXPECT_FALSE(SimLoadTopologyText(twin, &bad, &error));
    EXPECT_NE(error.find("first 80"), std::string::npos) << error;
}

TEST(SimReplies, FixedRequestsCarryTheirFieldsAndKeepTheRest)
{
    SimModel m = LoadText(OneLunTopology());
    SimReply r = Send(&m, IOCTL_FERV_GET_PUBLIC_PARAMETERS, Buffer(32));
    ASSERT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
    EXPECT_EQ(FervLoadS32(r.data.data() + 4), m.params.pollRate);
    EXPECT_EQ(FervLoadS32(r.data.data() + 8), m.params.autoFailBack);
    EXPECT_EQ(FervLoad32(r.data.data() + 12), m.params.logLevel);
    EXPECT_EQ(FervLoadS32(r.data.data() + 28), m.params.driverVersion[3]);

    std::vector<uint8_t> set = Buffer(32);
    uint32_t words[7] = {61, FERV_PARAM_UNCHANGED, FERV_PARAM_UNCHANGED, 0, 0, 0, 0};
    for (int i = 0; i < 7; i++)
        FervStore32(set.data() + 4 + 4 * i, words[i]);
    r = Send(&m, IOCTL_FERV_SET_PUBLIC_PARAMETERS, set);
    EXPECT_EQ(StatusOf(r), FERV_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(memcmp(r.data.data() + 4, set.data() + 4, 28), 0) << "reply keeps the bytes sent";

    std::vector<uint8_t> stats = PathRequest(104, "p0");
    m.paths[0].counters = {1, 2, 3, 4};
    r = Send(&m, IOCTL_FERV_GET_PATH_STATS, stats);
    ASSERT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
    ASSERT_EQ(r.data.size(), 104u);
    for (uint32_t i = 0; i < 4; i++)
        EXPECT_EQ(FervLoad32(r.data.data() + FERV_STATS_PATH + 4 * i), i + 1);
    EXPECT_STREQ((const char *)r.data.data() + 4, "p0");

    r = Send(&m, IOCTL_FERV_GET_LUN_STATS, KeyRequest(36, m.luns[0].wwn));
    ASSERT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
    EXPECT_EQ(FervLoad32(r.data.data() + FERV_STATS_LUN + 4), 2u);

    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_GET_PATH_STATS, PathRequest(104, "nope"))), FERV_STATUS_PATH_NOT_FOUND);
    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_ISSUE_PATH_CMD, PathRequest(88, "nope", 2, 85))),
              FERV_STATUS_PATH_NOT_FOUND);
    uint8_t unknown[16] = {9};
    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_ISSUE_LUN_CMD, KeyRequest(24, unknown, 1, 20))),
              FERV_STATUS_LUN_NOT_FOUND);
    r = Send(&m, IOCTL_FERV_ISSUE_DEVICE_CMD, KeyRequest(32, unknown, 1, 20));
    EXPECT_EQ(StatusOf(r), FERV_STATUS_DEVICE_NOT_FOUND);

    r = Send(&m, IOCTL_FERV_ISSUE_PATH_CMD, PathRequest(88, "p1", FERV_PATH_CMD_ACTIVATE, 85));
    EXPECT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
    r = Send(&m, IOCTL_FERV_ISSUE_DEVICE_CMD, KeyRequest(32, m.devices[0].wwn, 1, 20));
    EXPECT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
    EXPECT_EQ(FervLoadS32(r.data.data() + FERV_CMD_DEV_SUCCESSFUL), 1);
    EXPECT_EQ(FervLoadS32(r.data.data() + FERV_CMD_DEV_FAILED), 0);
}

TEST(SimReplies, RequestsTooSmallForTheirLayoutGetStatus1)
{
    static const uint32_t codes[] = {
        IOCTL_FERV_GET_ALL_HBAS,          IOCTL_FERV_GET_ALL_DEVICES,        IOCTL_FERV_GET_DEVICE_INFO,
        IOCTL_FERV_GET_LUN_INFO,          IOCTL_FERV_GET_PATH_INFO,          IOCTL_FERV_ISSUE_PATH_CMD,
        IOCTL_FERV_ISSUE_LUN_CMD,         IOCTL_FERV_ISSUE_DEVICE_CMD,       IOCTL_FERV_GET_PUBLIC_PARAMETERS,
        IOCTL_FERV_SET_PUBLIC_PARAMETERS, IOCTL_FERV_SET_PRIVATE_PARAMETERS, IOCTL_FERV_GET_PATH_STATS,
        IOCTL_FERV_GET_LUN_STATS,         IOCTL_FERV_WAIT_FOR_CHANGE};
    SimModel m = LoadText(OneLunTopology());
    for (uint32_t code : codes) {
        uint32_t minIn = 0, minOut = 0;
        ASSERT_TRUE(SimRequestMinimum(code, &minIn, &minOut));
        // Exactly sized vectors: the sanitizer build catches any read past them.
        SimReply r = Send(&m, code, Buffer(minIn - 1), nullptr, 4096);
        EXPECT_EQ(r.kind, SIM_REPLY_COMPLETE) << std::hex << code;
        EXPECT_EQ(StatusOf(r), FERV_STATUS_INVALID_PARAMETER) << std::hex << code;
        r = Send(&m, code, Buffer(minIn), nullptr, minOut - 1);
        EXPECT_EQ(StatusOf(r), FERV_STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_LE(r.data.size(), minOut - 1);
        r = Send(&m, code, Buffer(0), nullptr, 3);
        EXPECT_EQ(r.error, SIM_WIN32_INSUFFICIENT_BUFFER) << "no room for the status word";
        EXPECT_TRUE(r.data.empty());
    }
    SimReply r = Send(&m, 0x85002024, Buffer(32));
    EXPECT_EQ(r.error, SIM_WIN32_INVALID_FUNCTION) << "function 0x809 belongs to no request";
}

TEST(SimReplies, WaitHoldsForKnownKeysAndAnswersMissedOnesAtOnce)
{
    SimModel m = LoadText(OneLunTopology());
    std::vector<uint8_t> req = Buffer(8);
    FervStore32(req.data() + 4, 1);
    SimReply held = Send(&m, IOCTL_FERV_WAIT_FOR_CHANGE, req);
    EXPECT_EQ(held.kind, SIM_REPLY_PENDING);
    FervStore32(req.data() + 4, m.changeCounter);
    EXPECT_EQ(Send(&m, IOCTL_FERV_WAIT_FOR_CHANGE, req).kind, SIM_REPLY_PENDING);

    FervStore32(req.data() + 4, m.changeCounter + 5);
    SimReply now = Send(&m, IOCTL_FERV_WAIT_FOR_CHANGE, req);
    ASSERT_EQ(now.kind, SIM_REPLY_COMPLETE);
    EXPECT_EQ(StatusOf(now), FERV_STATUS_SUCCESS);
    EXPECT_EQ(FervLoad32(now.data.data() + 4), m.changeCounter);

    SimSetLink(&m, 1, false);
    ASSERT_TRUE(SimTakeChange(&m));
    FervStore32(req.data() + 4, 1);
    SimRequest q = {IOCTL_FERV_WAIT_FOR_CHANGE, req.data(), 8, 8};
    SimReply done;
    SimReleaseHeld(&m, q, held, &done);
    EXPECT_EQ(done.kind, SIM_REPLY_COMPLETE);
    EXPECT_EQ(StatusOf(done), FERV_STATUS_SUCCESS);
    EXPECT_EQ(FervLoad32(done.data.data() + 4), m.changeCounter);
}

TEST(SimReplies, ScriptedAnswersAndTooSmallRounds)
{
    SimModel m = LoadText(OneLunTopology());
    SimFaults f;
    SimFaultsInit(&f, 3);

    // A scripted failure does no work; a scripted 14 carries the real data.
    f.answers.push_back(SimAnswer{IOCTL_FERV_ISSUE_PATH_CMD, 1, false, false, FERV_STATUS_DEVICE_BUSY});
    SimReply r = Send(&m, IOCTL_FERV_ISSUE_PATH_CMD, PathRequest(88, "p1", FERV_PATH_CMD_ACTIVATE, 85), &f);
    EXPECT_EQ(StatusOf(r), FERV_STATUS_DEVICE_BUSY);
    EXPECT_EQ(StateOf(m, "p1"), FERV_PATH_STATE_UP_STANDBY);
    f.answers.push_back(SimAnswer{IOCTL_FERV_GET_PUBLIC_PARAMETERS, 2, false, false, FERV_STATUS_ALREADY_ACTIVE});
    for (int i = 0; i < 2; i++) {
        r = Send(&m, IOCTL_FERV_GET_PUBLIC_PARAMETERS, Buffer(32), &f);
        EXPECT_EQ(StatusOf(r), FERV_STATUS_ALREADY_ACTIVE);
        EXPECT_EQ(FervLoadS32(r.data.data() + 4), m.params.pollRate);
    }
    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_GET_PUBLIC_PARAMETERS, Buffer(32), &f)), FERV_STATUS_SUCCESS)
        << "the count runs out";

    f.answers.push_back(SimAnswer{IOCTL_FERV_GET_LUN_STATS, 1, true, false, 1167});
    r = Send(&m, IOCTL_FERV_GET_LUN_STATS, KeyRequest(36, m.luns[0].wwn), &f);
    EXPECT_EQ(r.error, 1167u);
    EXPECT_TRUE(r.data.empty());

    f.answers.push_back(SimAnswer{IOCTL_FERV_GET_PATH_INFO, 1, false, true, FERV_STATUS_SUCCESS});
    std::vector<uint8_t> pathReq = PathRequest(4096, "p2");
    SimReply held = Send(&m, IOCTL_FERV_GET_PATH_INFO, pathReq, &f);
    ASSERT_EQ(held.kind, SIM_REPLY_PENDING);
    EXPECT_TRUE(held.data.empty()) << "a held request carries nothing until it is released";
    SimRequest q = {IOCTL_FERV_GET_PATH_INFO, pathReq.data(), 4096, 4096};
    SimReleaseHeld(&m, q, held, &r);
    EXPECT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
    EXPECT_STREQ((const char *)r.data.data() + WIRE_PATHQ_PATH + WIRE_PATH_NAME, "p2");

    // A held success released onto a buffer too small for the reply: the
    // 21 and the size stand, so the client asks again.
    f.answers.push_back(SimAnswer{IOCTL_FERV_GET_ALL_DEVICES, 1, false, true, FERV_STATUS_SUCCESS});
    std::vector<uint8_t> small = Buffer(64);
    held = Send(&m, IOCTL_FERV_GET_ALL_DEVICES, small, &f);
    ASSERT_EQ(held.kind, SIM_REPLY_PENDING);
    q = {IOCTL_FERV_GET_ALL_DEVICES, small.data(), 64, 64};
    SimReleaseHeld(&m, q, held, &r);
    EXPECT_EQ(StatusOf(r), FERV_STATUS_BUFFER_TOO_SMALL);
    EXPECT_GT(FervLoad32(r.data.data() + WIRE_ALL_SIZE), 64u);

    f.tooSmall.push_back(SimTooSmall{IOCTL_FERV_GET_ALL_DEVICES, 2, 0});
    std::vector<uint8_t> all = Buffer(4096);
    r = Send(&m, IOCTL_FERV_GET_ALL_DEVICES, all, &f);
    EXPECT_EQ(StatusOf(r), FERV_STATUS_BUFFER_TOO_SMALL);
    EXPECT_GT(FervLoad32(r.data.data() + WIRE_ALL_SIZE), 4096u);
    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_GET_ALL_DEVICES, all, &f)), FERV_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_GET_ALL_DEVICES, all, &f)), FERV_STATUS_SUCCESS);

    // A scripted 14 never dresses up a reply that does not fit: the request
    // still gets 21, and the 14 goes to the next whole reply.
    f.answers.push_back(SimAnswer{IOCTL_FERV_GET_ALL_DEVICES, 1, false, false, FERV_STATUS_ALREADY_ACTIVE});
    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_GET_ALL_DEVICES, Buffer(64), &f)), FERV_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_GET_ALL_DEVICES, all, &f)), FERV_STATUS_ALREADY_ACTIVE);
    EXPECT_EQ(StatusOf(Send(&m, IOCTL_FERV_GET_ALL_DEVICES, all, &f)), FERV_STATUS_SUCCESS);
}

// A reply as the transport sends it: its stretches one after the other.
static std::vector<uint8_t> Joined(const SimReply &r)
{
    SimByteSpan spans[3];
    int n = SimReplySpans(r, spans);
    std::vector<uint8_t> bytes;
    for (int i = 0; i < n; i++)
        bytes.insert(bytes.end(), spans[i].bytes, spans[i].bytes + spans[i].size);
    EXPECT_EQ(bytes.size(), SimReplySize(r));
    return bytes;
}

// The request as the transport hands it over, the reply left in its pieces.
static SimReply Ask(SimModel *m, uint32_t code, const std::vector<uint8_t> &buf, SimFaults *f = nullptr)
{
    SimRequest q = {code, buf.data(), (uint32_t)buf.size(), (uint32_t)buf.size()};
    SimReply r;
    SimHandleRequest(m, f, q, &r);
    return r;
}

static std::vector<uint8_t> SizedRequest(uint32_t size)
{
    std::vector<uint8_t> req = Buffer(size);
    FervStore32(req.data() + WIRE_ALL_SIZE, size);
    return req;
}

// The state byte of the first path record of an all-device reply in
// depth-first order: device, first LUN, first path.
static uint8_t FirstPathState(const std::vector<uint8_t> &reply)
{
    return reply[WIRE_ALL_DATA + WIRE_DEVICE_RECORD_SIZE + WIRE_LUN_RECORD_SIZE + WIRE_PATH_STATE];
}

TEST(SimReplies, TopologyRecordsAreEncodedOncePerChangeAndSharedUntilThen)
{
    SimModel m;
    std::string error;
    ASSERT_TRUE(SimGenerateTopology("2:3:4", &m, &error)) << error;

    // A buffer too small learns the size; nothing is encoded for it.
    SimReply small = Ask(&m, IOCTL_FERV_GET_ALL_DEVICES, SizedRequest(4096));
    ASSERT_EQ(FervLoad32(small.data.data()), FERV_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(m.encodings[SIM_ENCODED_ALL_DEVICES].records, nullptr);
    uint32_t need = FervLoad32(small.data.data() + WIRE_ALL_SIZE);

    std::vector<uint8_t> req = SizedRequest(need);
    SimReply first = Ask(&m, IOCTL_FERV_GET_ALL_DEVICES, req);
    SimReply again = Ask(&m, IOCTL_FERV_GET_ALL_DEVICES, req);
    ASSERT_NE(first.records, nullptr);
    EXPECT_EQ(again.records, first.records) << "no change: the same bytes are shared";
    EXPECT_EQ(first.data.size(), (size_t)WIRE_ALL_DATA) << "the reply's own bytes end where the records begin";
    const std::vector<uint8_t> before = Joined(first);
    ASSERT_EQ(before.size(), need);
    EXPECT_EQ(FirstPathState(before), FERV_PATH_STATE_UP_ACTIVE);

    // A change is seen at once, before its count has moved the counter, and
    // after.
    ASSERT_TRUE(SimSetLink(&m, m.luns[(size_t)m.devices[0].luns[0]].paths[0], false));
    SimReply pending = Ask(&m, IOCTL_FERV_GET_ALL_DEVICES, req);
    EXPECT_EQ(FirstPathState(Joined(pending)), FERV_PATH_STATE_DOWN);
    ASSERT_TRUE(SimTakeChange(&m));
    SimReply after = Ask(&m, IOCTL_FERV_GET_ALL_DEVICES, req);
    EXPECT_NE(after.records, first.records);
    EXPECT_EQ(Joined(after), Joined(pending));
    EXPECT_EQ(Ask(&m, IOCTL_FERV_GET_ALL_DEVICES, req).records, after.records);
    EXPECT_EQ(Joined(first), before) << "a reply still being sent keeps the bytes it was given";

    // Another layout places the records anew.
    m.layout.order = SIM_ORDER_REVERSE;
    SimReply reversed = Ask(&m, IOCTL_FERV_GET_ALL_DEVICES, req);
    EXPECT_NE(reversed.records, after.records);
    EXPECT_NE(Joined(reversed), Joined(after));

    // The keyed requests keep the records of the key they were asked for.
    for (int pass = 0; pass < 2; pass++) {
        for (size_t d = 0; d < m.devices.size(); d++) {
            SimReply r = Send(&m, IOCTL_FERV_GET_DEVICE_INFO, KeyRequest(need, m.devices[d].wwn));
            ASSERT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
            EXPECT_STREQ((const char *)r.data.data() + WIRE_DEV_DATA + WIRE_DEVICE_NAME, m.devices[d].name.c_str());
        }
        for (size_t l = 0; l < 2; l++) {
            SimReply r = Send(&m, IOCTL_FERV_GET_LUN_INFO, KeyRequest(4096, m.luns[l].wwn));
            ASSERT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
            EXPECT_STREQ((const char *)r.data.data() + WIRE_LUNQ_LUN + WIRE_LUN_NAME, m.luns[l].name.c_str());
        }
    }
}

TEST(SimReplies, TheCallersBytesBehindTheRecordsComeBackAsFarAsItsBuffer)
{
    SimModel m;
    std::string error;
    ASSERT_TRUE(SimGenerateTopology("1:2:3", &m, &error)) << error;
    uint32_t need = WIRE_ALL_DATA + (uint32_t)SimDeviceListSize(m, -1);
    std::vector<uint8_t> req(need + 100, 0xA5);
    memset(req.data(), 0, WIRE_ALL_DATA);
    FervStore32(req.data() + WIRE_ALL_SIZE, need + 100);
    SimRequest q = {IOCTL_FERV_GET_ALL_DEVICES, req.data(), need + 100, need + 60};
    SimReply r;
    SimHandleRequest(&m, nullptr, q, &r);
    std::vector<uint8_t> bytes = Joined(r);
    ASSERT_EQ(bytes.size(), need + 60u) << "no more than the caller's buffer";
    EXPECT_EQ(FervLoad32(bytes.data()), FERV_STATUS_SUCCESS);
    EXPECT_EQ(FervLoad32(bytes.data() + WIRE_ALL_DATA_LENGTH), need - WIRE_ALL_DATA);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + need, bytes.end()), std::vector<uint8_t>(60, 0xA5));
    SimReply flat = r;
    SimReplyFlatten(&flat);
    EXPECT_EQ(flat.data, bytes);
    EXPECT_EQ(flat.records, nullptr);
}

TEST(SimReplies, AGarbledReplyLeavesTheKeptRecordsWhole)
{
    SimModel m;
    std::string error;
    ASSERT_TRUE(SimGenerateTopology("1:2:3", &m, &error)) << error;
    SimFaults f;
    SimFaultsInit(&f, 3);
    std::vector<uint8_t> req = SizedRequest(WIRE_ALL_DATA + (uint32_t)SimDeviceListSize(m, -1));
    std::vector<uint8_t> whole = Joined(Ask(&m, IOCTL_FERV_GET_ALL_DEVICES, req));
    SimAnswer garble = {IOCTL_FERV_GET_ALL_DEVICES, 1, false, false, FERV_STATUS_SUCCESS};
    garble.garble = true;
    f.answers.push_back(garble);
    std::vector<uint8_t> garbled = Joined(Ask(&m, IOCTL_FERV_GET_ALL_DEVICES, req, &f));
    EXPECT_NE(garbled, whole);
    EXPECT_EQ(Joined(Ask(&m, IOCTL_FERV_GET_ALL_DEVICES, req, &f)), whole);
}

} // namespace
