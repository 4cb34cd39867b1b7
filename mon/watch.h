// fervmon watch: a change log. It blocks on the driver's change wait,
// reads the topology after every wake-up and prints one line per
// difference from the topology it printed last, each with an ISO 8601 UTC
// time stamp, as text or (--json) as one JSON object per line.
#ifndef FERV_MON_WATCH_H
#define FERV_MON_WATCH_H

#include <stdint.h>

#include <string>
#include <vector>

#include "options.h"
#include "topology.h"

enum MonEventKind {
    MON_EVENT_STARTED,
    MON_EVENT_DEVICE_APPEARED,
    MON_EVENT_DEVICE_VANISHED,
    MON_EVENT_LUN_APPEARED,
    MON_EVENT_LUN_VANISHED,
    MON_EVENT_PATH_APPEARED,
    MON_EVENT_PATH_VANISHED,
    MON_EVENT_PATH_CHANGED,
    // A LUN's active path moved:
    MON_EVENT_FAILOVER,        // away from a path that is no longer up
    MON_EVENT_FAILBACK,        // from a usable path back onto a preferred one
    MON_EVENT_SWITCH,          // from one usable path to another (a command)
    MON_EVENT_ACTIVE_LOST,     // no path is active any more
    MON_EVENT_ACTIVE_RESTORED, // a path is active again after none was
    MON_EVENT_DRIVER_LOST,
    MON_EVENT_DRIVER_BACK,
    MON_EVENT_WAIT_FAILED,
    MON_EVENT_STOPPED,
    MON_EVENT_KIND_COUNT
};

// The state of a path as an event shows it.
struct MonPathView {
    uint8_t state;
    uint32_t flags;
};

// One line of the log. Only the fields of its kind are filled.
struct MonEvent {
    MonEventKind kind;
    std::string device, deviceWwn;
    std::string lun, lunWwn;
    std::string path, hba;
    MonPathView from, to;                          // path appeared (to), changed (both)
    std::vector<std::string> activeFrom, activeTo; // a LUN's active paths, before and after
    MonCounts counts;                              // started, driver back, device or LUN appeared
    std::string reason;                            // driver lost, wait failed; the signal for stopped
};

// The event's name as the log shows it ("path-changed", "failover").
const char *MonEventName(MonEventKind kind);

// Appends to *events every difference from before to after: devices and
// LUNs (by world-wide name) and paths (by LUN and name) that appeared or
// vanished, paths whose state or flags changed, and LUNs whose active
// paths moved. Within a device, a LUN's path lines come before its move.
void MonDiffTopology(const FervInfoList *before, const FervInfoList *after, std::vector<MonEvent> *events);

// One log line, with its line end: the time stamp, the event's name, the
// details. Control characters in names show as '?'.
std::string MonFormatEventText(const MonEvent &event, const std::string &timestamp);
// One JSON object on one line, with its line end.
std::string MonFormatEventJson(const MonEvent &event, const std::string &timestamp);

// The whole command; returns only on a usage or set-up failure (the stop
// signals end the process with 0).
int MonRunWatch(const MonOptions &options);

#endif
