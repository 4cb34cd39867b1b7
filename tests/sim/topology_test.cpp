// Topology sources: the example files, refusals of unfit files, the JSON
// round trip of a live model, and synthetic topologies at scale.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "sim_test_util.h"

namespace {

TEST(SimTopology, ExampleFilesLoadAndKeepTheirUnusualFeatures)
{
    SimModel small;
    std::string error;
    ASSERT_TRUE(SimLoadTopologyFile(FERV_SOURCE_DIR "/examples/topologies/small.json", &small, &error)) << error;
    EXPECT_EQ(small.paths.size(), 6u);
    EXPECT_EQ(small.params.logLevel, 0x0fu);

    SimModel odd;
    ASSERT_TRUE(SimLoadTopologyFile(FERV_SOURCE_DIR "/examples/topologies/unusual.json", &odd, &error)) << error;
    EXPECT_EQ(odd.layout.order, SIM_ORDER_REVERSE);
    EXPECT_GT(odd.paths[0].name.size(), 80u);
    EXPECT_EQ(StateOf(odd, "odd-unknown"), FERV_PATH_STATE_UNKNOWN);
    EXPECT_EQ(StateOf(odd, "odd-transition"), FERV_PATH_STATE_TRANSITION);
    EXPECT_EQ(StateOf(odd, "odd-down"), FERV_PATH_STATE_DOWN);
    EXPECT_EQ(StateOf(odd, "odd-disabled"), FERV_PATH_STATE_ADMIN);
    EXPECT_EQ(StateOf(odd, "odd-active"), FERV_PATH_STATE_UP_ACTIVE) << "\"active\" picks the active path";
    EXPECT_EQ(StateOf(odd, "odd-standby"), FERV_PATH_STATE_UP_STANDBY);
    EXPECT_EQ(odd.luns[0].loadBalancing, 2);
    EXPECT_EQ(odd.luns[1].pathingMode, 3u);

    // A forced state lasts until the fabric reports on the path.
    SimSetLink(&odd, PathIndex(odd, "odd-unknown"), true);
    EXPECT_EQ(StateOf(odd, "odd-unknown"), FERV_PATH_STATE_UP_STANDBY);
}

TEST(SimTopology, UnfitFilesAreRefusedWithTheirPlace)
{
    struct Case {
        const char *text;
        const char *message;
    } cases[] = {
        {"{", "not valid JSON"},
        {"[]", "must be a JSON object"},
        {R"({"devices":[]})", "\"hbas\" must be a list"},
        {R"({"hbas":[{"name":"h"},{"name":"h"}],"devices":[]})", "a second HBA named h"},
        {R"({"hbas":[],"devices":[{"name":"d","wwn":"12"}]})", "devices[0]: \"wwn\" must be 32"},
        {R"({"hbas":[],"devices":[{"name":"d","wwn":"11111111111111111111111111111111"},
                                 {"name":"e","wwn":"11111111111111111111111111111111"}]})",
         "two devices share"},
        {R"({"hbas":[],"devices":[{"name":"d","wwn":"11111111111111111111111111111111","luns":[
             {"name":"l","wwn":"22222222222222222222222222222222","paths":[{"name":"p","hba":"nope"}]}]}]})",
         "devices[0].luns[0].paths[0]: no HBA named nope"},
        {R"({"parameters":{"pollRate":1},"hbas":[],"devices":[]})", "pollRate must lie from 2 to 60"},
        {R"({"parameters":{"logLevel":"0xzz"},"hbas":[],"devices":[]})",
         "parameters.logLevel: must be a number from 0 to 4294967295, not \"0xzz\""},
        {R"({"layout":{"order":"sideways"},"hbas":[],"devices":[]})", "order must be"},
        {R"({"layout":{"hbaRecordSize":6},"hbas":[],"devices":[]})", "multiple of 4"},
    };
    for (const Case &c : cases) {
        SimModel m;
        std::string error;
        EXPECT_FALSE(SimLoadTopologyText(c.text, &m, &error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << "got: " << error;
    }
    SimModel m;
    std::string error;
    EXPECT_FALSE(SimLoadTopologyFile("/nonexistent/topology.json", &m, &error));
}

// Numbers wrapped and WWPNs were cut or padded where they should have been
// refused: each refusal names the field and what was written there.
TEST(SimTopology, NumbersAndWwpnsAreReadStrictly)
{
    auto lun = [](const std::string &fields) {
        return R"({"hbas":[{"name":"h"}],"devices":[{"name":"d","wwn":"11111111111111111111111111111111",
                   "luns":[{"name":"l","wwn":"22222222222222222222222222222222",)" +
               fields + R"(}]}]})";
    };
    auto params = [](const std::string &fields) {
        return R"({"parameters":{)" + fields + R"(},"hbas":[],"devices":[]})";
    };
    auto hba = [](const std::string &wwpn) {
        return R"({"hbas":[{"name":"h","wwpn":)" + wwpn + R"(}],"devices":[]})";
    };
    const std::string range = ": must be a number from 0 to 4294967295, not ";
    struct Case {
        std::string text;
        std::string message;
    } refused[] = {
        {lun(R"("ioRate":-1)"), "devices[0].luns[0].ioRate" + range + "-1"},
        {lun(R"("pathingMode":-2)"), "devices[0].luns[0].pathingMode" + range + "-2"},
        {lun(R"("paths":[{"name":"p","hba":"h","counters":{"ioErrors":-5}}])"),
         "devices[0].luns[0].paths[0].counters.ioErrors" + range + "-5"},
        {lun(R"("paths":[{"name":"p","hba":"h","flags":"-4"}])"),
         "devices[0].luns[0].paths[0].flags" + range + "\"-4\""},
        {params(R"("logLevel":-1)"), "parameters.logLevel" + range + "-1"},
        {params(R"("paramT":4294967296)"), "parameters.paramT" + range + "4294967296"},
        {params(R"("paramR":18446744073709551615)"), "parameters.paramR" + range + "18446744073709551615"},
        {params(R"("paramD":1.5)"), "parameters.paramD" + range + "1.5"},
        {params(R"("logLevel":" 7")"), "parameters.logLevel" + range + "\" 7\""},
        {params(R"("logLevel":"+7")"), "parameters.logLevel" + range + "\"+7\""},
        {params(R"("pollRate":-5)"), "parameters: pollRate must lie from 2 to 60"},
        {params(R"("driverVersion":[1,2,3,"2147483648"])"),
         "parameters.driverVersion[3]: must be a number from -2147483648 to 2147483647, not \"2147483648\""},
        {hba(R"("zzzzzzzzzzzzzzzz")"), "hbas[0]: \"wwpn\" must be 16 hexadecimal digits, not \"zzzzzzzzzzzzzzzz\""},
        {hba('"' + std::string(200, '1') + '"'), "hbas[0]: \"wwpn\" must be 16 hexadecimal digits"},
        {hba(R"("2100000a1f3a1b")"), "hbas[0]: \"wwpn\" must be 16 hexadecimal digits"},
        {hba(R"("")"), "hbas[0]: \"wwpn\" must be 16 hexadecimal digits"},
    };
    for (const Case &c : refused) {
        SimModel m;
        std::string error;
        EXPECT_FALSE(SimLoadTopologyText(c.text, &m, &error)) << c.text;
        EXPECT_EQ(error.substr(0, c.message.size()), c.message) << c.text; // long values are cut
    }

    // What is meant stays accepted: texts in decimal or 0x, the top of the
    // range, signed version words, WWPNs with separators.
    SimModel m;
    std::string error;
    ASSERT_TRUE(SimLoadTopologyText(params(R"("logLevel":"0x1f","paramT":4294967295,"paramR":"31",
                                               "driverVersion":[-1,0,"-2147483648","0x7fffffff"])"),
                                    &m, &error))
        << error;
    EXPECT_EQ(m.params.logLevel, 0x1fu);
    EXPECT_EQ(m.params.paramT, 4294967295u);
    EXPECT_EQ(m.params.paramR, 31u);
    EXPECT_EQ(m.params.driverVersion[0], -1);
    EXPECT_EQ(m.params.driverVersion[2], INT32_MIN);
    EXPECT_EQ(m.params.driverVersion[3], INT32_MAX);
    SimModel w;
    ASSERT_TRUE(SimLoadTopologyText(hba(R"("21:00:00:0a:1f:3a:1b:0C")"), &w, &error)) << error;
    const uint8_t wwpn[8] = {0x21, 0x00, 0x00, 0x0a, 0x1f, 0x3a, 0x1b, 0x0c};
    EXPECT_EQ(memcmp(w.hbas[0].wwpn, wwpn, 8), 0);
}

// Each part of a synthetic shape is checked on its own, with its own limit
// in the message; a shape of millions of LUNs without paths was once taken
// and ran the emulator out of memory.
TEST(SimTopology, GeneratedShapesNameWhatIsWrong)
{
    struct Case {
        const char *shape;
        const char *message;
    } cases[] = {
        {"", "--generate wants DEVICES:LUNS:PATHS, e.g. 100:100:10, not ''"},
        {" 1:1:1", "--generate wants DEVICES:LUNS:PATHS, e.g. 100:100:10, not ' 1:1:1'"},
        {"1:+1:1", "--generate wants DEVICES:LUNS:PATHS, e.g. 100:100:10, not '1:+1:1'"},
        {"1:1", "--generate wants DEVICES:LUNS:PATHS, e.g. 100:100:10, not '1:1'"},
        {"1:1:1:1", "--generate wants DEVICES:LUNS:PATHS, e.g. 100:100:10, not '1:1:1:1'"},
        {"1:1:", "--generate wants DEVICES:LUNS:PATHS, e.g. 100:100:10, not '1:1:'"},
        {"100001:1:1", "--generate: at most 100000 devices, not 100001"},
        {"1:100001:1", "--generate: at most 100000 LUNs per device, not 100001"},
        {"1:1:2000000", "--generate: at most 64 paths per LUN, not 2000000"},
        {"100000:100000:0", "--generate: at most 2000000 LUNs in all, not 10000000000"},
        {"2000:1000:2", "--generate: at most 2000000 paths in all, not 4000000"},
    };
    for (const Case &c : cases) {
        SimModel m;
        std::string error;
        EXPECT_FALSE(SimGenerateTopology(c.shape, &m, &error)) << c.shape;
        EXPECT_EQ(error, c.message);
        EXPECT_TRUE(m.paths.empty() && m.luns.empty()) << "nothing made";
    }
    SimModel m;
    std::string error;
    EXPECT_TRUE(SimGenerateTopology("2:3:0", &m, &error)) << error;
    EXPECT_EQ(m.luns.size(), 6u);
}

TEST(SimTopology, LiveModelWritesOutAndLoadsBackTheSame)
{
    SimModel m;
    std::string error;
    ASSERT_TRUE(SimLoadDefaultTopology(&m, &error)) << error;
    SimSetLink(&m, PathIndex(m, "hba0-t0-lun0"), false);
    SimPathCommand(&m, PathIndex(m, "hba1-t3-lun0"), FERV_PATH_CMD_DISABLE);
    m.paths[3].counters = {1, 2, 0, 4}; // a standby path has nothing in flight
    m.params.pollRate = 17;
    SimTakeChange(&m);
    std::string first = SimTopologyJson(m);

    SimModel back;
    ASSERT_TRUE(SimLoadTopologyText(first, &back, &error)) << error;
    back.changeCounter = m.changeCounter;
    EXPECT_TRUE(SimTopologyJson(back) == first) << "the reloaded model differs";
}

TEST(SimTopology, DefaultTopologyReadsLikeASmallSan)
{
    SimModel m;
    std::string error;
    ASSERT_TRUE(SimLoadDefaultTopology(&m, &error)) << error;
    EXPECT_EQ(m.hbas.size(), 2u);
    EXPECT_EQ(m.devices.size(), 2u);
    for (const SimLun &l : m.luns) {
        int preferred = 0, active = 0;
        std::set<int> hbas;
        for (int pi : l.paths) {
            preferred += m.paths[(size_t)pi].preferred;
            active += m.paths[(size_t)pi].active;
            hbas.insert(m.paths[(size_t)pi].hba);
        }
        EXPECT_EQ(l.paths.size(), 4u) << l.name;
        EXPECT_EQ(preferred, 1) << l.name;
        EXPECT_EQ(hbas.size(), 2u) << l.name << ": paths over both HBAs";
        EXPECT_GE(active, 1) << l.name;
    }
}

TEST(SimTopology, GeneratedTopologyOf100000PathsLoadsAndRepliesQuickly)
{
    auto t0 = std::chrono::steady_clock::now();
    SimModel m;
    std::string error;
    ASSERT_TRUE(SimGenerateTopology("100:100:10", &m, &error)) << error;
    ASSERT_EQ(m.paths.size(), 100000u);
    std::vector<uint8_t> req = Buffer(4096);
    SimReply r = Send(&m, IOCTL_FERV_GET_ALL_DEVICES, req);
    ASSERT_EQ(StatusOf(r), FERV_STATUS_BUFFER_TOO_SMALL);
    uint32_t need = FervLoad32(r.data.data() + FERV_ALL_SIZE);
    EXPECT_EQ(need, 16u + 100 * 428u + 10000 * 132u + 100000 * 364u + 100 * 32u);
    r = Send(&m, IOCTL_FERV_GET_ALL_DEVICES, Buffer(need));
    EXPECT_EQ(StatusOf(r), FERV_STATUS_SUCCESS);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // Well under a second in an optimised build; the bound only catches
    // work that grows faster than the topology, even under sanitizers.
    EXPECT_LT(seconds, 10.0);
}

} // namespace
