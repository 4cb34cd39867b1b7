// Number conversion, world-wide names, the status line, the usage text and
// the public-parameter report.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "cli/frontend.h"
#include "tests/support/capture_console.h"

namespace {

TEST(CliConvertNumberTest, RuntimeLikeConversionClampedToThirtyTwoBits)
{
    const struct {
        const char *text;
        int base;
        int32_t value;
    } cases[] = {
        {" \t-5", 10, -5},
        {"+7x", 10, 7},
        {"yes", 10, 0},
        {"0x10", 10, 0},
        {"2147483648", 10, INT32_MAX},
        {"-2147483649", 10, INT32_MIN},
        {"4294967298", 10, INT32_MAX},
        {"99999999999999999999999999", 10, INT32_MAX},
        {"1f", 16, 0x1f},
        {"0X1F", 16, 0x1f},
        {"-0x10", 16, -16},
        {"0xg", 16, 0},
        {"ffffffff", 16, INT32_MAX},
        {"-ffffffffff", 16, INT32_MIN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ConvertNumber(c.text, c.base), c.value) << c.text << " base " << c.base;
}

TEST(CliWwnKeyTest, ParseAndPrint)
{
    FervWwnKey key;
    ParseWwnKey("00112233445566778899AaBbCcDdEeFf0", &key); // a 33rd digit is ignored
    PrintWwnKey(&key);
    EXPECT_EQ(TakeConsoleOutput(), "00112233445566778899aabbccddeeff ");

    // 31 digits fill bytes 0 to 14; byte 15 is 0 whatever the buffer held.
    memset(key.bytes, 0xee, sizeof key.bytes);
    ParseWwnKey("0102030405060708090a0b0c0d0e0f1", &key);
    EXPECT_EQ(key.bytes[14], 0x0f);
    EXPECT_EQ(key.bytes[15], 0);

    // A pair reads its leading digits only: "1g" is 1; "g1", "-1", " f" are 0.
    ParseWwnKey("1gg1-1 f", &key);
    EXPECT_EQ(key.bytes[0], 0x01);
    EXPECT_EQ(key.bytes[1] | key.bytes[2] | key.bytes[3], 0);

    ParseWwnKey("", &key);
    PrintWwnKey(&key);
    EXPECT_EQ(TakeConsoleOutput(), std::string(32, '0') + " ");
}

TEST(CliPrintStatusTest, KnownAndUnknownCodes)
{
    PrintStatus(0);
    PrintStatus(22);
    PrintStatus(23);
    PrintStatus(0xFFFFFFFFu);
    EXPECT_EQ(TakeConsoleOutput(), "The operation completed successfully. (0)\n"
                                   "The restore operation failed. (22)\n"
                                   "Unknown FERV_STATUS code (23)!\n"
                                   "Unknown FERV_STATUS code (-1)!\n");
}

TEST(CliPublicParametersReportTest, LogLevelNamesAndAutoFailBack)
{
    FervPublicParameters p = {30, 1, 0, {2, 1, 0, 17}};
    PrintPublicParameters(&p);
    EXPECT_EQ(TakeConsoleOutput(), "Driver Public Parameters\n"
                                   "  Driver Version: 2.1.0.17\n"
                                   "  Auto FailBack: 1(on)\n"
                                   "  Poll Rate:      30(seconds)\n"
                                   "  Log Level:      0x00(none)\n");
    const std::string tail20 = "  Auto FailBack: 0(off)\n  Poll Rate:      30(seconds)\n  Log Level:      0x20()\n";
    const std::string tail1f = "0x1f(data path changes  internal errors  critical errors  "
                               "informational messages  caution messages  )\n";
    p.autoFailBack = 0;
    p.logLevel = 0x20;
    PrintPublicParameters(&p);
    std::string text = TakeConsoleOutput();
    EXPECT_EQ(text.substr(text.size() - tail20.size()), tail20);
    p.logLevel = 0x1f;
    PrintPublicParameters(&p);
    text = TakeConsoleOutput();
    EXPECT_EQ(text.substr(text.size() - tail1f.size()), tail1f);
}

} // namespace
