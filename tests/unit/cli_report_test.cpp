// The device, LUN and path reports and the two statistics reports, printed
// from hand-built records and compared byte for byte.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "cli/frontend.h"
#include "tests/support/capture_console.h"

namespace {

std::string Pad(const std::string &text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// One path line: marker, name and HBA in 21-wide columns, two 7-wide words.
std::string Line(char marker, const std::string &name, const std::string &hba,
                 const char *enabled, const char *active)
{
    return std::string("    ") + marker + " " + Pad(name, 21) + " " + Pad(hba, 21) + " " +
           Pad(enabled, 7) + " " + Pad(active, 7) + "\n";
}

const std::string head = "    * Path                  HBA                   Enabled Active\n"
                         "    - --------------------- --------------------- ------- ------\n";

FervPath MakePath(const char *name, const char *hba, uint8_t state, uint32_t flags)
{
    FervPath p;
    memset(&p, 0, sizeof p);
    strncpy(p.pathName, name, sizeof p.pathName);
    strncpy(p.hbaName, hba, sizeof p.hbaName);
    p.state = state;
    p.flags = flags;
    return p;
}

FervWwnKey Key(uint8_t first)
{
    FervWwnKey k;
    for (int i = 0; i < 16; i++)
        k.bytes[i] = (uint8_t)(first + i);
    return k;
}

TEST(PathLineTest, MarkerAndColumnsForEveryStateWithAndWithoutPreferredBit)
{
    struct Row {
        uint8_t state;
        char plain, preferred;
        const char *enabled, *active;
    };
    const Row rows[] = {
        {0, '?', '?', "no", "no"},  {1, 'X', 'X', "no", "no"}, {2, ' ', ' ', "yes", "yes"},
        {3, ' ', '!', "yes", "no"}, {4, '!', '!', "no", "no"}, {5, '-', '-', "no", "no"},
        {6, ' ', ' ', "no", "no"},  {255, ' ', ' ', "no", "no"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.state);
        FervPath plain = MakePath("p", "h", r.state, 0x01);
        FervPath preferred = MakePath("p", "h", r.state, 0x05);
        PrintPathLine(&plain, 0);
        PrintPathLine(&preferred, 0);
        EXPECT_EQ(TakeConsoleOutput(), Line(r.plain, "p", "h", r.enabled, r.active) +
                                           Line(r.preferred, "p", "h", r.enabled, r.active));
    }
}

TEST(PathLineTest, VerboseStateLineAndUnnamedState)
{
    FervPath active = MakePath("p", "h", 2, 0x4);
    PrintPathLine(&active, 1);
    EXPECT_EQ(TakeConsoleOutput(),
              Line(' ', "p", "h", "yes", "yes") + "        state:up_active flags:0x4\n");

    FervPath odd = MakePath("p", "h", 7, 0x80000104);
    PrintPathLine(&odd, 3); // only the lowest bit counts
    EXPECT_EQ(TakeConsoleOutput(),
              Line(' ', "p", "h", "no", "no") + "        state:7 flags:0x80000104\n");

    PrintPathLine(&odd, 2);
    EXPECT_EQ(TakeConsoleOutput(), Line(' ', "p", "h", "no", "no"));
}

TEST(PathLineTest, LongNamesAreNeverCutAndTextsStayInTheirSpans)
{
    FervPath longName = MakePath("path_name_of_25_chars_xyz", "h", 2, 0);
    PrintPathLine(&longName, 0);
    EXPECT_EQ(TakeConsoleOutput(), "      path_name_of_25_chars_xyz h                     yes     yes    \n");

    // A name filling its whole span without a zero byte stops at the span's
    // end, not in the bytes that follow it.
    FervPath full = MakePath("", "h", 1, 0);
    memset(full.pathName, 'a', sizeof full.pathName);
    full.state = 1;
    memset(full.hbaName, 'b', sizeof full.hbaName);
    PrintPathLine(&full, 0);
    EXPECT_EQ(TakeConsoleOutput(), Line('X', std::string(81, 'a'), std::string(84, 'b'), "no", "no"));
}

TEST(LunReportTest, PathsPreferredListAndVerboseLines)
{
    FervPath p3 = MakePath("p3", "hba0", 4, 0x4);
    FervPath p2 = MakePath("p2", "hba1", 3, 0x4);
    FervPath p1 = MakePath("p1", "hba0", 2, 0x0);
    p1.next = &p2;
    p2.next = &p3;
    FervLun lun;
    memset(&lun, 0, sizeof lun);
    strcpy(lun.lunName, "lun0");
    lun.wwn = Key(0xa0);
    lun.pathCount = 3;
    lun.loadBalancing = 1;
    lun.pathingMode = 2;
    lun.pathList = &p1;

    PrintLun(&lun, 1);
    EXPECT_EQ(TakeConsoleOutput(), "  LUN: lun0\n"
                                   "    WWN:            a0a1a2a3a4a5a6a7a8a9aaabacadaeaf \n"
                                   "    Pathing Mode:   Asymmetric\n"
                                   "    Load Balancing: Enabled\n"
                                   "    Preferred Paths: p2 p3 \n"
                                   "\n"
                                   "    Paths to this LUN:\n" +
                                       head + Line(' ', "p1", "hba0", "yes", "yes") +
                                       "        state:up_active flags:0x0\n" +
                                       Line('!', "p2", "hba1", "yes", "no") +
                                       "        state:up_standby flags:0x4\n" +
                                       Line('!', "p3", "hba0", "no", "no") +
                                       "        state:admin flags:0x4\n"
                                       "\n");

    // The preferred list follows the links, the path lines the count.
    lun.pathCount = 1;
    PrintLun(&lun, 0);
    std::string text = TakeConsoleOutput();
    EXPECT_NE(text.find("    Preferred Paths: p2 p3 \n\n"), std::string::npos);
    EXPECT_NE(text.find(head + Line(' ', "p1", "hba0", "yes", "yes") + "\n"), std::string::npos);
    EXPECT_EQ(text.find("p2                   "), std::string::npos);
}

TEST(LunReportTest, NoPathsNoPreferredAndOddModes)
{
    FervLun lun;
    memset(&lun, 0, sizeof lun);
    strcpy(lun.lunName, "empty");
    lun.loadBalancing = 2;
    PrintLun(&lun, 1);
    EXPECT_EQ(TakeConsoleOutput(), "  LUN: empty\n"
                                   "    WWN:            00000000000000000000000000000000 \n"
                                   "    Pathing Mode:   Single Path\n"
                                   "    Load Balancing: Disabled\n"
                                   "    Preferred Paths: na\n"
                                   "\n"
                                   "    Paths to this LUN:\n" +
                                       head + "\n");

    // Paths without the preferred bit show na; a count larger than the
    // list is walked only as far as the links go; an unknown mode prints
    // its number.
    FervPath p1 = MakePath("p1", "h", 3, 0x3);
    lun.pathList = &p1;
    lun.pathCount = 4;
    lun.pathingMode = 5;
    lun.loadBalancing = 0;
    PrintLun(&lun, 0);
    std::string text = TakeConsoleOutput();
    EXPECT_NE(text.find("    Pathing Mode:   5\n"), std::string::npos);
    EXPECT_NE(text.find("    Preferred Paths: na\n\n"), std::string::npos);
    EXPECT_NE(text.find(head + Line(' ', "p1", "h", "yes", "no") + "\n"), std::string::npos);
}

FervDevice MakeDevice(const char *name)
{
    FervDevice d;
    memset(&d, 0, sizeof d);
    strcpy(d.deviceName, name);
    strcpy(d.serialNumber, "SN-0042");
    strcpy(d.ipAddress, "192.0.2.7");
    strcpy(d.firmwareRevision, "3.10a");
    d.wwn = Key(0x10);
    return d;
}

const std::string deviceBlock = "Device: storage device\n"
                                "  Device Name:       array-1\n"
                                "  Serial Number:     SN-0042\n"
                                "  WWN:               101112131415161718191a1b1c1d1e1f \n"
                                "  IP Address:        192.0.2.7\n"
                                "  Firmware Revision: 3.10a\n"
                                "\n";

TEST(DeviceReportTest, DeviceWithoutLunsAndWithLuns)
{
    FervDevice d = MakeDevice("array-1");
    PrintDevice(&d, 0);
    EXPECT_EQ(TakeConsoleOutput(), "\n\n" + deviceBlock);

    d.lunCount = -1; // counts are signed: 0 or less is an empty list
    FervLun lun;
    memset(&lun, 0, sizeof lun);
    strcpy(lun.lunName, "lun0");
    d.lunList = &lun;
    PrintDevice(&d, 0);
    EXPECT_EQ(TakeConsoleOutput(), "\n\n" + deviceBlock);

    FervLun lun2 = lun;
    strcpy(lun2.lunName, "lun1");
    lun.next = &lun2;
    d.lunCount = 2;
    PrintDevice(&d, 0);
    std::string lunBlock0 = "  LUN: lun0\n"
                            "    WWN:            00000000000000000000000000000000 \n"
                            "    Pathing Mode:   Single Path\n"
                            "    Load Balancing: Disabled\n"
                            "    Preferred Paths: na\n"
                            "\n"
                            "    Paths to this LUN:\n" +
                            head + "\n";
    std::string lunBlock1 = lunBlock0;
    lunBlock1.replace(lunBlock1.find("lun0"), 4, "lun1");
    EXPECT_EQ(TakeConsoleOutput(), "\n\n" + deviceBlock + lunBlock0 + lunBlock1);

    // A count beyond the linked LUNs stops at the last link.
    lun.next = nullptr;
    d.lunCount = 5;
    PrintDevice(&d, 0);
    EXPECT_EQ(TakeConsoleOutput(), "\n\n" + deviceBlock + lunBlock0);
}

TEST(DeviceReportTest, TextsWithoutTerminatorStopAtTheirSpans)
{
    FervDevice d = MakeDevice("");
    memset(d.deviceName, 'N', sizeof d.deviceName);
    memset(d.firmwareRevision, 'F', sizeof d.firmwareRevision);
    memset(d.ipAddress, 'I', sizeof d.ipAddress);
    memset(d.serialNumber, 'S', sizeof d.serialNumber);
    PrintDeviceBlock(&d);
    EXPECT_EQ(TakeConsoleOutput(),
              "Device: storage device\n"
              "  Device Name:       " + std::string(162, 'N') + "\n"
              "  Serial Number:     " + std::string(81, 'S') + "\n"
              "  WWN:               101112131415161718191a1b1c1d1e1f \n"
              "  IP Address:        " + std::string(41, 'I') + "\n"
              "  Firmware Revision: " + std::string(21, 'F') + "\n\n");
}

TEST(StatisticsReportTest, LunAndPathReports)
{
    FervStatistics counters = {7, 2, 3, 0xFFFFFFFFu};
    FervWwnKey key = Key(0xf0);
    PrintLunStatistics(&key, &counters);
    EXPECT_EQ(TakeConsoleOutput(), "LUN Statistics\n"
                                   "  LUN:               f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff \n"
                                   "  Host Requests:      2\n"
                                   "  Outstanding IO:     3\n"
                                   "  Blocks Transferred: 4294967295\n"
                                   "  IO Errors:          7\n");

    std::string longName(90, 'q');
    PrintPathStatistics(longName.c_str(), &counters);
    EXPECT_EQ(TakeConsoleOutput(), "Path Statistics\n"
                                   "  Path:               " + longName + "\n"
                                   "  Host Requests:      2\n"
                                   "  Outstanding IO:     3\n"
                                   "  Blocks Transferred: 4294967295\n"
                                   "  IO Errors:          7\n");
}

} // namespace
