// fervmon: alerting, metrics and a change log for the multipath-failover
// storage driver, on FervLib.
#include <stdio.h>

#include <string>

#include "channel/ferv_channel_select.h"
#include "check.h"
#include "metrics.h"
#include "options.h"
#include "watch.h"

#ifndef FERV_MON_VERSION
#define FERV_MON_VERSION "0"
#endif

int main(int argc, char **argv)
{
    MonOptions options;
    std::string error;
    if (!MonParseCommandLine(argc, argv, &options, &error)) {
        // A monitoring system reads a plugin's standard output only.
        FILE *to = options.command == MON_COMMAND_CHECK ? stdout : stderr;
        fputs(MonUsageErrorText(options.command, error).c_str(), to);
        return MonUsageExitStatus(options.command);
    }
    if (options.help) {
        fputs(MonHelpText(options.command).c_str(), stdout);
        return 0;
    }
    if (options.version) {
        fputs("fervmon " FERV_MON_VERSION "\n", stdout);
        return 0;
    }
    FervSelectControlDevice(options.controlDevice);
    switch (options.command) {
    case MON_COMMAND_CHECK:
        return MonRunCheck(options);
    case MON_COMMAND_METRICS:
        return MonRunMetrics(options);
    case MON_COMMAND_WATCH:
        return MonRunWatch(options);
    default:
        fputs(MonUsageErrorText(MON_COMMAND_NONE, "no command given").c_str(), stderr);
        return MonUsageExitStatus(MON_COMMAND_NONE);
    }
}
