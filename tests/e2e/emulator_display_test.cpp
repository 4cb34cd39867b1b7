// Every display form of both programs against the emulator serving a small
// SAN of our own (tests/golden/e2e/san.json), compared byte for byte with the
// reports written out by hand for it: path states with and without the
// preferred bit, a LUN without paths, a device without LUNs, empty texts,
// names longer than their columns, an all-zero key, an unnamed pathing mode.
#include <stdio.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

using namespace ferv_e2e;

namespace {

struct Named {
    const char *name;
    const char *key;
};

const Named kDevices[] = {
    {"east array", "600a0b800011223344556677889900aa"},
    {"west", "00000000000000000000000000000000"},
    {"north array with a device name that is longer than most", "600a0b8000ffeedd00000000000000ff"},
};

const Named kLuns[] = {
    {"db", "600a0b80001122330000000000000001"},
    {"logs", "600a0b80001122330000000000000002"},
    {"empty", "600a0b80001122330000000000000003"},
    {"legacy", "600a0b8000ffeedd0000000000000a01"},
};

const char *const kPaths[] = {
    "p-db-a",        "p-db-b",         "p-db-down",         "p-db-admin", "p-logs-a",
    "p-logs-b",      "p-logs-unknown", "p-logs-transition", "n-active",   "path-name-twenty-five-chr",
    "p-legacy-down", "p-legacy-admin",
};

// 85 characters: a path record holds the first 80 of them.
const std::string kLongPath =
    "long-path-name-01234567890123456789012345678901234567890123456789012345678901234-tail";

class EmulatorDisplay : public ::testing::TestWithParam<Program> {
protected:
    static void SetUpTestSuite()
    {
        emulator = new Emulator;
        emulator->Start(GoldenPath("san.json"), {"--no-io"});
    }

    static void TearDownTestSuite()
    {
        delete emulator;
        emulator = nullptr;
    }

    void SetUp() override { ASSERT_TRUE(emulator->Ready()) << emulator->Failure(); }

    ferv_test::ProgramResult Run(const std::vector<std::string> &args) { return emulator->Run(GetParam(), args); }

    static Emulator *emulator;
    const std::string all = Golden("san_all.txt");
    const std::string verbose = Golden("san_all_verbose.txt");
};

Emulator *EmulatorDisplay::emulator = nullptr;

INSTANTIATE_TEST_SUITE_P(Programs, EmulatorDisplay, ::testing::Values(kFervadm, kFervadmctl), ProgramName);

TEST_P(EmulatorDisplay, AllDevicesMatchTheWrittenReports)
{
    ASSERT_FALSE(all.empty());
    ASSERT_FALSE(verbose.empty());
    EXPECT_TRUE(Ran(Run({}), all, 0));
    EXPECT_TRUE(Ran(Run({"-v"}), verbose, 0));
    // A first word that is no option, and "-" or "--", leave the plain report.
    EXPECT_TRUE(Ran(Run({"foo"}), all, 0));
    EXPECT_TRUE(Ran(Run({"-"}), all, 0));
    EXPECT_TRUE(Ran(Run({"--", "-v"}), all, 0));
    // Everything after -v is ignored.
    EXPECT_TRUE(Ran(Run({"-v", "-d", kDevices[0].key}), verbose, 0));
}

TEST_P(EmulatorDisplay, OneDeviceIsItsPartOfTheReportAfterTheKeyEcho)
{
    for (const Named &device : kDevices) {
        SCOPED_TRACE(device.name);
        const std::string echo = std::string(device.key) + " ";
        std::string plain = DeviceSection(all, device.name);
        std::string wordy = DeviceSection(verbose, device.name);
        ASSERT_FALSE(plain.empty());
        EXPECT_TRUE(Ran(Run({"-d", device.key}), echo + plain, 0));
        EXPECT_TRUE(Ran(Run({"-d", device.key, "-v"}), echo + wordy, 0));
        // Three words: the second scan is not made, -v is ignored.
        EXPECT_TRUE(Ran(Run({std::string("-d") + device.key, "-v"}), echo + plain, 0));
        // -vr is the verbose display.
        EXPECT_TRUE(Ran(Run({"-d", device.key, "-vr"}), echo + wordy, 0));
    }
    // Keys are read in either case and echoed in lower case.
    EXPECT_TRUE(Ran(Run({"-d", "600A0B800011223344556677889900AA"}),
                    std::string(kDevices[0].key) + " " + DeviceSection(all, kDevices[0].name), 0));
}

TEST_P(EmulatorDisplay, OneLunIsItsPartOfTheReportWithoutEcho)
{
    for (const Named &lun : kLuns) {
        SCOPED_TRACE(lun.name);
        std::string plain = LunSection(all, lun.name);
        ASSERT_FALSE(plain.empty());
        EXPECT_TRUE(Ran(Run({"-l", lun.key}), plain, 0));
        EXPECT_TRUE(Ran(Run({"-l", lun.key, "-v"}), LunSection(verbose, lun.name), 0));
    }
}

TEST_P(EmulatorDisplay, OnePathIsTheTableHeadAndItsLine)
{
    for (const char *path : kPaths) {
        SCOPED_TRACE(path);
        std::string plain = PathLines(all, path);
        ASSERT_FALSE(plain.empty());
        EXPECT_TRUE(Ran(Run({"-p", path}), kPathHead + plain, 0));
        EXPECT_TRUE(Ran(Run({"-p", path, "-v"}), kPathHead + PathLines(verbose, path), 0));
    }
    // The record carries 80 characters of the name, whichever way it was typed.
    const std::string shown = kLongPath.substr(0, 80);
    EXPECT_TRUE(Ran(Run({"-p", kLongPath}), kPathHead + PathLines(all, shown), 0));
    EXPECT_TRUE(Ran(Run({"-p", shown, "-v"}), kPathHead + PathLines(verbose, shown), 0));
}

TEST_P(EmulatorDisplay, UnknownNamesEndWithTheEmulatorsCode)
{
    const std::string key = "600a0b8000000000000000000000dead";
    EXPECT_TRUE(Ran(Run({"-d", key, "-v"}),
                    key + " FervLib (WIN32) - FervGetDeviceInfo: IOCTL_FERV_GET_DEVICE_INFO Error: 00000005\n" +
                        StatusLine(5),
                    5));
    EXPECT_TRUE(Ran(Run({"-l", key}),
                    "FervLib (WIN32) - FervGetLunInfo: IOCTL_FERV_GET_LUN_INFO Error: 00000006\n" + StatusLine(6),
                    6));
    EXPECT_TRUE(Ran(Run({"-p", "no-such-path", "-v"}),
                    "FervLib (WIN32) - FervGetPathInfo: IOCTL_FERV_GET_PATH_INFO Error: 00000007\n" + StatusLine(7),
                    7));
}

TEST_P(EmulatorDisplay, ABufferTooSmallIsAskedAgainWithTheNamedSize)
{
    ASSERT_EQ(emulator->Ctl({"too-small", "GET_ALL_HBAS"}).exitCode, 0);
    ASSERT_EQ(emulator->Ctl({"too-small", "GET_ALL_DEVICES", "2"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-v"}), verbose, 0));
    ASSERT_EQ(emulator->Ctl({"too-small", "GET_DEVICE_INFO", "1", "--size", "70000"}).exitCode, 0);
    EXPECT_TRUE(
        Ran(Run({"-d", kDevices[0].key}), std::string(kDevices[0].key) + " " + DeviceSection(all, "east array"), 0));
    ASSERT_EQ(emulator->Ctl({"too-small", "GET_LUN_INFO", "3"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-l", kLuns[3].key, "-v"}), LunSection(verbose, "legacy"), 0));

    // A driver that never has room enough does not keep the program busy.
    ASSERT_EQ(emulator->Ctl({"too-small", "GET_LUN_INFO", "1000"}).exitCode, 0);
    ferv_test::ProgramResult endless = Run({"-l", kLuns[0].key});
    EXPECT_TRUE(Ran(endless,
                    "FervLib (WIN32) - FervGetLunInfo: IOCTL_FERV_GET_LUN_INFO Error: 00000015\n" + StatusLine(21),
                    21));
    EXPECT_EQ(emulator->Ctl({"clear"}).exitCode, 0);
}

// The same SAN with its records laid out in other orders (links that run
// backwards included) and with other record sizes prints the same reports.
class EmulatorLayouts : public ::testing::TestWithParam<Program> {};

INSTANTIATE_TEST_SUITE_P(Programs, EmulatorLayouts, ::testing::Values(kFervadm, kFervadmctl), ProgramName);

TEST_P(EmulatorLayouts, ReportsDoNotDependOnWhereRecordsLie)
{
    const std::string san = Golden("san.json");
    const std::string from = "\"order\": \"depth-first\"";
    ASSERT_NE(san.find(from), std::string::npos);
    const std::string verbose = Golden("san_all_verbose.txt");
    TempDir files;
    for (const char *layout : {"\"order\": \"breadth-first\", \"hbaRecordSize\": 4, \"secondaryRecordSize\": 100",
                               "\"order\": \"reverse\", \"hbaRecordSize\": 200, \"secondaryRecordSize\": 4"}) {
        SCOPED_TRACE(layout);
        std::string text = san;
        text.replace(text.find(from), from.size(), layout);
        Emulator emulator;
        ASSERT_TRUE(emulator.Start(files.Write("san.json", text), {"--no-io"})) << emulator.Failure();
        EXPECT_TRUE(Ran(emulator.Run(GetParam(), {"-v"}), verbose, 0));
        EXPECT_TRUE(Ran(emulator.Run(GetParam(), {"-d", kDevices[2].key, "-v"}),
                        std::string(kDevices[2].key) + " " + DeviceSection(verbose, kDevices[2].name), 0));
        EXPECT_TRUE(Ran(emulator.Run(GetParam(), {"-l", kLuns[1].key, "-v"}), LunSection(verbose, "logs"), 0));
    }
}

// A SAN whose reply is larger than the sockets hold at once: the request and
// its reply cross in many pieces, and the report still lists every path in
// the emulator's order. A change shows in the next report.
class EmulatorLargeSan : public ::testing::TestWithParam<Program> {};

INSTANTIATE_TEST_SUITE_P(Programs, EmulatorLargeSan, ::testing::Values(kFervadm, kFervadmctl), ProgramName);

// The names of the path lines of a report, in order.
std::vector<std::string> PathLineNames(const std::string &report)
{
    std::vector<std::string> names;
    size_t at = 0;
    while (at < report.size()) {
        size_t end = report.find('\n', at);
        if (end == std::string::npos)
            end = report.size();
        std::string line = report.substr(at, end - at);
        if (line.size() > 6 && line.compare(0, 4, "    ") == 0 && line[5] == ' ' && line.compare(6, 1, "d") == 0)
            names.push_back(line.substr(6, line.find(' ', 6) - 6));
        at = end + 1;
    }
    return names;
}

TEST_P(EmulatorLargeSan, EveryPathArrivesInOrderAndChangesShow)
{
    const int devices = 10, luns = 300, paths = 8; // 24,000 paths: a reply of 8.8 MB
    Emulator emulator;
    ASSERT_TRUE(emulator.Start("", {"--no-io", "--generate", "10:300:8"})) << emulator.Failure();
    std::vector<std::string> expected;
    char name[32];
    for (int d = 0; d < devices; d++)
        for (int l = 0; l < luns; l++)
            for (int p = 0; p < paths; p++) {
                snprintf(name, sizeof name, "d%03d-l%04d-p%d", d, l, p);
                expected.push_back(name);
            }
    for (int run = 0; run < 2; run++) {
        ferv_test::ProgramResult report = emulator.Run(GetParam(), {"-v"});
        ASSERT_EQ(report.exitCode, 0) << report.err;
        EXPECT_EQ(report.err, "");
        EXPECT_TRUE(PathLineNames(report.out) == expected) << "run " << run;
    }
    ASSERT_EQ(emulator.Ctl({"link-down", "d007-l0123-p0"}).exitCode, 0);
    ferv_test::ProgramResult after = emulator.Run(GetParam(), {"-v"});
    ASSERT_EQ(after.exitCode, 0) << after.err;
    EXPECT_NE(PathLines(after.out, "d007-l0123-p0").find("state:down"), std::string::npos);
    EXPECT_TRUE(PathLineNames(after.out) == expected);
}

} // namespace
