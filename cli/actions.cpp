// The action commands (activate, enable, disable a path; restore the
// preferred paths of a LUN or of a whole device) and the two statistics
// reports. One library call per command, sent once.
#include "frontend.h"

#include "console/ferv_console.h"

// The library prints the device command's counts itself when the driver
// reports a failure; on success they are not shown.
FERV_STATUS RestoreDevice(const FervWwnKey *key)
{
    FervDeviceCommand cmd = {};
    cmd.command = FERV_DEVICE_CMD_RESTORE_PREFERRED;
    return FervIssueDeviceCommand(key, &cmd);
}

FERV_STATUS RestoreLun(const FervWwnKey *key)
{
    uint8_t command = FERV_LUN_CMD_RESTORE_PREFERRED;
    return FervIssueLUNCommand(key, &command);
}

FERV_STATUS IssuePathAction(const char *pathName, uint8_t command)
{
    return FervIssuePathCommand(pathName, &command);
}

static void PrintCounters(const FervStatistics *counters)
{
    FervPrint("  Host Requests:      %u\n", (unsigned)counters->hostRequests);
    FervPrint("  Outstanding IO:     %u\n", (unsigned)counters->outstandingIo);
    FervPrint("  Blocks Transferred: %u\n", (unsigned)counters->blocksTransferred);
    FervPrint("  IO Errors:          %u\n", (unsigned)counters->ioErrors);
}

void PrintLunStatistics(const FervWwnKey *key, const FervStatistics *counters)
{
    FervPrint("LUN Statistics\n");
    FervPrint("  LUN:               ");
    PrintWwnKey(key);
    FervPrint("\n");
    PrintCounters(counters);
}

// The name is shown whole, as typed, even where the request carried only its
// first 80 characters.
void PrintPathStatistics(const char *pathName, const FervStatistics *counters)
{
    FervPrint("Path Statistics\n");
    FervPrint("  Path:               %s\n", pathName);
    PrintCounters(counters);
}

// Any code but 0 (14 included) means no report: the caller prints the status.
FERV_STATUS ShowLunStatistics(const FervWwnKey *key)
{
    FervStatistics counters = {};
    FERV_STATUS code = FervGetLUNStatistics(key, &counters);
    if (code == FERV_STATUS_SUCCESS)
        PrintLunStatistics(key, &counters);
    return code;
}

FERV_STATUS ShowPathStatistics(const char *pathName)
{
    FervStatistics counters = {};
    FERV_STATUS code = FervGetPathStatistics(pathName, &counters);
    if (code == FERV_STATUS_SUCCESS)
        PrintPathStatistics(pathName, &counters);
    return code;
}
