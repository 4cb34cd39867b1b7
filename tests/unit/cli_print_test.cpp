// Number conversion, world-wide names, the status line, the usage text and
// the public-parameter report.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

#include "cli/frontend.h"
#include "tests/support/capture_console.h"

namespace {

TEST(ConvertNumberTest, DecimalLikeTheRuntimeWithThirtyTwoBitClamping)
{
    EXPECT_EQ(ConvertNumber("10", 10), 10);
    EXPECT_EQ(ConvertNumber(" \t-5", 10), -5);
    EXPECT_EQ(ConvertNumber("+7x", 10), 7);
    EXPECT_EQ(ConvertNumber("yes", 10), 0);
    EXPECT_EQ(ConvertNumber("", 10), 0);
    EXPECT_EQ(ConvertNumber("1f", 10), 1);
    EXPECT_EQ(ConvertNumber("0x10", 10), 0);
    EXPECT_EQ(ConvertNumber("2147483647", 10), INT32_MAX);
    EXPECT_EQ(ConvertNumber("2147483648", 10), INT32_MAX);
    EXPECT_EQ(ConvertNumber("-2147483648", 10), INT32_MIN);
    EXPECT_EQ(ConvertNumber("-2147483649", 10), INT32_MIN);
    EXPECT_EQ(ConvertNumber("4294967298", 10), INT32_MAX); // no wrap to 2
    EXPECT_EQ(ConvertNumber("99999999999999999999999999", 10), INT32_MAX);
}

TEST(ConvertNumberTest, HexadecimalWithOptionalPrefixAfterTheSign)
{
    EXPECT_EQ(ConvertNumber("1f", 16), 0x1f);
    EXPECT_EQ(ConvertNumber("0x1f", 16), 0x1f);
    EXPECT_EQ(ConvertNumber("0X1F", 16), 0x1f);
    EXPECT_EQ(ConvertNumber("-0x10", 16), -16);
    EXPECT_EQ(ConvertNumber("0x", 16), 0);
    EXPECT_EQ(ConvertNumber("0xg", 16), 0);
    EXPECT_EQ(ConvertNumber("7fffffff", 16), INT32_MAX);
    EXPECT_EQ(ConvertNumber("ffffffff", 16), INT32_MAX);
    EXPECT_EQ(ConvertNumber("-80000000", 16), INT32_MIN);
    EXPECT_EQ(ConvertNumber("-ffffffffff", 16), INT32_MIN);
}

TEST(WwnKeyTest, ParsesPairsAndPrintsThemBack)
{
    FervWwnKey key;
    ParseWwnKey("00112233445566778899AaBbCcDdEeFf", &key);
    PrintWwnKey(&key);
    EXPECT_EQ(TakeConsoleOutput(), "00112233445566778899aabbccddeeff ");

    // A 33rd digit is ignored; 31 digits fill bytes 0 to 14 and leave 15 zero,
    // even when the buffer held something before.
    ParseWwnKey("0102030405060708090a0b0c0d0e0f10f", &key);
    EXPECT_EQ(key.bytes[15], 0x10);
    memset(key.bytes, 0xee, sizeof key.bytes);
    ParseWwnKey("0102030405060708090a0b0c0d0e0f1", &key);
    EXPECT_EQ(key.bytes[14], 0x0f);
    EXPECT_EQ(key.bytes[15], 0);

    memset(key.bytes, 0xee, sizeof key.bytes);
    ParseWwnKey("", &key);
    PrintWwnKey(&key);
    EXPECT_EQ(TakeConsoleOutput(), "00000000000000000000000000000000 ");
}

TEST(WwnKeyTest, PairsThatAreNotTwoDigitsReadOnlyTheirLeadingDigits)
{
    FervWwnKey key;
    ParseWwnKey("1gg1zz-1 f0x", &key);
    EXPECT_EQ(key.bytes[0], 0x01); // "1g"
    EXPECT_EQ(key.bytes[1], 0x00); // "g1"
    EXPECT_EQ(key.bytes[2], 0x00); // "zz"
    EXPECT_EQ(key.bytes[3], 0x00); // "-1": no sign inside a key
    EXPECT_EQ(key.bytes[4], 0x00); // " f": no blank either
    EXPECT_EQ(key.bytes[5], 0x00); // "0x"
}

TEST(PrintStatusTest, KnownAndUnknownCodes)
{
    PrintStatus(0);
    PrintStatus(22);
    PrintStatus(23);
    PrintStatus(0xFFFFFFFFu);
    EXPECT_EQ(TakeConsoleOutput(),
              "The operation completed successfully. (0)\n"
              "The restore operation failed. (22)\n"
              "Unknown FERV_STATUS code (23)!\n"
              "Unknown FERV_STATUS code (-1)!\n");
}

TEST(UsageTest, ThirtySevenLinesWithoutTheHiddenOption)
{
    PrintUsage();
    std::string text = TakeConsoleOutput();
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, 37u);
    EXPECT_EQ(text.rfind("default                display all devices information\n"
                         "-v                     display all devices information (verbose)\n\n",
                         0),
              0u);
    EXPECT_NE(text.find("\n-d <device_wwn> -r     restore all lun's preferred paths\n"
                        "                         for this device\n\n"),
              std::string::npos);
    EXPECT_NE(text.find("\n-P -a <integer>        enable/disable auto failback\n"),
              std::string::npos);
    const std::string tail = "-S                     suspend command return until a state\n"
                             "                         change occurs (path up/down/etc)\n\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find("-Z"), std::string::npos);
}

FervPublicParameters Params(int32_t autoFailBack, uint32_t logLevel)
{
    FervPublicParameters p = {};
    p.pollRate = 30;
    p.autoFailBack = autoFailBack;
    p.logLevel = logLevel;
    p.driverVersion[0] = 2;
    p.driverVersion[1] = 1;
    p.driverVersion[2] = 0;
    p.driverVersion[3] = 17;
    return p;
}

TEST(PublicParametersReportTest, LogLevelNamesAndAutoFailBack)
{
    FervPublicParameters p = Params(1, 0);
    PrintPublicParameters(&p);
    EXPECT_EQ(TakeConsoleOutput(), "Driver Public Parameters\n"
                                   "  Driver Version: 2.1.0.17\n"
                                   "  Auto FailBack: 1(on)\n"
                                   "  Poll Rate:      30(seconds)\n"
                                   "  Log Level:      0x00(none)\n");

    p = Params(0, 0x20);
    PrintPublicParameters(&p);
    std::string text = TakeConsoleOutput();
    EXPECT_NE(text.find("  Auto FailBack: 0(off)\n"), std::string::npos);
    EXPECT_NE(text.find("  Log Level:      0x20()\n"), std::string::npos);

    p = Params(0, 0x1f);
    PrintPublicParameters(&p);
    text = TakeConsoleOutput();
    EXPECT_NE(text.find("  Log Level:      0x1f(data path changes  internal errors  critical "
                        "errors  informational messages  caution messages  )\n"),
              std::string::npos);

    p = Params(0, 0x2a);
    PrintPublicParameters(&p);
    text = TakeConsoleOutput();
    EXPECT_NE(text.find("  Log Level:      0x2a(internal errors  informational messages  )\n"),
              std::string::npos);
}

} // namespace
