// fervmon's command line: the commands and their options as the tables
// define them, and every way a command line can be wrong.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mon/options.h"
#include "mon/topology.h"

namespace {

bool Parse(std::vector<std::string> words, MonOptions *options, std::string *error)
{
    words.insert(words.begin(), "fervmon");
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return MonParseCommandLine((int)words.size(), argv.data(), options, error);
}

TEST(Options, EachCommandTakesItsOwnOptionsInEveryWrittenForm)
{
    MonOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--control", "check", "--min-paths", "3", "--lun",
                       "60:0a:0b:80:00:2f:1e:2c:00:00:4d:3c:60:10:00:00", "--lun=600A0B80002F1E2C00004D3C60100001",
                       "--device", "600a0b80-002f1e2c-00004d3c-50a10001", "-v", "-t5"},
                      &o, &error))
        << error;
    EXPECT_EQ(o.command, MON_COMMAND_CHECK);
    EXPECT_TRUE(o.controlDevice);
    EXPECT_EQ(o.minPaths, 3);
    ASSERT_EQ(o.luns.size(), 2u);
    EXPECT_EQ(MonWwnText(o.luns[0]), "600a0b80002f1e2c00004d3c60100000");
    EXPECT_EQ(MonWwnText(o.luns[1]), "600a0b80002f1e2c00004d3c60100001");
    ASSERT_EQ(o.devices.size(), 1u);
    EXPECT_EQ(MonWwnText(o.devices[0]), "600a0b80002f1e2c00004d3c50a10001");
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(o.timeoutSeconds, 5);

    ASSERT_TRUE(Parse({"metrics", "-o", "/var/lib/node/ferv.prom", "--control"}, &o, &error)) << error;
    EXPECT_EQ(o.command, MON_COMMAND_METRICS);
    EXPECT_EQ(o.output, "/var/lib/node/ferv.prom");
    EXPECT_TRUE(o.controlDevice);
    EXPECT_EQ(o.minPaths, 2) << "defaults come back for every parse";

    ASSERT_TRUE(Parse({"watch", "--json", "--interval=7"}, &o, &error)) << error;
    EXPECT_TRUE(o.json && o.intervalSeconds == 7 && !o.controlDevice);

    ASSERT_TRUE(Parse({"check", "--help"}, &o, &error));
    EXPECT_TRUE(o.help && o.command == MON_COMMAND_CHECK);
    ASSERT_TRUE(Parse({"--version"}, &o, &error));
    EXPECT_TRUE(o.version && o.command == MON_COMMAND_NONE);
}

TEST(Options, AWrongCommandLineSaysWhatIsWrong)
{
    struct Case {
        std::vector<std::string> words;
        MonCommand command;
        const char *error;
    };
    const Case cases[] = {
        {{"check", "--min-paths", "0"},
         MON_COMMAND_CHECK,
         "--min-paths needs a whole number of at least 1, not '0'"},
        {{"check", "--min-paths", "2x"},
         MON_COMMAND_CHECK,
         "--min-paths needs a whole number of at least 1, not '2x'"},
        {{"check", "--min-paths", "99999999999"},
         MON_COMMAND_CHECK,
         "--min-paths needs a whole number of at least 1, not '99999999999'"},
        {{"check", "--min-paths"}, MON_COMMAND_CHECK, "option --min-paths needs a value N"},
        {{"check", "--lun", "600a0b80002f1e2c00004d3c6010000"},
         MON_COMMAND_CHECK,
         "--lun needs a world-wide name of 32 hexadecimal digits, not '600a0b80002f1e2c00004d3c6010000'"},
        {{"check", "--timeout", "-1"},
         MON_COMMAND_CHECK,
         "--timeout needs a whole number of seconds from 0 to 86400, not '-1'"},
        {{"check", "--output", "f"}, MON_COMMAND_CHECK, "unknown option '--output'"},
        {{"check", "extra"}, MON_COMMAND_CHECK, "unexpected argument 'extra'"},
        {{"check", "--verbose=yes"}, MON_COMMAND_CHECK, "option --verbose takes no value"},
        {{"metrics", "--bogus"}, MON_COMMAND_METRICS, "unknown option '--bogus'"},
        {{"metrics", "--output="}, MON_COMMAND_METRICS, "--output needs a file name"},
        {{"watch", "--interval", "0"},
         MON_COMMAND_WATCH,
         "--interval needs a whole number of seconds from 1 to 3600, not '0'"},
        {{"--json", "watch"}, MON_COMMAND_NONE, "option '--json' belongs after a command"},
        {{"status"}, MON_COMMAND_NONE, "unknown command 'status'"},
    };
    for (const Case &c : cases) {
        MonOptions o;
        std::string error;
        EXPECT_FALSE(Parse(c.words, &o, &error)) << c.words[0];
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(o.command, c.command) << c.error;
    }
    // A monitoring system takes anything but 0 to 3 from a plugin as a
    // failure of its own: a usage error of check is UNKNOWN.
    EXPECT_EQ(MonUsageExitStatus(MON_COMMAND_CHECK), 3);
    EXPECT_EQ(MonUsageExitStatus(MON_COMMAND_METRICS), 2);
    EXPECT_EQ(MonUsageExitStatus(MON_COMMAND_NONE), 2);
    EXPECT_EQ(MonUsageErrorText(MON_COMMAND_CHECK, "unexpected argument 'x'"),
              "fervmon check: unexpected argument 'x'\nUsage: fervmon check [OPTION...]\n"
              "Run 'fervmon check --help' for more.\n");
}

TEST(Options, HelpListsTheOptionsOfItsCommandOnly)
{
    std::string check = MonHelpText(MON_COMMAND_CHECK);
    EXPECT_NE(check.find("      --min-paths N       warn when a LUN"), std::string::npos) << check;
    EXPECT_NE(check.find("  -t, --timeout SECONDS   "), std::string::npos) << check;
    EXPECT_NE(check.find("      --control "), std::string::npos) << check;
    EXPECT_EQ(check.find("--output"), std::string::npos) << check;
    std::string general = MonHelpText(MON_COMMAND_NONE);
    EXPECT_NE(general.find("\n  metrics   "), std::string::npos) << general;
    EXPECT_EQ(general.find("--json"), std::string::npos) << general;
}

TEST(Options, WorldWideNamesAreWholeAndSeparatedOnlyBetweenPairs)
{
    FervWwnKey key;
    memset(&key, 0xee, sizeof key);
    const char *const wrong[] = {
        "",
        "600a0b80002f1e2c00004d3c601000000", // 33 digits
        "600a0b80002f1e2c00004d3c6010000g",
        ":600a0b80002f1e2c00004d3c60100000",
        "600a0b80002f1e2c00004d3c60100000:",
        "6:00a0b80002f1e2c00004d3c60100000",
        "600a0b80002f1e2c00004d3c6010::0000",
        "600a0b80 002f1e2c00004d3c60100000",
    };
    for (const char *text : wrong) {
        EXPECT_FALSE(MonParseWwn(text, &key)) << text;
        EXPECT_EQ(MonWwnText(key), "eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee") << "left as it was after " << text;
    }
    ASSERT_TRUE(MonParseWwn("600A0B80002F1E2C00004D3C6010FFFF", &key));
    EXPECT_EQ(MonWwnText(key), "600a0b80002f1e2c00004d3c6010ffff");
}

} // namespace
