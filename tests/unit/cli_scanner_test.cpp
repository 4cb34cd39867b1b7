// The option scanner and the command choice, decided from argc/argv alone:
// no handler runs and no request is sent.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "cli/frontend.h"
#include "tests/support/capture_console.h"

namespace {

// Owns modifiable copies of the words, with "fervadm" as word 0.
struct Words {
    std::vector<std::string> text;
    std::vector<char *> argv;
    explicit Words(std::vector<std::string> words)
    {
        text.push_back("fervadm");
        text.insert(text.end(), words.begin(), words.end());
        for (std::string &w : text)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
    }
    int argc() const { return (int)text.size(); }
};

const char *const firstLetters = "vd:l:p:PS?Z";

class ScannerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetGetopt();
        TakeConsoleOutput();
    }
};

TEST_F(ScannerTest, LettersShareAWordAndAnArgumentMayFollowInTheNextWord)
{
    Words w({"-Pp", "10"});
    EXPECT_EQ(getopt(w.argc(), w.argv.data(), firstLetters), 'P');
    EXPECT_EQ(getoptState.scanIndex, 1);
    EXPECT_EQ(getoptState.scanPosition, 2);
    EXPECT_EQ(getopt(w.argc(), w.argv.data(), "p:a:l:"), 'p');
    EXPECT_STREQ(getoptState.scanArgument, "10");
    EXPECT_EQ(getoptState.scanIndex, 3);
    EXPECT_EQ(getopt(w.argc(), w.argv.data(), "p:a:l:"), -1);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(ScannerTest, ArgumentInTheSameWordAndArgumentThatLooksLikeAnOption)
{
    Words w({"-dKEY", "-v"});
    EXPECT_EQ(getopt(w.argc(), w.argv.data(), firstLetters), 'd');
    EXPECT_STREQ(getoptState.scanArgument, "KEY");
    EXPECT_EQ(getoptState.scanIndex, 2);

    ResetGetopt();
    Words dash({"-d", "-v"});
    EXPECT_EQ(getopt(dash.argc(), dash.argv.data(), firstLetters), 'd');
    EXPECT_STREQ(getoptState.scanArgument, "-v");
    EXPECT_EQ(getoptState.scanIndex, 3);
}

TEST_F(ScannerTest, StopsAtNonOptionsDashAndDoubleDash)
{
    Words plain({"foo", "-v"});
    EXPECT_EQ(getopt(plain.argc(), plain.argv.data(), firstLetters), -1);
    EXPECT_EQ(getoptState.scanIndex, 1);

    Words dash({"-", "-v"});
    EXPECT_EQ(getopt(dash.argc(), dash.argv.data(), firstLetters), -1);
    EXPECT_EQ(getoptState.scanIndex, 1);

    Words twoDashes({"--", "-v"});
    EXPECT_EQ(getopt(twoDashes.argc(), twoDashes.argv.data(), firstLetters), -1);
    EXPECT_EQ(getoptState.scanIndex, 2);

    Words none({});
    EXPECT_EQ(getopt(none.argc(), none.argv.data(), firstLetters), -1);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(ScannerTest, IllegalLettersAndMissingArguments)
{
    Words w({"-xv"});
    EXPECT_EQ(getopt(w.argc(), w.argv.data(), firstLetters), '?');
    EXPECT_EQ(TakeConsoleOutput(), "getopt: illegal option -- x\n");
    EXPECT_EQ(getopt(w.argc(), w.argv.data(), firstLetters), 'v');
    EXPECT_EQ(getoptState.scanArgument, nullptr);

    // ':' is never an option letter, even though the text contains it.
    ResetGetopt();
    Words colon({"-:"});
    EXPECT_EQ(getopt(colon.argc(), colon.argv.data(), firstLetters), '?');
    EXPECT_EQ(TakeConsoleOutput(), "getopt: illegal option -- :\n");

    ResetGetopt();
    Words missing({"-d"});
    EXPECT_EQ(getopt(missing.argc(), missing.argv.data(), firstLetters), '?');
    EXPECT_EQ(TakeConsoleOutput(), "getopt: option requires an argument -- d\n");
    EXPECT_EQ(getoptState.scanArgument, nullptr);
    EXPECT_EQ(getoptState.scanPosition, 1);

    // A leading ':' in the letters silences the scanner and tells the two
    // failures apart.
    ResetGetopt();
    EXPECT_EQ(getopt(missing.argc(), missing.argv.data(), ":d:"), ':');
    ResetGetopt();
    EXPECT_EQ(getopt(w.argc(), w.argv.data(), ":d:"), '?');
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(ScannerTest, IllegalLetterKeepsThePreviousArgument)
{
    Words w({"-d", "KEY", "-x"});
    EXPECT_EQ(getopt(w.argc(), w.argv.data(), firstLetters), 'd');
    EXPECT_EQ(getopt(w.argc(), w.argv.data(), "rv"), '?');
    EXPECT_STREQ(getoptState.scanArgument, "KEY");
    EXPECT_EQ(TakeConsoleOutput(), "getopt: illegal option -- x\n");
}

// ---- the grammar table, row by row ---------------------------------------------------

const char *const keyText = "000102030405060708090a0b0c0d0e0f";

struct Case {
    std::vector<std::string> words;
    FervCommand command;
    FervEnding ending;
    std::string printed; // what the choice itself prints
    const char *value;   // -P/-Z sub-option argument, or -p path name
};

void ExpectChoice(const Case &c)
{
    SCOPED_TRACE(::testing::PrintToString(c.words));
    Words w(c.words);
    TakeConsoleOutput();
    FervCommandChoice choice;
    ChooseCommand(w.argc(), w.argv.data(), &choice);
    EXPECT_EQ(choice.command, c.command);
    EXPECT_EQ(choice.ending, c.ending);
    EXPECT_EQ(TakeConsoleOutput(), c.printed);
    const char *got = choice.pathName != nullptr ? choice.pathName : choice.value;
    if (c.value == nullptr)
        EXPECT_EQ(got, nullptr);
    else
        EXPECT_STREQ(got, c.value);
}

const std::string echo = std::string(keyText) + " ";
const std::string illegalX = "getopt: illegal option -- x\n";

TEST(GrammarTest, AllDevicesRows)
{
    for (const Case &c : std::vector<Case>{
             {{}, FERV_CMD_SHOW_ALL, FERV_ENDING_DISPLAY, "", nullptr},
             {{"foo", "-v"}, FERV_CMD_SHOW_ALL, FERV_ENDING_DISPLAY, "", nullptr},
             {{"-"}, FERV_CMD_SHOW_ALL, FERV_ENDING_DISPLAY, "", nullptr},
             {{"--", "-v"}, FERV_CMD_SHOW_ALL, FERV_ENDING_DISPLAY, "", nullptr},
             {{"-v"}, FERV_CMD_SHOW_ALL_VERBOSE, FERV_ENDING_DISPLAY, "", nullptr},
             {{"-v", "-d", keyText}, FERV_CMD_SHOW_ALL_VERBOSE, FERV_ENDING_DISPLAY, "", nullptr},
         })
        ExpectChoice(c);
}

TEST(GrammarTest, DeviceRowsEchoTheKeyBeforeTheSecondScan)
{
    std::string k = keyText;
    for (const Case &c : std::vector<Case>{
             {{"-d", k}, FERV_CMD_SHOW_DEVICE, FERV_ENDING_DISPLAY, echo, nullptr},
             {{"-d", k, "-v"}, FERV_CMD_SHOW_DEVICE_VERBOSE, FERV_ENDING_DISPLAY, echo, nullptr},
             {{"-d", k, "-r"}, FERV_CMD_RESTORE_DEVICE, FERV_ENDING_ACTION, echo, nullptr},
             {{"-d", k, "X"}, FERV_CMD_USAGE, FERV_ENDING_USAGE, echo, nullptr},
             {{"-d", k, "-x"}, FERV_CMD_USAGE, FERV_ENDING_USAGE, echo + illegalX, nullptr},
             // The count alone decides whether the second scan runs.
             {{"-d" + k, "-v"}, FERV_CMD_SHOW_DEVICE, FERV_ENDING_DISPLAY, echo, nullptr},
             {{"-d" + k, "-v", "X"}, FERV_CMD_SHOW_DEVICE_VERBOSE, FERV_ENDING_DISPLAY, echo, nullptr},
             {{"-d", k, "-vr"}, FERV_CMD_SHOW_DEVICE_VERBOSE, FERV_ENDING_DISPLAY, echo, nullptr},
             {{"-d", k, "-rv"}, FERV_CMD_RESTORE_DEVICE, FERV_ENDING_ACTION, echo, nullptr},
         })
        ExpectChoice(c);

    Words w({"-d", keyText, "-r"});
    FervCommandChoice choice;
    ChooseCommand(w.argc(), w.argv.data(), &choice);
    TakeConsoleOutput();
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(choice.key.bytes[i], i);
}

TEST(GrammarTest, LunRowsDoNotEcho)
{
    std::string k = keyText;
    for (const Case &c : std::vector<Case>{
             {{"-l", k}, FERV_CMD_SHOW_LUN, FERV_ENDING_DISPLAY, "", nullptr},
             {{"-l", k, "-v"}, FERV_CMD_SHOW_LUN_VERBOSE, FERV_ENDING_DISPLAY, "", nullptr},
             {{"-l", k, "-r"}, FERV_CMD_RESTORE_LUN, FERV_ENDING_ACTION, "", nullptr},
             {{"-l", k, "-m"}, FERV_CMD_LUN_STATISTICS, FERV_ENDING_DISPLAY, "", nullptr},
             {{"-l", k, "-a"}, FERV_CMD_USAGE, FERV_ENDING_USAGE,
              "getopt: illegal option -- a\n", nullptr},
             {{"-l", k, "m"}, FERV_CMD_USAGE, FERV_ENDING_USAGE, "", nullptr},
         })
        ExpectChoice(c);
}

TEST(GrammarTest, PathRows)
{
    for (const Case &c : std::vector<Case>{
             {{"-p", "p1"}, FERV_CMD_SHOW_PATH, FERV_ENDING_DISPLAY, "", "p1"},
             {{"-p", "p1", "-v"}, FERV_CMD_SHOW_PATH_VERBOSE, FERV_ENDING_DISPLAY, "", "p1"},
             {{"-p", "p1", "-a"}, FERV_CMD_ACTIVATE_PATH, FERV_ENDING_ACTION, "", "p1"},
             {{"-p", "p1", "-e"}, FERV_CMD_ENABLE_PATH, FERV_ENDING_ACTION, "", "p1"},
             {{"-p", "p1", "-d"}, FERV_CMD_DISABLE_PATH, FERV_ENDING_ACTION, "", "p1"},
             {{"-p", "p1", "-m"}, FERV_CMD_PATH_STATISTICS, FERV_ENDING_DISPLAY, "", "p1"},
             {{"-p", "p1", "-ad"}, FERV_CMD_ACTIVATE_PATH, FERV_ENDING_ACTION, "", "p1"},
             {{"-p", "p1", "-x"}, FERV_CMD_USAGE, FERV_ENDING_USAGE, illegalX, "p1"},
         })
        ExpectChoice(c);
}

TEST(GrammarTest, PublicParameterRows)
{
    for (const Case &c : std::vector<Case>{
             {{"-P"}, FERV_CMD_SHOW_PUBLIC, FERV_ENDING_DISPLAY, "", nullptr},
             {{"-Pp10"}, FERV_CMD_SHOW_PUBLIC, FERV_ENDING_DISPLAY, "", nullptr},
             {{"-P", "-p", "10"}, FERV_CMD_SET_POLL_RATE, FERV_ENDING_ACTION, "", "10"},
             {{"-Pp", "10"}, FERV_CMD_SET_POLL_RATE, FERV_ENDING_ACTION, "", "10"},
             {{"-P", "-p", "10", "-a", "1"}, FERV_CMD_SET_POLL_RATE, FERV_ENDING_ACTION, "", "10"},
             {{"-P", "-a", "1"}, FERV_CMD_SET_AUTO_FAILBACK, FERV_ENDING_ACTION, "", "1"},
             {{"-P", "-l", "1f"}, FERV_CMD_SET_LOG_LEVEL, FERV_ENDING_ACTION, "", "1f"},
             {{"-P", "10"}, FERV_CMD_USAGE, FERV_ENDING_USAGE, "", nullptr},
             {{"-P", "-p"}, FERV_CMD_USAGE, FERV_ENDING_USAGE,
              "getopt: option requires an argument -- p\n", nullptr},
             {{"-P", "-v"}, FERV_CMD_USAGE, FERV_ENDING_USAGE,
              "getopt: illegal option -- v\n", nullptr},
         })
        ExpectChoice(c);
}

TEST(GrammarTest, WaitPrivateAndUsageRows)
{
    for (const Case &c : std::vector<Case>{
             {{"-S"}, FERV_CMD_WAIT_FOR_CHANGE, FERV_ENDING_ACTION, "", nullptr},
             {{"-Z"}, FERV_CMD_USAGE, FERV_ENDING_USAGE, "", nullptr},
             {{"-Z", "-r", "1f"}, FERV_CMD_SET_PARAM_R, FERV_ENDING_ACTION, "", "1f"},
             {{"-Z", "-t", "1f"}, FERV_CMD_SET_PARAM_T, FERV_ENDING_ACTION, "", "1f"},
             {{"-Z", "-d", "1f"}, FERV_CMD_SET_PARAM_D, FERV_ENDING_ACTION, "", "1f"},
             {{"-Z", "-x", "1"}, FERV_CMD_USAGE, FERV_ENDING_USAGE, illegalX, nullptr},
             {{"-Z", "-t"}, FERV_CMD_USAGE, FERV_ENDING_USAGE,
              "getopt: option requires an argument -- t\n", nullptr},
             {{"-?"}, FERV_CMD_USAGE, FERV_ENDING_USAGE, "", nullptr},
             {{"-x"}, FERV_CMD_USAGE, FERV_ENDING_USAGE, illegalX, nullptr},
             {{"-d"}, FERV_CMD_USAGE, FERV_ENDING_USAGE,
              "getopt: option requires an argument -- d\n", nullptr},
             {{"-l"}, FERV_CMD_USAGE, FERV_ENDING_USAGE,
              "getopt: option requires an argument -- l\n", nullptr},
             {{"-p"}, FERV_CMD_USAGE, FERV_ENDING_USAGE,
              "getopt: option requires an argument -- p\n", nullptr},
         })
        ExpectChoice(c);
}

} // namespace
