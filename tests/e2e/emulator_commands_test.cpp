// Parameter, action, statistics and wait commands of both programs against
// the emulator, each test with an emulator of its own: what a user sees, and
// that the emulator's model really changed.
#include <stdint.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

using namespace ferv_e2e;
using ferv_test::ProgramResult;

namespace {

const char kEast[] = "600a0b800011223344556677889900aa";
const char kNorth[] = "600a0b8000ffeedd00000000000000ff";
const char kDb[] = "600a0b80001122330000000000000001";
const char kUnknown[] = "600a0b8000000000000000000000dead";
const std::string kLongPath =
    "long-path-name-01234567890123456789012345678901234567890123456789012345678901234-tail";

class EmulatorCommands : public ::testing::TestWithParam<Program> {
protected:
    Emulator emulator;

    // --no-io keeps the counters still unless a test wants host I/O.
    void Start(const std::vector<std::string> &extra = {"--no-io"})
    {
        ASSERT_TRUE(emulator.Start(GoldenPath("san.json"), extra)) << emulator.Failure();
    }

    ProgramResult Run(const std::vector<std::string> &args) { return emulator.Run(GetParam(), args); }

    std::string Json() { return emulator.Ctl({"show", "--json"}).out; }
};

INSTANTIATE_TEST_SUITE_P(Programs, EmulatorCommands, ::testing::Values(kFervadm, kFervadmctl), ProgramName);

const std::string kOk = StatusLine(0);

TEST_P(EmulatorCommands, ParameterCommandsChangeTheDriversParameters)
{
    Start();
    EXPECT_TRUE(Ran(Run({"-P"}),
                    "Driver Public Parameters\n"
                    "  Driver Version: 3.1.4.15\n"
                    "  Auto FailBack: 0(off)\n"
                    "  Poll Rate:      5(seconds)\n"
                    "  Log Level:      0x07(data path changes  internal errors  critical errors  )\n",
                    0));
    EXPECT_TRUE(Ran(Run({"-P", "-p", "30"}), kOk, 0));
    EXPECT_TRUE(Ran(Run({"-P", "-a", "1"}), kOk, 0));
    EXPECT_TRUE(Ran(Run({"-P", "-l", "0"}), kOk, 0));
    EXPECT_TRUE(Ran(Run({"-P", "-p", "61"}), StatusLine(1), 1));
    EXPECT_TRUE(Ran(Run({"-P"}),
                    "Driver Public Parameters\n"
                    "  Driver Version: 3.1.4.15\n"
                    "  Auto FailBack: 1(on)\n"
                    "  Poll Rate:      30(seconds)\n"
                    "  Log Level:      0x00(none)\n",
                    0));
    // Bits above the five named ones show only in the number.
    EXPECT_TRUE(Ran(Run({"-P", "-l", "ffffffff"}), kOk, 0));
    EXPECT_TRUE(Ran(Run({"-P"}),
                    "Driver Public Parameters\n"
                    "  Driver Version: 3.1.4.15\n"
                    "  Auto FailBack: 1(on)\n"
                    "  Poll Rate:      30(seconds)\n"
                    "  Log Level:      0x7fffffff(data path changes  internal errors  critical errors  "
                    "informational messages  caution messages  )\n",
                    0));

    EXPECT_TRUE(Ran(Run({"-Z", "-t", "1f"}), kOk, 0));
    EXPECT_TRUE(Ran(Run({"-Z", "-r", "2"}), kOk, 0));
    EXPECT_TRUE(Ran(Run({"-Z", "-d", "0xff"}), kOk, 0));
    std::string json = Json();
    EXPECT_NE(json.find("\"paramT\": \"0x1f\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"paramR\": \"0x2\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"paramD\": \"0xff\""), std::string::npos) << json;
}

// The four counters of a statistics report, after checking its fixed lines.
struct Counters {
    bool ok = false;
    unsigned long hostRequests = 0, outstandingIo = 0, blocksTransferred = 0, ioErrors = 0;
};

Counters ReadStatistics(const ProgramResult &result, const std::string &firstTwoLines)
{
    Counters c;
    if (result.exitCode != 0 || !result.err.empty() ||
        result.out.compare(0, firstTwoLines.size(), firstTwoLines) != 0)
        return c;
    std::istringstream in(result.out.substr(firstTwoLines.size()));
    const char *const labels[] = {
        "  Host Requests:      ", "  Outstanding IO:     ", "  Blocks Transferred: ", "  IO Errors:          "};
    unsigned long *fields[] = {&c.hostRequests, &c.outstandingIo, &c.blocksTransferred, &c.ioErrors};
    std::string line;
    for (int i = 0; i < 4; i++) {
        if (!std::getline(in, line) || line.compare(0, 22, labels[i]) != 0)
            return c;
        std::string digits = line.substr(22);
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
            return c;
        *fields[i] = strtoul(digits.c_str(), nullptr, 10);
    }
    c.ok = !std::getline(in, line);
    return c;
}

// One failover taken through by hand, the way an administrator would.
TEST_P(EmulatorCommands, ALunFailsOverAndBackByHand)
{
    Start({"--seed", "7"}); // host I/O runs
    const std::string verbose = Golden("san_all_verbose.txt");
    const std::string initial = LunSection(verbose, "db");
    ASSERT_FALSE(initial.empty());
    EXPECT_TRUE(Ran(Run({"-l", kDb, "-v"}), initial, 0));

    // p-db-a carries the LUN already.
    EXPECT_TRUE(Ran(Run({"-p", "p-db-a", "-a"}), StatusLine(14), 14));

    // Disabling it moves the LUN to the standby path.
    EXPECT_TRUE(Ran(Run({"-p", "p-db-a", "-d"}), kOk, 0));
    EXPECT_TRUE(Ran(Run({"-l", kDb, "-v"}), Golden("story_db_disabled.txt"), 0));

    // A path whose link is down cannot be made active.
    EXPECT_TRUE(Ran(
        Run({"-p", "p-db-down", "-a"}),
        "FervLib (WIN32) - FervIssuePathCommand: IOCTL_FERV_ISSUE_PATH_CMD Error: 0000000F\n" + StatusLine(15), 15));

    // Enabled again, the preferred path stands by: auto failback is off.
    EXPECT_TRUE(Ran(Run({"-p", "p-db-a", "-e"}), kOk, 0));
    EXPECT_TRUE(Ran(Run({"-l", kDb, "-v"}), Golden("story_db_enabled.txt"), 0));

    // Restoring the preferred path brings the LUN back.
    EXPECT_TRUE(Ran(Run({"-l", kDb, "-r"}), kOk, 0));
    EXPECT_TRUE(Ran(Run({"-l", kDb, "-v"}), initial, 0));

    // A whole device: the LUN without paths has no preferred path to restore.
    EXPECT_TRUE(Ran(Run({"-d", kEast, "-r"}),
                    std::string(kEast) +
                        " FervLib (WIN32) - FervIssueDeviceCommand: IOCTL_FERV_ISSUE_DEVICE_CMD Error: 00000016\n"
                        "   Num Successful Operations: 2\n"
                        "   Num Failed Operations: 1\n" +
                        StatusLine(22),
                    22));
    EXPECT_TRUE(Ran(Run({"-d", kNorth, "-r"}), std::string(kNorth) + " " + kOk, 0));
    EXPECT_TRUE(Ran(Run({"-p", "path-name-twenty-five-chr", "-v"}),
                    std::string(kPathHead) +
                        "      path-name-twenty-five-chr hba-with-a-very-long-name-x yes     yes    \n"
                        "        state:up_active flags:0x104\n",
                    0));

    // The counters move while host I/O runs.
    const std::string pathHead = "Path Statistics\n  Path:               p-db-a\n";
    const std::string lunHead = std::string("LUN Statistics\n  LUN:               ") + kDb + " \n";
    Counters pathBefore = ReadStatistics(Run({"-p", "p-db-a", "-m"}), pathHead);
    Counters lunBefore = ReadStatistics(Run({"-l", kDb, "-m"}), lunHead);
    ASSERT_TRUE(pathBefore.ok);
    ASSERT_TRUE(lunBefore.ok);
    Counters pathAfter, lunAfter;
    EXPECT_TRUE(Eventually(
        [&] {
            pathAfter = ReadStatistics(Run({"-p", "p-db-a", "-m"}), pathHead);
            lunAfter = ReadStatistics(Run({"-l", kDb, "-m"}), lunHead);
            return pathAfter.ok && lunAfter.ok && pathAfter.hostRequests > pathBefore.hostRequests &&
                   lunAfter.hostRequests > lunBefore.hostRequests;
        },
        5000));
    EXPECT_GE(pathAfter.blocksTransferred, pathBefore.blocksTransferred);

    // A wait ends when the fabric drops the active path, which moves the LUN.
    auto waiting = ferv_e2e::Start(GetParam(), emulator.Root(), {"-S"});
    ASSERT_TRUE(Eventually([&] { return emulator.Held() == 1; }));
    EXPECT_TRUE(waiting->Running());
    EXPECT_EQ(emulator.Ctl({"link-down", "p-db-a"}).exitCode, 0);
    EXPECT_TRUE(Ran(waiting->Wait(10000), kOk, 0));
    EXPECT_TRUE(Ran(Run({"-l", kDb, "-v"}), Golden("story_db_link_down.txt"), 0));
}

TEST_P(EmulatorCommands, StatisticsReportsShowTheCountersAsTheyAre)
{
    Start();
    ASSERT_EQ(emulator.Ctl({"counter", "set", "p-db-b", "hostRequests", "4294967295"}).exitCode, 0);
    ASSERT_EQ(emulator.Ctl({"counter", "set", "p-db-b", "blocksTransferred", "7"}).exitCode, 0);
    ASSERT_EQ(emulator.Ctl({"counter", "set", "p-db-b", "ioErrors", "2"}).exitCode, 0);
    ASSERT_EQ(emulator.Ctl({"counter", "set", "p-db-a", "outstandingIo", "5"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-p", "p-db-b", "-m"}),
                    "Path Statistics\n"
                    "  Path:               p-db-b\n"
                    "  Host Requests:      4294967295\n"
                    "  Outstanding IO:     0\n"
                    "  Blocks Transferred: 7\n"
                    "  IO Errors:          2\n",
                    0));
    // The emulator counts a LUN as the sum of its paths.
    EXPECT_TRUE(Ran(Run({"-l", kDb, "-m"}),
                    std::string("LUN Statistics\n"
                                "  LUN:               ") +
                        kDb +
                        " \n"
                        "  Host Requests:      4294967295\n"
                        "  Outstanding IO:     5\n"
                        "  Blocks Transferred: 7\n"
                        "  IO Errors:          2\n",
                    0));
    // The whole name as typed, though only 80 characters reach the driver.
    ASSERT_EQ(emulator.Ctl({"counter", "set", kLongPath, "hostRequests", "12"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-p", kLongPath, "-m"}),
                    "Path Statistics\n"
                    "  Path:               " +
                        kLongPath +
                        "\n"
                        "  Host Requests:      12\n"
                        "  Outstanding IO:     0\n"
                        "  Blocks Transferred: 0\n"
                        "  IO Errors:          0\n",
                    0));
    EXPECT_TRUE(Ran(
        Run({"-p", "no-such-path", "-m"}),
        "FervLib (WIN32) - FervGetPathStatistics: IOCTL_FERV_GET_PATH_STATS Error: 00000007\n" + StatusLine(7), 7));
    EXPECT_TRUE(Ran(
        Run({"-l", kUnknown, "-m"}),
        "FervLib (WIN32) - FervGetLUNStatistics: IOCTL_FERV_GET_LUN_STATS Error: 00000006\n" + StatusLine(6), 6));
}

TEST_P(EmulatorCommands, RefusedCommandsCarryTheEmulatorsCodes)
{
    Start();
    // The last usable path of a LUN cannot be disabled.
    EXPECT_TRUE(Ran(Run({"-p", "p-db-b", "-d"}), kOk, 0));
    EXPECT_TRUE(Ran(
        Run({"-p", "p-db-a", "-d"}),
        "FervLib (WIN32) - FervIssuePathCommand: IOCTL_FERV_ISSUE_PATH_CMD Error: 0000000C\n" + StatusLine(12), 12));
    // A path whose link is down cannot be enabled.
    EXPECT_TRUE(Ran(
        Run({"-p", "p-db-down", "-e"}),
        "FervLib (WIN32) - FervIssuePathCommand: IOCTL_FERV_ISSUE_PATH_CMD Error: 0000000D\n" + StatusLine(13), 13));
    EXPECT_TRUE(Ran(
        Run({"-p", "no-such-path", "-a"}),
        "FervLib (WIN32) - FervIssuePathCommand: IOCTL_FERV_ISSUE_PATH_CMD Error: 00000007\n" + StatusLine(7), 7));
    EXPECT_TRUE(
        Ran(Run({"-l", kUnknown, "-r"}),
            "FervLib (WIN32) - FervIssueLUNCommand: IOCTL_FERV_ISSUE_LUN_CMD Error: 00000006\n" + StatusLine(6), 6));
    EXPECT_TRUE(Ran(Run({"-d", kUnknown, "-r"}),
                    std::string(kUnknown) +
                        " FervLib (WIN32) - FervIssueDeviceCommand: IOCTL_FERV_ISSUE_DEVICE_CMD Error: 00000005\n"
                        "   Num Successful Operations: 0\n"
                        "   Num Failed Operations: 0\n" +
                        StatusLine(5),
                    5));
    // The model kept what was refused: p-db-a still carries the LUN.
    EXPECT_TRUE(Ran(Run({"-p", "p-db-a"}),
                    std::string(kPathHead) + "      p-db-a                hba-a                 yes     yes    \n",
                    0));
}

TEST_P(EmulatorCommands, InjectedFaultsReachTheUser)
{
    Start();
    const std::string refused = "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 00000005\n";
    const std::string report = "Driver Public Parameters\n"
                               "  Driver Version: 3.1.4.15\n"
                               "  Auto FailBack: 0(off)\n"
                               "  Poll Rate:      5(seconds)\n"
                               "  Log Level:      0x07(data path changes  internal errors  critical errors  )\n";
    if (GetParam().controlDevice) {
        ASSERT_EQ(emulator.Ctl({"refuse", "control", "5"}).exitCode, 0);
        EXPECT_TRUE(Ran(Run({"-P"}),
                        refused + "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000A\n" +
                            StatusLine(10),
                        10));
    } else {
        // The first interface refuses; the second one serves.
        ASSERT_EQ(emulator.Ctl({"refuse", "0", "5"}).exitCode, 0);
        EXPECT_TRUE(Ran(Run({"-P"}), refused + report, 0));
    }
    ASSERT_EQ(emulator.Ctl({"clear"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-P"}), report, 0));

    // Status 14 to a display is a failure to the front end: no report.
    ASSERT_EQ(emulator.Ctl({"answer", "GET_PATH_INFO", "14"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-p", "p-db-a"}), StatusLine(14), 14));

    // A held wait whose completion fails, and one whose connection is dropped.
    struct {
        std::vector<std::string> verb;
        std::string error;
    } failures[] = {{{"fail-pended", "31"}, "0000001F"}, {{"fail-pended", "--drop"}, "000003E3"}};
    for (const auto &f : failures) {
        SCOPED_TRACE(f.verb.back());
        auto waiting = ferv_e2e::Start(GetParam(), emulator.Root(), {"-S"});
        ASSERT_TRUE(Eventually([&] { return emulator.Held() == 1; }));
        EXPECT_EQ(emulator.Ctl(f.verb).exitCode, 0);
        EXPECT_TRUE(Ran(waiting->Wait(10000),
                        "FervLib (WIN32) - SendReqToDriver: Error in GetOverlappedResult: " + f.error +
                            "\n"
                            "FervLib (WIN32) - FervWaitForChange: SendReqToDriver Error: 0000000A\n" +
                            StatusLine(10),
                        10));
    }
}

TEST_P(EmulatorCommands, AMalformedReplyIsAnInternalError)
{
    Start();
    // The first device's LUN list points far outside the reply.
    ASSERT_EQ(emulator.Ctl({"answer", "GET_ALL_DEVICES", "--garble"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-v"}),
                    "FervLib (WIN32) - FervGetAllInfo: IOCTL_FERV_GET_ALL_DEVICES Invalid Reply!\n" + StatusLine(10),
                    10));
    // A failed reply is left alone; the next whole one is garbled.
    ASSERT_EQ(emulator.Ctl({"answer", "GET_DEVICE_INFO", "--garble"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-d", kUnknown}),
                    std::string(kUnknown) +
                        " FervLib (WIN32) - FervGetDeviceInfo: IOCTL_FERV_GET_DEVICE_INFO Error: 00000005\n" +
                        StatusLine(5),
                    5));
    EXPECT_TRUE(Ran(Run({"-d", kEast}),
                    std::string(kEast) +
                        " FervLib (WIN32) - FervGetDeviceInfo: IOCTL_FERV_GET_DEVICE_INFO "
                        "Invalid Reply!\n" +
                        StatusLine(10),
                    10));
    // One garbled reply each: the next ones are whole again.
    EXPECT_TRUE(Ran(Run({}), Golden("san_all.txt"), 0));
    EXPECT_NE(emulator.Ctl({"answer", "GET_PATH_INFO", "--garble"}).exitCode, 0);
}

TEST_P(EmulatorCommands, AStoppedEmulatorIsNoDriver)
{
    Start();
    EXPECT_TRUE(Ran(Run({"-P", "-a", "1"}), kOk, 0));
    emulator.Stop();
    EXPECT_TRUE(Ran(Run({"-P"}),
                    "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000B\n" + StatusLine(11),
                    11));
    EXPECT_TRUE(Ran(Run({"-S"}),
                    "FervLib (WIN32) - FervWaitForChange: SendReqToDriver Error: 0000000B\n" + StatusLine(11), 11));
}

} // namespace
