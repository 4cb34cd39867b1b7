// fervmon's command line: `fervmon [--control] COMMAND [OPTION...]`.
//
// The commands and their options are two tables; the parser, the help
// texts and the usage errors are all read from them.
#ifndef FERV_MON_OPTIONS_H
#define FERV_MON_OPTIONS_H

#include <stdio.h>

#include <string>
#include <vector>

#include "lib/fervlib.h"

enum MonCommand {
    MON_COMMAND_NONE, // no command word (yet)
    MON_COMMAND_CHECK,
    MON_COMMAND_METRICS,
    MON_COMMAND_WATCH,
    MON_COMMAND_COUNT
};

struct MonOptions {
    MonCommand command = MON_COMMAND_NONE;
    bool help = false;    // --help: print the help of the command (or the general one)
    bool version = false; // --version
    bool controlDevice = false;
    // check
    int minPaths = 2;
    bool verbose = false;
    int timeoutSeconds = 10; // 0: no limit
    std::vector<FervWwnKey> luns;
    std::vector<FervWwnKey> devices;
    // metrics
    std::string output; // empty: standard output
    // watch
    bool json = false;
    int intervalSeconds = 2;
};

// Reads the command line into *options. Returns true when it holds
// together; otherwise false with *error saying what is wrong (options then
// holds the command, if one was named, so that the error can be reported
// the way that command reports errors).
bool MonParseCommandLine(int argc, char **argv, MonOptions *options, std::string *error);

// Exit status of a usage error: 3 (UNKNOWN) for check, as monitoring
// plugins do, 2 for the other commands and for no command.
int MonUsageExitStatus(MonCommand command);

// The help of one command, or the general help for MON_COMMAND_NONE.
std::string MonHelpText(MonCommand command);

// A usage error: the error, the command's synopsis and where to find help.
std::string MonUsageErrorText(MonCommand command, const std::string &error);

#endif
