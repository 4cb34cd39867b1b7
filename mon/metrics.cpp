#include "metrics.h"

#include <inttypes.h>
#include <string.h>

#include <unordered_set>

#include "mon_console.h"
#include "mon_os.h"

// ---- the families ------------------------------------------------------------

// What a per-path or per-LUN series shows.
enum MonMetricValue {
    MON_VALUE_STATE,
    MON_VALUE_ENABLED,
    MON_VALUE_ACTIVE,
    MON_VALUE_PREFERRED,
    MON_VALUE_PATHS,
    MON_VALUE_PATHS_HEALTHY,
    MON_VALUE_HOST_REQUESTS,
    MON_VALUE_BLOCKS,
    MON_VALUE_IO_ERRORS,
    MON_VALUE_OUTSTANDING,
};

struct MonFamilyRow {
    const char *name;
    const char *type;
    MonMetricValue value;
    const char *help;
};

static const MonFamilyRow lunFamilies[] = {
    {"ferv_lun_paths", "gauge", MON_VALUE_PATHS, "Paths of the LUN."},
    {"ferv_lun_paths_healthy", "gauge", MON_VALUE_PATHS_HEALTHY,
     "Paths of the LUN that are up, active or standing by."},
    {"ferv_lun_host_requests_total", "counter", MON_VALUE_HOST_REQUESTS,
     "Host requests of the LUN (the driver's 32-bit counter, which wraps)."},
    {"ferv_lun_blocks_transferred_total", "counter", MON_VALUE_BLOCKS,
     "Blocks transferred for the LUN (the driver's 32-bit counter, which wraps)."},
    {"ferv_lun_io_errors_total", "counter", MON_VALUE_IO_ERRORS,
     "I/O errors of the LUN (the driver's 32-bit counter, which wraps)."},
    {"ferv_lun_outstanding_io", "gauge", MON_VALUE_OUTSTANDING, "I/O requests of the LUN in flight."},
};

static const MonFamilyRow pathFamilies[] = {
    {"ferv_path_state", "gauge", MON_VALUE_STATE,
     "Path state: 0 unknown, 1 down, 2 up_active, 3 up_standby, 4 admin (disabled), 5 transition."},
    {"ferv_path_enabled", "gauge", MON_VALUE_ENABLED, "1 when the path is up, active or standing by."},
    {"ferv_path_active", "gauge", MON_VALUE_ACTIVE, "1 when the path carries its LUN's I/O."},
    {"ferv_path_preferred", "gauge", MON_VALUE_PREFERRED, "1 when the path is a preferred path of its LUN."},
    {"ferv_path_host_requests_total", "counter", MON_VALUE_HOST_REQUESTS,
     "Host requests of the path (the driver's 32-bit counter, which wraps)."},
    {"ferv_path_blocks_transferred_total", "counter", MON_VALUE_BLOCKS,
     "Blocks transferred on the path (the driver's 32-bit counter, which wraps)."},
    {"ferv_path_io_errors_total", "counter", MON_VALUE_IO_ERRORS,
     "I/O errors of the path (the driver's 32-bit counter, which wraps)."},
    {"ferv_path_outstanding_io", "gauge", MON_VALUE_OUTSTANDING, "I/O requests of the path in flight."},
};

static const char *const pathingModeNames[] = {"single", "symmetric", "asymmetric"};
static_assert(sizeof pathingModeNames / sizeof pathingModeNames[0] == FERV_PATHING_ASYMMETRIC + 1,
              "one name per pathing mode");

static bool StatisticsValue(MonMetricValue value, const FervStatistics &stats, uint64_t *out)
{
    switch (value) {
    case MON_VALUE_HOST_REQUESTS:
        *out = stats.hostRequests;
        return true;
    case MON_VALUE_BLOCKS:
        *out = stats.blocksTransferred;
        return true;
    case MON_VALUE_IO_ERRORS:
        *out = stats.ioErrors;
        return true;
    case MON_VALUE_OUTSTANDING:
        *out = stats.outstandingIo;
        return true;
    default:
        return false;
    }
}

// ---- reading -------------------------------------------------------------------

// A path's name as a request carries it: zero-terminated, at most its span.
static std::string RequestPathName(const FervPath *path)
{
    return MON_TEXT(path->pathName);
}

// A statistics call that finds its path or LUN gone has lost a race with
// the fabric, not failed: the counters of that one are left out.
static bool VanishedStatus(FERV_STATUS status)
{
    return status == FERV_STATUS_PATH_NOT_FOUND || status == FERV_STATUS_LUN_NOT_FOUND;
}

FERV_STATUS MonReadScrape(MonScrape *scrape)
{
    double start = MonMonotonicSeconds();
    scrape->success = false;
    FERV_STATUS status = MonReadTopology(&scrape->topology);
    const FervInfoList *info = &scrape->topology.info;
    const FervDevice *device = info->deviceList;
    for (int32_t d = 0; status == FERV_STATUS_SUCCESS && d < info->deviceCount && device;
         d++, device = device->next) {
        const FervLun *lun = device->lunList;
        for (int32_t l = 0; status == FERV_STATUS_SUCCESS && l < device->lunCount && lun; l++, lun = lun->next) {
            FervStatistics stats;
            memset(&stats, 0, sizeof stats);
            FERV_STATUS got = FervGetLUNStatistics(&lun->wwn, &stats);
            bool known = got == FERV_STATUS_SUCCESS || got == FERV_STATUS_ALREADY_ACTIVE;
            if (!known && !VanishedStatus(got))
                status = got;
            scrape->lunStats.push_back(stats);
            scrape->lunStatsKnown.push_back(known);
            const FervPath *path = lun->pathList;
            for (int32_t p = 0; status == FERV_STATUS_SUCCESS && p < lun->pathCount && path;
                 p++, path = path->next) {
                memset(&stats, 0, sizeof stats);
                got = FervGetPathStatistics(RequestPathName(path).c_str(), &stats);
                known = got == FERV_STATUS_SUCCESS || got == FERV_STATUS_ALREADY_ACTIVE;
                if (!known && !VanishedStatus(got))
                    status = got;
                scrape->pathStats.push_back(stats);
                scrape->pathStatsKnown.push_back(known);
            }
            // The line of a vanished path or LUN is no news to anyone.
            if (status == FERV_STATUS_SUCCESS)
                MonTakeLibraryLines();
        }
    }
    scrape->success = status == FERV_STATUS_SUCCESS;
    scrape->durationSeconds = MonMonotonicSeconds() - start;
    return status;
}

void MonFreeScrape(MonScrape *scrape)
{
    MonFreeTopology(&scrape->topology);
}

// ---- writing -------------------------------------------------------------------

void MonAppendLabelValue(std::string *out, const std::string &text)
{
    const unsigned char *s = (const unsigned char *)text.data();
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        if (c < 0x80) {
            if (c == '\\')
                *out += "\\\\";
            else if (c == '"')
                *out += "\\\"";
            else if (c == '\n')
                *out += "\\n";
            else
                *out += (char)c;
            i++;
            continue;
        }
        // The length of a well-formed sequence starting here, or 0.
        size_t length = 0;
        if (c >= 0xC2 && c <= 0xDF)
            length = 2;
        else if (c >= 0xE0 && c <= 0xEF)
            length = 3;
        else if (c >= 0xF0 && c <= 0xF4)
            length = 4;
        bool valid = length > 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; k++)
            valid = (s[i + k] & 0xC0) == 0x80;
        // No overlong forms, no surrogates, nothing above U+10FFFF.
        if (valid && length == 3)
            valid = !(c == 0xE0 && s[i + 1] < 0xA0) && !(c == 0xED && s[i + 1] >= 0xA0);
        if (valid && length == 4)
            valid = !(c == 0xF0 && s[i + 1] < 0x90) && !(c == 0xF4 && s[i + 1] >= 0x90);
        if (!valid) {
            *out += "\xEF\xBF\xBD";
            i++;
            continue;
        }
        out->append(text, i, length);
        i += length;
    }
}

// Appends `name="value"` to a label set, with a comma before all but the first.
static void AddLabel(std::string *labels, const char *name, const std::string &value)
{
    if (!labels->empty())
        *labels += ',';
    *labels += name;
    *labels += "=\"";
    MonAppendLabelValue(labels, value);
    *labels += '"';
}

// Writes the text gathered so far when a file is the target.
static void Drain(MonMetricsSink *sink, bool always)
{
    if (sink->file == nullptr || (!always && sink->text.size() < 65536))
        return;
    if (sink->ok && fwrite(sink->text.data(), 1, sink->text.size(), sink->file) != sink->text.size())
        sink->ok = false;
    sink->text.clear();
}

static void FamilyHead(MonMetricsSink *sink, const char *name, const char *type, const char *help)
{
    sink->text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

static void Sample(MonMetricsSink *sink, const char *name, const std::string &labels, uint64_t value)
{
    char number[32];
    snprintf(number, sizeof number, " %" PRIu64 "\n", value);
    sink->text += name;
    if (!labels.empty())
        sink->text += "{" + labels + "}";
    sink->text += number;
    Drain(sink, false);
}

// One series of the walk, with its labels built once for all its families.
struct MonSeriesEntry {
    const FervDevice *device;
    const FervLun *lun;
    const FervPath *path; // null for a LUN
    size_t statsIndex;    // into pathStats or lunStats
    std::string labels;
    int paths, healthyPaths; // LUNs only
    bool repeated;           // same labels as an earlier one: left out
};

static void CollectEntries(const MonScrape &scrape, std::vector<MonSeriesEntry> *devices,
                           std::vector<MonSeriesEntry> *luns, std::vector<MonSeriesEntry> *paths)
{
    // Series with the same labels would make the whole file invalid, and a
    // reply can repeat a name: only the first of them is written.
    std::unordered_set<std::string> seen;
    const FervInfoList *info = &scrape.topology.info;
    const FervDevice *device = info->deviceList;
    for (int32_t d = 0; d < info->deviceCount && device; d++, device = device->next) {
        MonSeriesEntry entry = {device, nullptr, nullptr, 0, "", 0, 0, false};
        std::string deviceName = MON_TEXT(device->deviceName);
        AddLabel(&entry.labels, "device", deviceName);
        AddLabel(&entry.labels, "device_wwn", MonWwnText(device->wwn));
        entry.repeated = !seen.insert("d" + entry.labels).second;
        devices->push_back(entry);
        const FervLun *lun = device->lunList;
        for (int32_t l = 0; l < device->lunCount && lun; l++, lun = lun->next) {
            MonSeriesEntry lunEntry = {device, lun, nullptr, luns->size(), "", 0, 0, false};
            std::string lunName = MON_TEXT(lun->lunName);
            AddLabel(&lunEntry.labels, "device", deviceName);
            AddLabel(&lunEntry.labels, "lun", lunName);
            AddLabel(&lunEntry.labels, "lun_wwn", MonWwnText(lun->wwn));
            lunEntry.repeated = !seen.insert("l" + lunEntry.labels).second;
            const FervPath *path = lun->pathList;
            for (int32_t p = 0; p < lun->pathCount && path; p++, path = path->next) {
                MonSeriesEntry pathEntry = {device, lun, path, paths->size(), "", 0, 0, false};
                AddLabel(&pathEntry.labels, "device", deviceName);
                AddLabel(&pathEntry.labels, "lun", lunName);
                AddLabel(&pathEntry.labels, "path", MON_TEXT(path->pathName));
                AddLabel(&pathEntry.labels, "hba", MON_TEXT(path->hbaName));
                pathEntry.repeated = !seen.insert("p" + pathEntry.labels).second;
                paths->push_back(pathEntry);
                lunEntry.paths++;
                lunEntry.healthyPaths += MonPathIsUp(path);
            }
            luns->push_back(lunEntry);
        }
    }
}

static bool EntryValue(const MonScrape &scrape, const MonSeriesEntry &entry, MonMetricValue value, uint64_t *out)
{
    if (entry.path == nullptr) {
        if (value == MON_VALUE_PATHS || value == MON_VALUE_PATHS_HEALTHY) {
            *out = (uint64_t)(value == MON_VALUE_PATHS ? entry.paths : entry.healthyPaths);
            return true;
        }
        return scrape.lunStatsKnown[entry.statsIndex] &&
               StatisticsValue(value, scrape.lunStats[entry.statsIndex], out);
    }
    switch (value) {
    case MON_VALUE_STATE:
        *out = entry.path->state;
        return true;
    case MON_VALUE_ENABLED:
        *out = MonPathIsUp(entry.path);
        return true;
    case MON_VALUE_ACTIVE:
        *out = MonPathIsActive(entry.path);
        return true;
    case MON_VALUE_PREFERRED:
        *out = MonPathIsPreferred(entry.path);
        return true;
    default:
        return scrape.pathStatsKnown[entry.statsIndex] &&
               StatisticsValue(value, scrape.pathStats[entry.statsIndex], out);
    }
}

static void WriteFamilies(const MonScrape &scrape, const MonFamilyRow *families, size_t count,
                          const std::vector<MonSeriesEntry> &entries, MonMetricsSink *sink)
{
    for (size_t f = 0; f < count; f++) {
        const MonFamilyRow &family = families[f];
        FamilyHead(sink, family.name, family.type, family.help);
        for (const MonSeriesEntry &entry : entries) {
            uint64_t value;
            if (!entry.repeated && EntryValue(scrape, entry, family.value, &value))
                Sample(sink, family.name, entry.labels, value);
        }
    }
}

static void WriteDriver(const MonScrape &scrape, MonMetricsSink *sink)
{
    const FervPublicParameters &params = scrape.topology.params;
    char version[64];
    snprintf(version, sizeof version, "%d.%d.%d.%d", (int)params.driverVersion[0], (int)params.driverVersion[1],
             (int)params.driverVersion[2], (int)params.driverVersion[3]);
    std::string labels;
    AddLabel(&labels, "version", version);
    FamilyHead(sink, "ferv_driver_info", "gauge", "The driver's version in its label; always 1.");
    Sample(sink, "ferv_driver_info", labels, 1);
    FamilyHead(sink, "ferv_driver_poll_rate_seconds", "gauge", "Seconds between the driver's polls of its paths.");
    Sample(sink, "ferv_driver_poll_rate_seconds", "", (uint64_t)(uint32_t)params.pollRate);
    FamilyHead(sink, "ferv_driver_auto_failback", "gauge", "1 when automatic failback is on.");
    Sample(sink, "ferv_driver_auto_failback", "", params.autoFailBack != 0);
    FamilyHead(sink, "ferv_driver_log_level", "gauge", "The driver's log level bit mask.");
    Sample(sink, "ferv_driver_log_level", "", params.logLevel);
    FamilyHead(sink, "ferv_hbas", "gauge", "Host bus adapters the driver knows.");
    Sample(sink, "ferv_hbas", "", (uint64_t)(scrape.topology.info.hbaCount > 0 ? scrape.topology.info.hbaCount : 0));
}

static std::string PathingModeText(uint32_t mode)
{
    return mode <= FERV_PATHING_ASYMMETRIC ? std::string(pathingModeNames[mode]) : std::to_string(mode);
}

static void WriteInfo(const std::vector<MonSeriesEntry> &devices, const std::vector<MonSeriesEntry> &luns,
                      MonMetricsSink *sink)
{
    FamilyHead(sink, "ferv_device_info", "gauge",
               "A storage device, with its serial number, address and firmware in labels; always 1.");
    for (const MonSeriesEntry &entry : devices) {
        if (entry.repeated)
            continue;
        std::string labels = entry.labels;
        AddLabel(&labels, "serial", MON_TEXT(entry.device->serialNumber));
        AddLabel(&labels, "ip", MON_TEXT(entry.device->ipAddress));
        AddLabel(&labels, "firmware", MON_TEXT(entry.device->firmwareRevision));
        Sample(sink, "ferv_device_info", labels, 1);
    }
    FamilyHead(sink, "ferv_lun_info", "gauge",
               "A LUN, with its pathing mode and load balancing in labels; always 1.");
    for (const MonSeriesEntry &entry : luns) {
        if (entry.repeated)
            continue;
        std::string labels = entry.labels;
        AddLabel(&labels, "pathing_mode", PathingModeText(entry.lun->pathingMode));
        AddLabel(&labels, "load_balancing", entry.lun->loadBalancing == 1 ? "enabled" : "disabled");
        Sample(sink, "ferv_lun_info", labels, 1);
    }
}

static void WriteScrapeResult(const MonScrape &scrape, MonMetricsSink *sink)
{
    FamilyHead(sink, "ferv_scrape_success", "gauge",
               "1 when the driver was read completely; 0 when it could not be, and nothing else is shown.");
    Sample(sink, "ferv_scrape_success", "", scrape.success ? 1 : 0);
    FamilyHead(sink, "ferv_scrape_duration_seconds", "gauge", "Seconds the reading of the driver took.");
    char line[64];
    snprintf(line, sizeof line, "ferv_scrape_duration_seconds %.6f\n", scrape.durationSeconds);
    sink->text += line;
}

bool MonWriteMetrics(const MonScrape &scrape, MonMetricsSink *sink)
{
    if (scrape.success) {
        std::vector<MonSeriesEntry> devices, luns, paths;
        CollectEntries(scrape, &devices, &luns, &paths);
        WriteDriver(scrape, sink);
        WriteInfo(devices, luns, sink);
        WriteFamilies(scrape, lunFamilies, sizeof lunFamilies / sizeof lunFamilies[0], luns, sink);
        WriteFamilies(scrape, pathFamilies, sizeof pathFamilies / sizeof pathFamilies[0], paths, sink);
    }
    WriteScrapeResult(scrape, sink);
    Drain(sink, true);
    return sink->ok;
}

// ---- the command -----------------------------------------------------------------

static bool FillMetricsFile(FILE *file, void *context)
{
    MonMetricsSink sink = {"", file, true};
    return MonWriteMetrics(*(const MonScrape *)context, &sink);
}

int MonRunMetrics(const MonOptions &options)
{
    MonScrape scrape;
    FERV_STATUS status = MonReadScrape(&scrape);
    // The library's lines never go into the exposition: a collector would
    // reject the whole file.
    std::string reason = MonTakeLibraryLines();
    if (status != FERV_STATUS_SUCCESS) {
        const char *message = FervStatusMessage(status);
        fprintf(stderr, "%sfervmon metrics: cannot read the driver: %s (%u)\n", reason.c_str(),
                message ? message : "unknown status", (unsigned)status);
    }
    int exitStatus = status == FERV_STATUS_SUCCESS ? 0 : 1;
    if (options.output.empty()) {
        MonMetricsSink sink = {"", stdout, true};
        if (!MonWriteMetrics(scrape, &sink) || fflush(stdout) != 0) {
            fprintf(stderr, "fervmon metrics: cannot write to standard output\n");
            exitStatus = 1;
        }
    } else {
        std::string error;
        if (!MonReplaceFile(options.output, FillMetricsFile, &scrape, &error)) {
            fprintf(stderr, "fervmon metrics: %s; %s is left as it was\n", error.c_str(), options.output.c_str());
            exitStatus = 1;
        }
    }
    MonFreeScrape(&scrape);
    return exitStatus;
}
