// fervmon metrics: the topology, the path states, the I/O counters and the
// driver's parameters in the Prometheus text exposition format (0.0.4), for
// the textfile collectors of node_exporter and windows_exporter.
#ifndef FERV_MON_METRICS_H
#define FERV_MON_METRICS_H

#include <stdio.h>

#include <string>
#include <vector>

#include "options.h"
#include "topology.h"

// One scrape: a reading of the driver and the counters of every path and
// LUN in it, in the order the topology is walked.
struct MonScrape {
    bool success;
    double durationSeconds;
    MonTopology topology;
    std::vector<FervStatistics> pathStats;
    std::vector<bool> pathStatsKnown; // false: the path vanished before its counters were read
    std::vector<FervStatistics> lunStats;
    std::vector<bool> lunStatsKnown;
};

// Reads the topology and then the counters, one request per path and per
// LUN on the handle the topology request opened. Returns 0, or the code of
// the first failing call (the library's lines wait in the console sink);
// *scrape is filled either way and given back with MonFreeScrape.
FERV_STATUS MonReadScrape(MonScrape *scrape);
void MonFreeScrape(MonScrape *scrape);

// Where exposition text goes: collected in `text` and, when `file` is set,
// written out in pieces as it grows. `ok` turns false on a write error.
struct MonMetricsSink {
    std::string text;
    FILE *file;
    bool ok;
};

// Writes the whole exposition of a scrape; a failed scrape gives only
// ferv_scrape_success 0 and the duration. Returns sink->ok.
bool MonWriteMetrics(const MonScrape &scrape, MonMetricsSink *sink);

// Appends text as a label value: backslash, double quote and line feed
// escaped, and every byte that is not part of valid UTF-8 replaced by
// U+FFFD, as the exposition format demands.
void MonAppendLabelValue(std::string *out, const std::string &text);

// The whole command. Returns the exit status.
int MonRunMetrics(const MonOptions &options);

#endif
