// The device, LUN and path reports and the LUN statistics report, printed
// from hand-built records and compared byte for byte.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "cli/frontend.h"
#include "tests/support/capture_console.h"

namespace {

std::string Pad(const std::string &text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// A path line: marker, name and HBA in 21-wide columns, two 7-wide words.
std::string Line(char marker, const std::string &name, const std::string &hba, const char *enabled,
                 const char *active)
{
    return std::string("    ") + marker + " " + Pad(name, 21) + " " + Pad(hba, 21) + " " + Pad(enabled, 7) + " " +
           Pad(active, 7) + "\n";
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

TEST(CliPathLineTest, StatesPreferredBitVerboseLineLongNamesAndFullSpans)
{
    const struct {
        uint8_t state;
        char plain, preferred;
        const char *enabled, *active;
    } rows[] = {
        {0, '?', '?', "no", "no"},  {1, 'X', 'X', "no", "no"},   {2, ' ', ' ', "yes", "yes"},
        {3, ' ', '!', "yes", "no"}, {4, '!', '!', "no", "no"},   {5, '-', '-', "no", "no"},
        {6, ' ', ' ', "no", "no"},  {255, ' ', ' ', "no", "no"},
    };
    for (const auto &r : rows) {
        FervPath plain = MakePath("p", "h", r.state, 0x01), preferred = MakePath("p", "h", r.state, 0x05);
        PrintPathLine(&plain, 0);
        PrintPathLine(&preferred, 0);
        EXPECT_EQ(TakeConsoleOutput(),
                  Line(r.plain, "p", "h", r.enabled, r.active) + Line(r.preferred, "p", "h", r.enabled, r.active))
            << "state " << (int)r.state;
    }

    FervPath odd = MakePath("path_name_of_25_chars_xyz", "h", 7, 0x80000104);
    PrintPathLine(&odd, 3); // only the lowest bit of verbose counts
    PrintPathLine(&odd, 2);
    const std::string oddLine = "      path_name_of_25_chars_xyz h                     no      no     \n";
    EXPECT_EQ(TakeConsoleOutput(), oddLine + "        state:7 flags:0x80000104\n" + oddLine);

    // Names that fill their spans without a zero byte end at the span.
    FervPath full = MakePath("", "", 2, 0x4);
    memset(full.pathName, 'a', sizeof full.pathName);
    memset(full.hbaName, 'b', sizeof full.hbaName);
    PrintPathLine(&full, 1);
    EXPECT_EQ(TakeConsoleOutput(), Line(' ', std::string(81, 'a'), std::string(84, 'b'), "yes", "yes") +
                                       "        state:up_active flags:0x4\n");
}

FervLun MakeLun(const char *name)
{
    FervLun lun;
    memset(&lun, 0, sizeof lun);
    strcpy(lun.lunName, name);
    return lun;
}

std::string LunHead(const char *name, const char *wwn, const char *mode, const char *balancing,
                    const char *preferred)
{
    return std::string("  LUN: ") + name + "\n    WWN:            " + wwn + " \n    Pathing Mode:   " + mode +
           "\n    Load Balancing: " + balancing + "\n    Preferred Paths: " + preferred +
           "\n\n    Paths to this LUN:\n" + head;
}

const char *const zeroKey = "00000000000000000000000000000000";

TEST(CliLunReportTest, PathsPreferredListCountsAndOddValues)
{
    FervPath p3 = MakePath("p3", "hba0", 4, 0x4), p2 = MakePath("p2", "hba1", 3, 0x4);
    FervPath p1 = MakePath("p1", "hba0", 2, 0x0);
    p1.next = &p2;
    p2.next = &p3;
    FervLun lun = MakeLun("lun0");
    for (int i = 0; i < 16; i++)
        lun.wwn.bytes[i] = (uint8_t)(0xa0 + i);
    lun.pathCount = 3;
    lun.loadBalancing = 1;
    lun.pathingMode = 2;
    lun.pathList = &p1;
    PrintLun(&lun, 0);
    EXPECT_EQ(TakeConsoleOutput(),
              LunHead("lun0", "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf", "Asymmetric", "Enabled", "p2 p3 ") +
                  Line(' ', "p1", "hba0", "yes", "yes") + Line('!', "p2", "hba1", "yes", "no") +
                  Line('!', "p3", "hba0", "no", "no") + "\n");

    // The preferred list follows the links, the path lines the count, but
    // never past the last link.
    lun.pathCount = 9;
    lun.pathList = &p2;
    lun.loadBalancing = 2;
    lun.pathingMode = 5;
    memset(lun.wwn.bytes, 0, sizeof lun.wwn.bytes);
    PrintLun(&lun, 0);
    EXPECT_EQ(TakeConsoleOutput(), LunHead("lun0", zeroKey, "5", "Disabled", "p2 p3 ") +
                                       Line('!', "p2", "hba1", "yes", "no") + Line('!', "p3", "hba0", "no", "no") +
                                       "\n");

    p3.flags = p2.flags = 0;
    lun.pathCount = 1;
    PrintLun(&lun, 0);
    EXPECT_EQ(TakeConsoleOutput(),
              LunHead("lun0", zeroKey, "5", "Disabled", "na") + Line(' ', "p2", "hba1", "yes", "no") + "\n");
}

// A LUN whose report is many times the text the display puts together
// before it prints: every path preferred, names that fill their spans, so
// both the preferred list and the path table cross that boundary.
TEST(CliLunReportTest, ALargeLunPrintsWhole)
{
    // By state 0 to 6, for a preferred path.
    const char markers[] = "?X !!- ";
    const char *const enabled[] = {"no", "no", "yes", "yes", "no", "no", "no"};
    const char *const active[] = {"no", "no", "yes", "no", "no", "no", "no"};
    const char *const states[] = {"unknown", "down", "up_active", "up_standby", "admin", "transition", "6"};
    const int count = 300;
    std::vector<FervPath> paths(count);
    std::string preferred, lines;
    for (int i = 0; i < count; i++) {
        std::string name = std::to_string(i) + std::string(81, 'n');
        name.resize(81);
        uint32_t flags = FERV_PATH_FLAG_PREFERRED | (uint32_t)i << 4;
        paths[i] = MakePath("", "", (uint8_t)(i % 7), flags);
        memcpy(paths[i].pathName, name.data(), sizeof paths[i].pathName);
        memset(paths[i].hbaName, 'h', sizeof paths[i].hbaName);
        if (i + 1 < count)
            paths[i].next = &paths[i + 1];
        preferred += name + " ";
        char hex[16];
        snprintf(hex, sizeof hex, "%x", flags);
        lines += Line(markers[i % 7], name, std::string(84, 'h'), enabled[i % 7], active[i % 7]) +
                 "        state:" + states[i % 7] + " flags:0x" + hex + "\n";
    }
    FervLun lun = MakeLun("big");
    lun.pathCount = count;
    lun.pathList = paths.data();
    PrintLun(&lun, 1);
    EXPECT_EQ(TakeConsoleOutput(),
              LunHead("big", zeroKey, "Single Path", "Disabled", preferred.c_str()) + lines + "\n");
}

TEST(CliDeviceReportTest, BlockAndLunsWalkedByCountWithinTheLinks)
{
    FervDevice d;
    memset(&d, 0, sizeof d);
    strcpy(d.deviceName, "array-1");
    strcpy(d.serialNumber, "SN-0042");
    strcpy(d.ipAddress, "192.0.2.7");
    strcpy(d.firmwareRevision, "3.10a");
    for (int i = 0; i < 16; i++)
        d.wwn.bytes[i] = (uint8_t)(0x10 + i);
    const std::string block = "\n\nDevice: storage device\n"
                              "  Device Name:       array-1\n"
                              "  Serial Number:     SN-0042\n"
                              "  WWN:               101112131415161718191a1b1c1d1e1f \n"
                              "  IP Address:        192.0.2.7\n"
                              "  Firmware Revision: 3.10a\n\n";
    const std::string lun0 = LunHead("lun0", zeroKey, "Single Path", "Disabled", "na") + "\n";
    const std::string lun1 = LunHead("lun1", zeroKey, "Single Path", "Disabled", "na") + "\n";
    FervLun l0 = MakeLun("lun0"), l1 = MakeLun("lun1");
    l0.next = &l1;
    d.lunList = &l0;
    for (int32_t count : {-1, 0, 2, 5}) { // signed; never walked past the last link
        d.lunCount = count;
        PrintDevice(&d, 1);
        EXPECT_EQ(TakeConsoleOutput(), count <= 0 ? block : block + lun0 + lun1) << count;
    }
}

TEST(CliStatisticsReportTest, LunReportPrintsIoErrorsLast)
{
    const FervStatistics counters = {7, 2, 3, 0xFFFFFFFFu};
    FervWwnKey key;
    for (int i = 0; i < 16; i++)
        key.bytes[i] = (uint8_t)(0xf0 + i);
    PrintLunStatistics(&key, &counters);
    EXPECT_EQ(TakeConsoleOutput(), "LUN Statistics\n"
                                   "  LUN:               f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff \n"
                                   "  Host Requests:      2\n"
                                   "  Outstanding IO:     3\n"
                                   "  Blocks Transferred: 4294967295\n"
                                   "  IO Errors:          7\n");
}

} // namespace
