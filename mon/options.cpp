#include "options.h"

#include <limits.h>
#include <string.h>

#include "topology.h"

// One command word.
struct MonCommandRow {
    const char *name;
    const char *summary;    // one line, for the general help
    const char *exitStatus; // the command's exit statuses, for its help
};

static const MonCommandRow commandRows[] = {
    {"", "", ""},
    {"check", "judge every LUN's paths as a monitoring plugin (Nagios, Icinga, NSClient++)",
     "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (also for a usage error)."},
    {"metrics", "print paths, states, counters and parameters for Prometheus",
     "Exit status: 0 written; 1 the driver could not be read (ferv_scrape_success 0 is\n"
     "written) or the output could not be written; 2 usage error."},
    {"watch", "print a line for every change of paths, LUNs and devices as it happens",
     "Exit status: 0 when stopped by SIGINT or SIGTERM (Ctrl-C or Ctrl-Break); 2 usage error."},
};
static_assert(sizeof commandRows / sizeof commandRows[0] == MON_COMMAND_COUNT, "one row per command");

enum MonOptionId {
    MON_OPT_CONTROL,
    MON_OPT_HELP,
    MON_OPT_VERSION,
    MON_OPT_MIN_PATHS,
    MON_OPT_LUN,
    MON_OPT_DEVICE,
    MON_OPT_VERBOSE,
    MON_OPT_TIMEOUT,
    MON_OPT_OUTPUT,
    MON_OPT_JSON,
    MON_OPT_INTERVAL,
};

// Where an option may stand: before the command word, or after it for the
// commands whose bits are set.
enum {
    MON_BEFORE_COMMAND = 1u << MON_COMMAND_NONE,
    MON_FOR_CHECK = 1u << MON_COMMAND_CHECK,
    MON_FOR_METRICS = 1u << MON_COMMAND_METRICS,
    MON_FOR_WATCH = 1u << MON_COMMAND_WATCH,
    MON_ANYWHERE = MON_BEFORE_COMMAND | MON_FOR_CHECK | MON_FOR_METRICS | MON_FOR_WATCH,
};

struct MonOptionRow {
    MonOptionId id;
    const char *longName;
    char shortName;        // 0: none
    const char *valueName; // null: the option takes no value
    unsigned where;
    const char *help;
};

static const MonOptionRow optionRows[] = {
    {MON_OPT_MIN_PATHS, "min-paths", 0, "N", MON_FOR_CHECK,
     "warn when a LUN has fewer than N healthy paths (default 2)"},
    {MON_OPT_LUN, "lun", 0, "WWN", MON_FOR_CHECK, "check this LUN only (may be given more than once)"},
    {MON_OPT_DEVICE, "device", 0, "WWN", MON_FOR_CHECK,
     "check the LUNs of this device only (may be given more than once)"},
    {MON_OPT_VERBOSE, "verbose", 'v', nullptr, MON_FOR_CHECK, "list every finding on a line of its own"},
    {MON_OPT_TIMEOUT, "timeout", 't', "SECONDS", MON_FOR_CHECK,
     "UNKNOWN when the driver has not answered after SECONDS (default 10, 0: wait)"},
    {MON_OPT_OUTPUT, "output", 'o', "FILE", MON_FOR_METRICS,
     "write FILE through a temporary file beside it and a rename"},
    {MON_OPT_JSON, "json", 0, nullptr, MON_FOR_WATCH, "print one JSON object per line"},
    {MON_OPT_INTERVAL, "interval", 0, "SECONDS", MON_FOR_WATCH,
     "seconds between attempts while the driver is away (default 2)"},
    {MON_OPT_CONTROL, "control", 0, nullptr, MON_ANYWHERE,
     "reach the driver through its control device, not its device interfaces"},
    {MON_OPT_HELP, "help", 'h', nullptr, MON_ANYWHERE, "show this help"},
    {MON_OPT_VERSION, "version", 'V', nullptr, MON_ANYWHERE, "show the version"},
};

static bool OptionAllowed(const MonOptionRow &row, MonCommand command)
{
    return (row.where & (1u << command)) != 0;
}

// The option a word names: "--name", "--name=value", "-x" or "-xVALUE".
// Returns the row or null; *attached points at a value written into the
// same word, or is null.
static const MonOptionRow *FindOption(const char *word, const char **attached)
{
    *attached = nullptr;
    if (word[1] == '-') {
        const char *name = word + 2;
        const char *equals = strchr(name, '=');
        size_t length = equals ? (size_t)(equals - name) : strlen(name);
        for (const MonOptionRow &row : optionRows) {
            if (strlen(row.longName) == length && strncmp(row.longName, name, length) == 0) {
                if (equals)
                    *attached = equals + 1;
                return &row;
            }
        }
        return nullptr;
    }
    for (const MonOptionRow &row : optionRows) {
        if (row.shortName != 0 && word[1] == row.shortName) {
            if (word[2] != '\0')
                *attached = word + 2;
            return &row;
        }
    }
    return nullptr;
}

// A whole decimal number from min to max, nothing else in the text.
static bool ParseWhole(const char *text, int min, int max, int *value)
{
    if (*text == '\0')
        return false;
    long long n = 0;
    for (const char *c = text; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return false;
        n = n * 10 + (*c - '0');
        if (n > max)
            return false;
    }
    if (n < min)
        return false;
    *value = (int)n;
    return true;
}

static std::string OptionName(const MonOptionRow &row)
{
    return std::string("--") + row.longName;
}

// Takes the value of one option into *options.
static bool ApplyOption(const MonOptionRow &row, const char *value, MonOptions *options, std::string *error)
{
    switch (row.id) {
    case MON_OPT_CONTROL:
        options->controlDevice = true;
        return true;
    case MON_OPT_HELP:
        options->help = true;
        return true;
    case MON_OPT_VERSION:
        options->version = true;
        return true;
    case MON_OPT_VERBOSE:
        options->verbose = true;
        return true;
    case MON_OPT_JSON:
        options->json = true;
        return true;
    case MON_OPT_MIN_PATHS:
        if (ParseWhole(value, 1, INT_MAX, &options->minPaths))
            return true;
        *error = OptionName(row) + " needs a whole number of at least 1, not '" + value + "'";
        return false;
    case MON_OPT_TIMEOUT:
        if (ParseWhole(value, 0, 86400, &options->timeoutSeconds))
            return true;
        *error = OptionName(row) + " needs a whole number of seconds from 0 to 86400, not '" + value + "'";
        return false;
    case MON_OPT_INTERVAL:
        if (ParseWhole(value, 1, 3600, &options->intervalSeconds))
            return true;
        *error = OptionName(row) + " needs a whole number of seconds from 1 to 3600, not '" + value + "'";
        return false;
    case MON_OPT_LUN:
    case MON_OPT_DEVICE: {
        FervWwnKey key;
        if (!MonParseWwn(value, &key)) {
            *error = OptionName(row) + " needs a world-wide name of 32 hexadecimal digits, not '" + value + "'";
            return false;
        }
        (row.id == MON_OPT_LUN ? options->luns : options->devices).push_back(key);
        return true;
    }
    case MON_OPT_OUTPUT:
        if (*value == '\0') {
            *error = OptionName(row) + " needs a file name";
            return false;
        }
        options->output = value;
        return true;
    }
    return false;
}

bool MonParseCommandLine(int argc, char **argv, MonOptions *options, std::string *error)
{
    *options = MonOptions();
    for (int i = 1; i < argc; i++) {
        const char *word = argv[i];
        if (word[0] != '-' || word[1] == '\0') {
            if (options->command != MON_COMMAND_NONE) {
                *error = std::string("unexpected argument '") + word + "'";
                return false;
            }
            for (int c = MON_COMMAND_NONE + 1; c < MON_COMMAND_COUNT; c++) {
                if (strcmp(word, commandRows[c].name) == 0)
                    options->command = (MonCommand)c;
            }
            if (options->command == MON_COMMAND_NONE) {
                *error = std::string("unknown command '") + word + "'";
                return false;
            }
            continue;
        }
        const char *attached;
        const MonOptionRow *row = FindOption(word, &attached);
        if (row == nullptr || !OptionAllowed(*row, options->command)) {
            if (row != nullptr && options->command == MON_COMMAND_NONE)
                *error = std::string("option '") + word + "' belongs after a command";
            else
                *error = std::string("unknown option '") + word + "'";
            return false;
        }
        const char *value = nullptr;
        if (row->valueName != nullptr) {
            if (attached != nullptr) {
                value = attached;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                *error = "option " + OptionName(*row) + " needs a value " + row->valueName;
                return false;
            }
        } else if (attached != nullptr) {
            *error = std::string("option ") + OptionName(*row) + " takes no value";
            return false;
        }
        if (!ApplyOption(*row, value, options, error))
            return false;
    }
    return true;
}

int MonUsageExitStatus(MonCommand command)
{
    return command == MON_COMMAND_CHECK ? 3 : 2;
}

static std::string Synopsis(MonCommand command)
{
    if (command == MON_COMMAND_NONE)
        return "Usage: fervmon [--control] COMMAND [OPTION...]\n";
    return std::string("Usage: fervmon ") + commandRows[command].name + " [OPTION...]\n";
}

// The option list of one place: "  -v, --verbose          list ...".
static std::string OptionList(MonCommand command)
{
    std::string text;
    for (const MonOptionRow &row : optionRows) {
        if (!OptionAllowed(row, command))
            continue;
        std::string left = row.shortName ? std::string("  -") + row.shortName + ", " : std::string("      ");
        left += OptionName(row);
        if (row.valueName)
            left += std::string(" ") + row.valueName;
        if (left.size() < 26)
            left.resize(26, ' ');
        else
            left += "  ";
        text += left + row.help + "\n";
    }
    return text;
}

std::string MonHelpText(MonCommand command)
{
    std::string text = Synopsis(command);
    if (command == MON_COMMAND_NONE) {
        text += "Monitoring of the multipath-failover storage driver.\n\nCommands:\n";
        for (int c = MON_COMMAND_NONE + 1; c < MON_COMMAND_COUNT; c++) {
            std::string name = std::string("  ") + commandRows[c].name;
            name.resize(12, ' ');
            text += name + commandRows[c].summary + "\n";
        }
        text += "\nOptions:\n" + OptionList(command);
        text += "\nRun 'fervmon COMMAND --help' for the options of a command.\n";
        return text;
    }
    text += std::string("Monitoring of the storage driver: ") + commandRows[command].summary + ".\n";
    text += "\nOptions:\n" + OptionList(command);
    text += std::string("\n") + commandRows[command].exitStatus + "\n";
    return text;
}

std::string MonUsageErrorText(MonCommand command, const std::string &error)
{
    std::string help = command == MON_COMMAND_NONE ? std::string("fervmon --help")
                                                   : std::string("fervmon ") + commandRows[command].name + " --help";
    std::string who =
        command == MON_COMMAND_NONE ? std::string("fervmon") : std::string("fervmon ") + commandRows[command].name;
    return who + ": " + error + "\n" + Synopsis(command) + "Run '" + help + "' for more.\n";
}
