// The option scanner and the command choice, decided from argc/argv alone:
// no handler runs and no request is sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/frontend.h"
#include "tests/support/capture_console.h"
#include "tests/unit/cli_words.h"

namespace {

const char *const first = "vd:l:p:PS?Z";

// The grammar rows below exercise shared words, glued arguments, "-", "--"
// and the scanner's messages; this covers what they cannot show.
TEST(CliScannerTest, ArgumentsThatLookLikeOptionsAndIllegalLetters)
{
    TakeConsoleOutput();
    CliWords dashed({"-d", "-v"});
    ResetOptionScan();
    EXPECT_EQ(ScanOption(dashed.argc(), dashed.argv(), first), 'd');
    EXPECT_STREQ(optionScan.scanArgument, "-v"); // taken although it begins with '-'
    EXPECT_EQ(ScanOption(dashed.argc(), dashed.argv(), "rv"), -1);

    // ':' is never a letter; an illegal letter keeps the last argument and
    // the scan goes on within its word.
    CliWords keep({"-d", "KEY", "-x:v"});
    ResetOptionScan();
    EXPECT_EQ(ScanOption(keep.argc(), keep.argv(), first), 'd');
    EXPECT_EQ(ScanOption(keep.argc(), keep.argv(), "rv"), '?');
    EXPECT_STREQ(optionScan.scanArgument, "KEY");
    EXPECT_EQ(ScanOption(keep.argc(), keep.argv(), "rv"), '?');
    EXPECT_EQ(ScanOption(keep.argc(), keep.argv(), "rv"), 'v');
    EXPECT_EQ(TakeConsoleOutput(), "getopt: illegal option -- x\ngetopt: illegal option -- :\n");
}

// ---- the grammar table, every row -------------------------------------------------------

struct Case {
    std::vector<std::string> words;
    FervCommand command;
    FervEnding ending;
    std::string printed; // what the choice itself prints: echo, scanner messages
    const char *text;    // the path name, or the -P / -Z value
};

TEST(CliGrammarTest, EveryRowFromTheWordsAlone)
{
    const std::string k = "000102030405060708090a0b0c0d0e0f", echo = k + " ";
    const std::string x = "getopt: illegal option -- x\n";
    const std::string needs = "getopt: option requires an argument -- ";
    // Endings: display (status line on failure), action (always), usage.
    const FervEnding D = FERV_ENDING_DISPLAY, A = FERV_ENDING_ACTION, U = FERV_ENDING_USAGE;
    const std::vector<Case> cases = {
        {{}, FERV_CMD_SHOW_ALL, D, "", nullptr},
        {{"foo", "-v"}, FERV_CMD_SHOW_ALL, D, "", nullptr},
        {{"-"}, FERV_CMD_SHOW_ALL, D, "", nullptr},
        {{"--", "-v"}, FERV_CMD_SHOW_ALL, D, "", nullptr},
        {{"-v", "-d", k}, FERV_CMD_SHOW_ALL_VERBOSE, D, "", nullptr},
        {{"-d", k}, FERV_CMD_SHOW_DEVICE, D, echo, nullptr},
        {{"-d", k, "-v"}, FERV_CMD_SHOW_DEVICE_VERBOSE, D, echo, nullptr},
        {{"-d", k, "-r"}, FERV_CMD_RESTORE_DEVICE, A, echo, nullptr},
        {{"-d", k, "X"}, FERV_CMD_USAGE, U, echo, nullptr},
        {{"-d", k, "-x"}, FERV_CMD_USAGE, U, echo + x, nullptr},
        {{"-d" + k, "-v"}, FERV_CMD_SHOW_DEVICE, D, echo, nullptr}, // count 3: no second scan
        {{"-d" + k, "-v", "X"}, FERV_CMD_SHOW_DEVICE_VERBOSE, D, echo, nullptr},
        {{"-d", k, "-vr"}, FERV_CMD_SHOW_DEVICE_VERBOSE, D, echo, nullptr},
        {{"-d", k, "-rv"}, FERV_CMD_RESTORE_DEVICE, A, echo, nullptr},
        {{"-l", k}, FERV_CMD_SHOW_LUN, D, "", nullptr},
        {{"-l", k, "-v"}, FERV_CMD_SHOW_LUN_VERBOSE, D, "", nullptr},
        {{"-l", k, "-r"}, FERV_CMD_RESTORE_LUN, A, "", nullptr},
        {{"-l", k, "-m"}, FERV_CMD_LUN_STATISTICS, D, "", nullptr},
        {{"-l", k, "m"}, FERV_CMD_USAGE, U, "", nullptr},
        {{"-p", "p1"}, FERV_CMD_SHOW_PATH, D, "", "p1"},
        {{"-p", "p1", "-v"}, FERV_CMD_SHOW_PATH_VERBOSE, D, "", "p1"},
        {{"-p", "p1", "-a"}, FERV_CMD_ACTIVATE_PATH, A, "", "p1"},
        {{"-p", "p1", "-ad"}, FERV_CMD_ACTIVATE_PATH, A, "", "p1"},
        {{"-p", "p1", "-e"}, FERV_CMD_ENABLE_PATH, A, "", "p1"},
        {{"-p", "p1", "-d"}, FERV_CMD_DISABLE_PATH, A, "", "p1"},
        {{"-p", "p1", "-m"}, FERV_CMD_PATH_STATISTICS, D, "", "p1"},
        {{"-p", "p1", "-x"}, FERV_CMD_USAGE, U, x, "p1"},
        {{"-P"}, FERV_CMD_SHOW_PUBLIC, D, "", nullptr},
        {{"-Pp10"}, FERV_CMD_SHOW_PUBLIC, D, "", nullptr},
        {{"-Pp", "10"}, FERV_CMD_SET_POLL_RATE, A, "", "10"},
        {{"-P", "-p", "10", "-a", "1"}, FERV_CMD_SET_POLL_RATE, A, "", "10"},
        {{"-P", "-a", "1"}, FERV_CMD_SET_AUTO_FAILBACK, A, "", "1"},
        {{"-P", "-l", "1f"}, FERV_CMD_SET_LOG_LEVEL, A, "", "1f"},
        {{"-P", "10"}, FERV_CMD_USAGE, U, "", nullptr},
        {{"-P", "-p"}, FERV_CMD_USAGE, U, needs + "p\n", nullptr},
        {{"-S"}, FERV_CMD_WAIT_FOR_CHANGE, A, "", nullptr},
        {{"-Z"}, FERV_CMD_USAGE, U, "", nullptr},
        {{"-Z", "-r", "1f"}, FERV_CMD_SET_PARAM_R, A, "", "1f"},
        {{"-Z", "-t", "1f"}, FERV_CMD_SET_PARAM_T, A, "", "1f"},
        {{"-Z", "-d", "1f"}, FERV_CMD_SET_PARAM_D, A, "", "1f"},
        {{"-Z", "-x", "1"}, FERV_CMD_USAGE, U, x, nullptr},
        {{"-?"}, FERV_CMD_USAGE, U, "", nullptr},
        {{"-x"}, FERV_CMD_USAGE, U, x, nullptr},
        {{"-d"}, FERV_CMD_USAGE, U, needs + "d\n", nullptr},
        {{"-l"}, FERV_CMD_USAGE, U, needs + "l\n", nullptr},
        {{"-p"}, FERV_CMD_USAGE, U, needs + "p\n", nullptr},
    };
    TakeConsoleOutput();
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        CliWords w(c.words);
        FervCommandChoice choice;
        ChooseCommand(w.argc(), w.argv(), &choice);
        EXPECT_EQ(choice.command, c.command);
        EXPECT_EQ(choice.ending, c.ending);
        EXPECT_EQ(TakeConsoleOutput(), c.printed);
        const char *text = choice.pathName != nullptr ? choice.pathName : choice.value;
        EXPECT_STREQ(text, c.text);
        if (c.words.size() > 1 && (c.words[0] == "-d" || c.words[0] == "-l")) {
            EXPECT_EQ(choice.key.bytes[15], 0x0f);
        }
    }
}

} // namespace
