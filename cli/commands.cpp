// The command grammar, the choice of one command from the command line, and
// the three ways a command ends. The choice is data plus one routine that
// only scans and prints what scanning prints, so it can be checked row by
// row without a handler or the driver.
#include "frontend.h"

// Letters of the first scan. -? is a letter of its own here, so it selects
// the usage text without the illegal-option message.
static const char firstScanLetters[] = "vd:l:p:PS?Z";

typedef enum OptionArgument {
    OPTION_ARGUMENT_NONE,
    OPTION_ARGUMENT_KEY, // a world-wide name, parsed at once
    OPTION_ARGUMENT_PATH // a path name, kept as typed
} OptionArgument;

// How each result of the first scan goes on. Whether the second scan runs
// depends on the argument count alone, never on what the words hold.
typedef struct OptionScan {
    int option;
    OptionArgument argument;
    bool echoKey;           // print the key before anything else follows
    int subScanFromCount;   // the second scan runs when argc is this or more; 0 = never
    const char *subOptions; // letters of the second scan
} OptionScan;

// One row an option, in the order the grammar tries them.
// clang-format off
static const OptionScan optionScans[] = {
    {-1, OPTION_ARGUMENT_NONE, false, 0, nullptr},
    {'v', OPTION_ARGUMENT_NONE, false, 0, nullptr},
    {'d', OPTION_ARGUMENT_KEY, true, 4, "rv"},
    {'l', OPTION_ARGUMENT_KEY, false, 4, "rmv"},
    {'p', OPTION_ARGUMENT_PATH, false, 4, "ademv"},
    {'P', OPTION_ARGUMENT_NONE, false, 3, "p:a:l:"},
    {'S', OPTION_ARGUMENT_NONE, false, 0, nullptr},
    {'Z', OPTION_ARGUMENT_NONE, false, 3, "r:t:d:"},
    {'?', OPTION_ARGUMENT_NONE, false, 0, nullptr},
};
// clang-format on

// Second-scan results that are not a letter.
enum {
    SUB_NOT_SCANNED = -2, // the count was below the option's threshold
    SUB_ANY_OTHER = -3    // any result that no row of the option names
};

typedef struct GrammarRow {
    int option;
    int subOption;
    FervCommand command;
    FervEnding ending;
} GrammarRow;

static const GrammarRow grammar[] = {
    {-1, SUB_NOT_SCANNED, FERV_CMD_SHOW_ALL, FERV_ENDING_DISPLAY},
    {'v', SUB_NOT_SCANNED, FERV_CMD_SHOW_ALL_VERBOSE, FERV_ENDING_DISPLAY},

    {'d', SUB_NOT_SCANNED, FERV_CMD_SHOW_DEVICE, FERV_ENDING_DISPLAY},
    {'d', 'v', FERV_CMD_SHOW_DEVICE_VERBOSE, FERV_ENDING_DISPLAY},
    {'d', 'r', FERV_CMD_RESTORE_DEVICE, FERV_ENDING_ACTION},
    {'d', SUB_ANY_OTHER, FERV_CMD_USAGE, FERV_ENDING_USAGE},

    {'l', SUB_NOT_SCANNED, FERV_CMD_SHOW_LUN, FERV_ENDING_DISPLAY},
    {'l', 'v', FERV_CMD_SHOW_LUN_VERBOSE, FERV_ENDING_DISPLAY},
    {'l', 'r', FERV_CMD_RESTORE_LUN, FERV_ENDING_ACTION},
    {'l', 'm', FERV_CMD_LUN_STATISTICS, FERV_ENDING_DISPLAY},
    {'l', SUB_ANY_OTHER, FERV_CMD_USAGE, FERV_ENDING_USAGE},

    {'p', SUB_NOT_SCANNED, FERV_CMD_SHOW_PATH, FERV_ENDING_DISPLAY},
    {'p', 'v', FERV_CMD_SHOW_PATH_VERBOSE, FERV_ENDING_DISPLAY},
    {'p', 'a', FERV_CMD_ACTIVATE_PATH, FERV_ENDING_ACTION},
    {'p', 'e', FERV_CMD_ENABLE_PATH, FERV_ENDING_ACTION},
    {'p', 'd', FERV_CMD_DISABLE_PATH, FERV_ENDING_ACTION},
    {'p', 'm', FERV_CMD_PATH_STATISTICS, FERV_ENDING_DISPLAY},
    {'p', SUB_ANY_OTHER, FERV_CMD_USAGE, FERV_ENDING_USAGE},

    {'P', SUB_NOT_SCANNED, FERV_CMD_SHOW_PUBLIC, FERV_ENDING_DISPLAY},
    {'P', 'p', FERV_CMD_SET_POLL_RATE, FERV_ENDING_ACTION},
    {'P', 'a', FERV_CMD_SET_AUTO_FAILBACK, FERV_ENDING_ACTION},
    {'P', 'l', FERV_CMD_SET_LOG_LEVEL, FERV_ENDING_ACTION},
    {'P', SUB_ANY_OTHER, FERV_CMD_USAGE, FERV_ENDING_USAGE},

    {'S', SUB_NOT_SCANNED, FERV_CMD_WAIT_FOR_CHANGE, FERV_ENDING_ACTION},

    {'Z', SUB_NOT_SCANNED, FERV_CMD_USAGE, FERV_ENDING_USAGE},
    {'Z', 'r', FERV_CMD_SET_PARAM_R, FERV_ENDING_ACTION},
    {'Z', 't', FERV_CMD_SET_PARAM_T, FERV_ENDING_ACTION},
    {'Z', 'd', FERV_CMD_SET_PARAM_D, FERV_ENDING_ACTION},
    {'Z', SUB_ANY_OTHER, FERV_CMD_USAGE, FERV_ENDING_USAGE},

    {'?', SUB_NOT_SCANNED, FERV_CMD_USAGE, FERV_ENDING_USAGE},
};

static const OptionScan *FindOptionScan(int option)
{
    for (const OptionScan &scan : optionScans) {
        if (scan.option == option)
            return &scan;
    }
    return nullptr;
}

static const GrammarRow *FindGrammarRow(int option, int subOption)
{
    for (const GrammarRow &row : grammar) {
        if (row.option == option && row.subOption == subOption)
            return &row;
    }
    if (subOption == SUB_NOT_SCANNED)
        return nullptr;
    for (const GrammarRow &row : grammar) {
        if (row.option == option && row.subOption == SUB_ANY_OTHER)
            return &row;
    }
    return nullptr;
}

void ChooseCommand(int argc, char **argv, FervCommandChoice *choice)
{
    *choice = FervCommandChoice{};
    choice->command = FERV_CMD_USAGE;
    choice->ending = FERV_ENDING_USAGE;

    ResetOptionScan();
    int option = ScanOption(argc, argv, firstScanLetters);
    const OptionScan *scan = FindOptionScan(option);
    if (scan == nullptr)
        return;

    if (scan->argument == OPTION_ARGUMENT_KEY)
        ParseWwnKey(optionScan.scanArgument, &choice->key);
    else if (scan->argument == OPTION_ARGUMENT_PATH)
        choice->pathName = optionScan.scanArgument;
    // The echo comes before the second scan, so whatever follows (a
    // report, a scanner message, the usage text) continues its line.
    if (scan->echoKey)
        PrintWwnKey(&choice->key);

    int subOption = SUB_NOT_SCANNED;
    if (scan->subScanFromCount != 0 && argc >= scan->subScanFromCount) {
        subOption = ScanOption(argc, argv, scan->subOptions);
        if (subOption != -1 && subOption != '?' && subOption != ':')
            choice->value = optionScan.scanArgument;
    }

    const GrammarRow *row = FindGrammarRow(option, subOption);
    if (row == nullptr)
        return;
    choice->command = row->command;
    choice->ending = row->ending;
}

// ---- the handlers --------------------------------------------------------------------
typedef FERV_STATUS (*CommandHandler)(const FervCommandChoice *choice);

// clang-format off
static FERV_STATUS RunShowAll(const FervCommandChoice *) { return ShowAllDevices(0); }
static FERV_STATUS RunShowAllVerbose(const FervCommandChoice *) { return ShowAllDevices(1); }
static FERV_STATUS RunShowDevice(const FervCommandChoice *c) { return ShowDevice(&c->key, 0); }
static FERV_STATUS RunShowDeviceVerbose(const FervCommandChoice *c) { return ShowDevice(&c->key, 1); }
static FERV_STATUS RunRestoreDevice(const FervCommandChoice *c) { return RestoreDevice(&c->key); }
static FERV_STATUS RunShowLun(const FervCommandChoice *c) { return ShowLun(&c->key, 0); }
static FERV_STATUS RunShowLunVerbose(const FervCommandChoice *c) { return ShowLun(&c->key, 1); }
static FERV_STATUS RunRestoreLun(const FervCommandChoice *c) { return RestoreLun(&c->key); }
static FERV_STATUS RunLunStatistics(const FervCommandChoice *c) { return ShowLunStatistics(&c->key); }
static FERV_STATUS RunShowPath(const FervCommandChoice *c) { return ShowPath(c->pathName, 0); }
static FERV_STATUS RunShowPathVerbose(const FervCommandChoice *c) { return ShowPath(c->pathName, 1); }
// clang-format on

static FERV_STATUS RunActivatePath(const FervCommandChoice *c)
{
    return IssuePathAction(c->pathName, FERV_PATH_CMD_ACTIVATE);
}

static FERV_STATUS RunEnablePath(const FervCommandChoice *c)
{
    return IssuePathAction(c->pathName, FERV_PATH_CMD_ENABLE);
}

static FERV_STATUS RunDisablePath(const FervCommandChoice *c)
{
    return IssuePathAction(c->pathName, FERV_PATH_CMD_DISABLE);
}

// clang-format off
static FERV_STATUS RunPathStatistics(const FervCommandChoice *c) { return ShowPathStatistics(c->pathName); }
static FERV_STATUS RunShowPublic(const FervCommandChoice *) { return ShowPublicParameters(); }
static FERV_STATUS RunSetPollRate(const FervCommandChoice *c) { return SetPollRate(c->value); }
static FERV_STATUS RunSetAutoFailBack(const FervCommandChoice *c) { return SetAutoFailBack(c->value); }
static FERV_STATUS RunSetLogLevel(const FervCommandChoice *c) { return SetLogLevel(c->value); }
static FERV_STATUS RunWaitForChange(const FervCommandChoice *) { return WaitForChange(); }
// clang-format on

static FERV_STATUS RunSetParamR(const FervCommandChoice *c)
{
    return ApplyPrivateParameters(ConvertNumber(c->value, 16), FERV_KEEP_PARAMETER, FERV_KEEP_PARAMETER);
}

static FERV_STATUS RunSetParamT(const FervCommandChoice *c)
{
    return ApplyPrivateParameters(FERV_KEEP_PARAMETER, ConvertNumber(c->value, 16), FERV_KEEP_PARAMETER);
}

static FERV_STATUS RunSetParamD(const FervCommandChoice *c)
{
    return ApplyPrivateParameters(FERV_KEEP_PARAMETER, FERV_KEEP_PARAMETER, ConvertNumber(c->value, 16));
}

typedef struct CommandEntry {
    FervCommand command;
    CommandHandler handler; // null: the usage ending needs none
} CommandEntry;

static constexpr CommandEntry commandHandlers[] = {
    {FERV_CMD_SHOW_ALL, RunShowAll},
    {FERV_CMD_SHOW_ALL_VERBOSE, RunShowAllVerbose},
    {FERV_CMD_SHOW_DEVICE, RunShowDevice},
    {FERV_CMD_SHOW_DEVICE_VERBOSE, RunShowDeviceVerbose},
    {FERV_CMD_RESTORE_DEVICE, RunRestoreDevice},
    {FERV_CMD_SHOW_LUN, RunShowLun},
    {FERV_CMD_SHOW_LUN_VERBOSE, RunShowLunVerbose},
    {FERV_CMD_RESTORE_LUN, RunRestoreLun},
    {FERV_CMD_LUN_STATISTICS, RunLunStatistics},
    {FERV_CMD_SHOW_PATH, RunShowPath},
    {FERV_CMD_SHOW_PATH_VERBOSE, RunShowPathVerbose},
    {FERV_CMD_ACTIVATE_PATH, RunActivatePath},
    {FERV_CMD_ENABLE_PATH, RunEnablePath},
    {FERV_CMD_DISABLE_PATH, RunDisablePath},
    {FERV_CMD_PATH_STATISTICS, RunPathStatistics},
    {FERV_CMD_SHOW_PUBLIC, RunShowPublic},
    {FERV_CMD_SET_POLL_RATE, RunSetPollRate},
    {FERV_CMD_SET_AUTO_FAILBACK, RunSetAutoFailBack},
    {FERV_CMD_SET_LOG_LEVEL, RunSetLogLevel},
    {FERV_CMD_WAIT_FOR_CHANGE, RunWaitForChange},
    {FERV_CMD_SET_PARAM_R, RunSetParamR},
    {FERV_CMD_SET_PARAM_T, RunSetParamT},
    {FERV_CMD_SET_PARAM_D, RunSetParamD},
    {FERV_CMD_USAGE, nullptr},
};
static_assert(sizeof commandHandlers / sizeof commandHandlers[0] == FERV_CMD_COUNT, "one handler entry per command");

static constexpr bool HandlersInCommandOrder()
{
    for (size_t i = 0; i < sizeof commandHandlers / sizeof commandHandlers[0]; i++) {
        if (commandHandlers[i].command != (FervCommand)i)
            return false;
    }
    return true;
}
static_assert(HandlersInCommandOrder(), "handler entries stand in command order");

FERV_STATUS RunCommand(const FervCommandChoice *choice)
{
    CommandHandler handler = choice->command < FERV_CMD_COUNT ? commandHandlers[choice->command].handler : nullptr;
    if (choice->ending == FERV_ENDING_USAGE || handler == nullptr) {
        PrintUsage();
        return FERV_STATUS_SUCCESS;
    }
    FERV_STATUS code = handler(choice);
    if (choice->ending == FERV_ENDING_ACTION || code != FERV_STATUS_SUCCESS)
        PrintStatus(code);
    return code;
}

int FervAdmMain(int argc, char **argv)
{
    FervCommandChoice choice;
    ChooseCommand(argc, argv, &choice);
    return (int)RunCommand(&choice);
}
