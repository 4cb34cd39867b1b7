// fervmon check: the topology judged as a monitoring plugin judges it, in
// the convention of Nagios and Icinga (also what NSClient++ runs on
// Windows): one status line with performance data, exit status 0 OK,
// 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
#ifndef FERV_MON_CHECK_H
#define FERV_MON_CHECK_H

#include <string>
#include <vector>

#include "lib/fervlib.h"
#include "options.h"

enum MonState {
    MON_STATE_OK = 0,
    MON_STATE_WARNING = 1,
    MON_STATE_CRITICAL = 2,
    MON_STATE_UNKNOWN = 3,
};

// What can be wrong, worst first within each state. A LUN gets at most one
// of the three path-count findings (the worst that holds) and, besides, the
// preferred-path finding; a path gets the finding of its state.
enum MonFindingKind {
    MON_FINDING_LUN_MISSING,        // --lun names a LUN the driver does not show
    MON_FINDING_DEVICE_MISSING,     // --device names a device the driver does not show
    MON_FINDING_LUN_NO_USABLE_PATH, // no path up (active or standing by)
    MON_FINDING_LUN_NO_ACTIVE_PATH, // paths up, but none carries the I/O
    MON_FINDING_LUN_FEW_PATHS,      // fewer healthy paths than --min-paths
    MON_FINDING_LUN_OFF_PREFERRED,  // failback on, yet no preferred path active
    MON_FINDING_PATH_DOWN,
    MON_FINDING_PATH_DISABLED,
    MON_FINDING_PATH_TRANSITION,
    MON_FINDING_PATH_UNKNOWN, // state unknown, or a state without a name
    MON_FINDING_KIND_COUNT
};

struct MonFinding {
    MonFindingKind kind;
    const FervDevice *device; // null for a missing LUN or device
    const FervLun *lun;
    const FervPath *path; // null for a LUN finding
    int healthyPaths;     // of the LUN
    FervWwnKey missing;   // the selector of a missing LUN or device
};

struct MonCheckResult {
    MonState state;
    std::vector<MonFinding> findings; // in topology order
    int kindCounts[MON_FINDING_KIND_COUNT];
    int devices;
    int luns;
    int paths;
    int healthyPaths;
    int minPaths;
};

// Judges every LUN in scope (all of them, or those that --lun and --device
// name) and its paths. autoFailBack is the driver's parameter. A LUN or
// device that a selector names and the driver does not show is critical:
// the host has lost it, or the check names the wrong one.
void MonJudgeTopology(const FervInfoList *info, int32_t autoFailBack, const MonOptions &options,
                      MonCheckResult *result);

// The plugin output of a judged topology: the status line with its
// performance data and, with verbose, one line per finding.
std::string MonFormatCheck(const MonCheckResult &result, bool verbose);

// The plugin output when the driver could not be read: the status line,
// then the library's lines.
std::string MonFormatCheckFailure(FERV_STATUS status, const std::string &libraryLines);

// The whole command: reads, judges, prints. Returns the exit status.
int MonRunCheck(const MonOptions &options);

#endif
