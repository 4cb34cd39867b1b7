#include "check.h"

#include <stdio.h>
#include <string.h>

#include "mon_console.h"
#include "mon_os.h"
#include "topology.h"

static const char *const stateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
static_assert(sizeof stateNames / sizeof stateNames[0] == MON_STATE_UNKNOWN + 1, "one name per state");

// What a finding is about.
enum MonFindingSubject { MON_ABOUT_LUN, MON_ABOUT_PATH, MON_ABOUT_SELECTOR };

// Each finding kind: the state it raises, what it is about, how the status
// line sums it up ("1 of 6 LUNs <summary>"; for a selector, "<summary>
// <wwn>") and how a verbose line states it.
struct MonFindingRow {
    MonState state;
    MonFindingSubject subject;
    const char *summary;
    const char *detail;
};

static const MonFindingRow findingRows[] = {
    {MON_STATE_CRITICAL, MON_ABOUT_SELECTOR, "no LUN", "not found"},
    {MON_STATE_CRITICAL, MON_ABOUT_SELECTOR, "no device", "not found"},
    {MON_STATE_CRITICAL, MON_ABOUT_LUN, "without a usable path", "no usable path"},
    {MON_STATE_CRITICAL, MON_ABOUT_LUN, "without an active path", "no active path"},
    {MON_STATE_WARNING, MON_ABOUT_LUN, "with fewer healthy paths than %d", "fewer than %d"},
    {MON_STATE_WARNING, MON_ABOUT_LUN, "not on a preferred path", "not on a preferred path"},
    {MON_STATE_WARNING, MON_ABOUT_PATH, "down", "down"},
    {MON_STATE_WARNING, MON_ABOUT_PATH, "disabled", "disabled"},
    {MON_STATE_WARNING, MON_ABOUT_PATH, "in transition", "in transition"},
    {MON_STATE_WARNING, MON_ABOUT_PATH, "in an unknown state", "in state %s"},
};
static_assert(sizeof findingRows / sizeof findingRows[0] == MON_FINDING_KIND_COUNT, "one row per finding kind");

// The finding a path's state gives, or MON_FINDING_KIND_COUNT for none.
static MonFindingKind PathFinding(const FervPath *path)
{
    switch (path->state) {
    case FERV_PATH_STATE_UP_ACTIVE:
    case FERV_PATH_STATE_UP_STANDBY:
        return MON_FINDING_KIND_COUNT;
    case FERV_PATH_STATE_DOWN:
        return MON_FINDING_PATH_DOWN;
    case FERV_PATH_STATE_ADMIN:
        return MON_FINDING_PATH_DISABLED;
    case FERV_PATH_STATE_TRANSITION:
        return MON_FINDING_PATH_TRANSITION;
    default:
        return MON_FINDING_PATH_UNKNOWN;
    }
}

static void AddFinding(MonCheckResult *result, MonFindingKind kind, const FervDevice *device, const FervLun *lun,
                       const FervPath *path, int healthy, const FervWwnKey *missing = nullptr)
{
    MonFinding finding = {kind, device, lun, path, healthy, FervWwnKey()};
    if (missing)
        finding.missing = *missing;
    result->findings.push_back(finding);
    result->kindCounts[kind]++;
    if (findingRows[kind].state > result->state)
        result->state = findingRows[kind].state;
}

static void JudgeLun(const FervDevice *device, const FervLun *lun, int32_t autoFailBack, int minPaths,
                     MonCheckResult *result)
{
    int healthy = 0;
    bool anyActive = false;
    bool anyPreferred = false;
    bool preferredActive = false;
    const FervPath *path = lun->pathList;
    for (int32_t p = 0; p < lun->pathCount && path; p++, path = path->next) {
        result->paths++;
        MonFindingKind kind = PathFinding(path);
        if (kind != MON_FINDING_KIND_COUNT)
            AddFinding(result, kind, device, lun, path, 0);
        healthy += MonPathIsUp(path);
        anyActive = anyActive || MonPathIsActive(path);
        anyPreferred = anyPreferred || MonPathIsPreferred(path);
        preferredActive = preferredActive || (MonPathIsActive(path) && MonPathIsPreferred(path));
    }
    result->luns++;
    result->healthyPaths += healthy;

    // The LUN's own findings come after those of its paths, so that a
    // verbose listing reads cause, then effect.
    if (healthy == 0)
        AddFinding(result, MON_FINDING_LUN_NO_USABLE_PATH, device, lun, nullptr, healthy);
    else if (!anyActive)
        AddFinding(result, MON_FINDING_LUN_NO_ACTIVE_PATH, device, lun, nullptr, healthy);
    else if (healthy < minPaths)
        AddFinding(result, MON_FINDING_LUN_FEW_PATHS, device, lun, nullptr, healthy);
    // With failback on the driver returns a LUN to a preferred path by
    // itself; a LUN that stays off one needs a look. A LUN without any
    // preferred path has nowhere to return to.
    if (autoFailBack != 0 && anyActive && anyPreferred && !preferredActive)
        AddFinding(result, MON_FINDING_LUN_OFF_PREFERRED, device, lun, nullptr, healthy);
}

static bool KeyListed(const std::vector<FervWwnKey> &keys, const FervWwnKey &key, std::vector<bool> *seen)
{
    bool listed = false;
    for (size_t i = 0; i < keys.size(); i++) {
        if (MonSameWwn(keys[i], key)) {
            (*seen)[i] = true;
            listed = true;
        }
    }
    return listed;
}

void MonJudgeTopology(const FervInfoList *info, int32_t autoFailBack, const MonOptions &options,
                      MonCheckResult *result)
{
    *result = MonCheckResult();
    result->state = MON_STATE_OK;
    memset(result->kindCounts, 0, sizeof result->kindCounts);
    result->devices = result->luns = result->paths = result->healthyPaths = 0;
    result->minPaths = options.minPaths;

    bool everything = options.luns.empty() && options.devices.empty();
    std::vector<bool> lunSeen(options.luns.size(), false);
    std::vector<bool> deviceSeen(options.devices.size(), false);
    const FervDevice *device = info->deviceList;
    for (int32_t d = 0; d < info->deviceCount && device; d++, device = device->next) {
        bool wholeDevice = everything || KeyListed(options.devices, device->wwn, &deviceSeen);
        bool deviceCounted = false;
        const FervLun *lun = device->lunList;
        for (int32_t l = 0; l < device->lunCount && lun; l++, lun = lun->next) {
            bool lunListed = KeyListed(options.luns, lun->wwn, &lunSeen);
            if (!wholeDevice && !lunListed)
                continue;
            if (!deviceCounted) {
                result->devices++;
                deviceCounted = true;
            }
            JudgeLun(device, lun, autoFailBack, options.minPaths, result);
        }
        if (wholeDevice && !deviceCounted)
            result->devices++; // a device without LUNs is still in scope
    }
    for (size_t i = 0; i < lunSeen.size(); i++)
        if (!lunSeen[i])
            AddFinding(result, MON_FINDING_LUN_MISSING, nullptr, nullptr, nullptr, 0, &options.luns[i]);
    for (size_t i = 0; i < deviceSeen.size(); i++)
        if (!deviceSeen[i])
            AddFinding(result, MON_FINDING_DEVICE_MISSING, nullptr, nullptr, nullptr, 0, &options.devices[i]);
}

// A name as plugin output may carry it: a '|' would start the performance
// data and a line end would start a new line, so both (and every other
// control character) become '?'.
static std::string PluginText(const std::string &text)
{
    std::string safe = text;
    for (char &c : safe)
        if (c == '|' || (unsigned char)c < 0x20 || c == 0x7f)
            c = '?';
    return safe;
}

static std::string LunName(const FervLun *lun)
{
    std::string name = MON_TEXT(lun->lunName);
    return PluginText(name.empty() ? MonWwnText(lun->wwn) : name);
}

static std::string Format(const char *format, int a, int b)
{
    char text[160];
    snprintf(text, sizeof text, format, a, b);
    return text;
}

// "1 LUN", "6 LUNs".
static std::string Counted(int count, const char *noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// The names behind one kind of finding, the first few of them.
static std::string NameList(const MonCheckResult &result, MonFindingKind kind)
{
    enum { SHOWN = 5 };
    std::string list;
    int shown = 0;
    for (const MonFinding &finding : result.findings) {
        if (finding.kind != kind)
            continue;
        if (shown == SHOWN) {
            list += ", ...";
            break;
        }
        if (shown++ > 0)
            list += ", ";
        list += finding.path ? PluginText(MON_TEXT(finding.path->pathName)) : LunName(finding.lun);
    }
    return list;
}

static std::string Summary(const MonCheckResult &result)
{
    if (result.findings.empty())
        return Counted(result.luns, "LUN") + ", " + std::to_string(result.healthyPaths) + " of " +
               Counted(result.paths, "path") + " healthy";
    std::string text;
    // Worst state first, then in table order.
    for (int state = MON_STATE_CRITICAL; state >= MON_STATE_WARNING; state--) {
        for (int k = 0; k < MON_FINDING_KIND_COUNT; k++) {
            const MonFindingRow &row = findingRows[k];
            if (row.state != state || result.kindCounts[k] == 0)
                continue;
            if (row.subject == MON_ABOUT_SELECTOR) {
                for (const MonFinding &finding : result.findings)
                    if (finding.kind == k)
                        text += (text.empty() ? "" : "; ") + std::string(row.summary) + " " +
                                MonWwnText(finding.missing);
                continue;
            }
            if (!text.empty())
                text += "; ";
            text += std::to_string(result.kindCounts[k]) + " of " +
                    (row.subject == MON_ABOUT_PATH ? Counted(result.paths, "path") : Counted(result.luns, "LUN")) +
                    " ";
            text += Format(row.summary, result.minPaths, 0);
            text += " (" + NameList(result, (MonFindingKind)k) + ")";
        }
    }
    return text;
}

// Performance data in the plugin format, label=value;warn;crit;min;max:
// the LUN counts carry the thresholds the check applies (warning or
// critical above 0).
static std::string PerformanceData(const MonCheckResult &result)
{
    const int *k = result.kindCounts;
    int unusable = k[MON_FINDING_LUN_NO_USABLE_PATH] + k[MON_FINDING_LUN_NO_ACTIVE_PATH];
    char text[512];
    snprintf(text, sizeof text,
             "luns=%d;;;0 paths=%d;;;0 paths_healthy=%d;;;0;%d paths_down=%d;;;0;%d paths_disabled=%d;;;0;%d "
             "paths_other=%d;;;0;%d luns_unusable=%d;;0;0;%d luns_degraded=%d;0;;0;%d "
             "luns_off_preferred=%d;0;;0;%d devices=%d;;;0",
             result.luns, result.paths, result.healthyPaths, result.paths, k[MON_FINDING_PATH_DOWN], result.paths,
             k[MON_FINDING_PATH_DISABLED], result.paths,
             k[MON_FINDING_PATH_TRANSITION] + k[MON_FINDING_PATH_UNKNOWN], result.paths, unusable, result.luns,
             k[MON_FINDING_LUN_FEW_PATHS], result.luns, k[MON_FINDING_LUN_OFF_PREFERRED], result.luns,
             result.devices);
    return text;
}

static std::string FindingLine(const MonCheckResult &result, const MonFinding &finding)
{
    const MonFindingRow &row = findingRows[finding.kind];
    std::string line = std::string(stateNames[row.state]) + ": ";
    if (row.subject == MON_ABOUT_SELECTOR)
        return line + (finding.kind == MON_FINDING_LUN_MISSING ? "LUN " : "device ") + MonWwnText(finding.missing) +
               ": " + row.detail;
    if (finding.path) {
        line += "path " + PluginText(MON_TEXT(finding.path->pathName)) + " (HBA " +
                PluginText(MON_TEXT(finding.path->hbaName)) + ") of LUN " + LunName(finding.lun) + ": ";
        if (finding.kind == MON_FINDING_PATH_UNKNOWN) {
            char text[64];
            snprintf(text, sizeof text, row.detail, MonPathStateText(finding.path->state).c_str());
            line += text;
        } else {
            line += row.detail;
        }
        return line;
    }
    line += "LUN " + LunName(finding.lun) + " (" + MonWwnText(finding.lun->wwn) + ") of device " +
            PluginText(MON_TEXT(finding.device->deviceName)) + ": ";
    if (finding.kind == MON_FINDING_LUN_FEW_PATHS)
        line += Counted(finding.healthyPaths, "healthy path") + ", " + Format(row.detail, result.minPaths, 0);
    else
        line += row.detail;
    return line;
}

std::string MonFormatCheck(const MonCheckResult &result, bool verbose)
{
    std::string text = std::string("FERV ") + stateNames[result.state] + " - " + Summary(result) + " | " +
                       PerformanceData(result) + "\n";
    if (verbose)
        for (const MonFinding &finding : result.findings)
            text += FindingLine(result, finding) + "\n";
    return text;
}

std::string MonFormatCheckFailure(FERV_STATUS status, const std::string &libraryLines)
{
    const char *message = FervStatusMessage(status);
    std::string text = "FERV UNKNOWN - cannot read the driver: ";
    text +=
        message ? std::string(message) + " (" + std::to_string(status) + ")" : "status " + std::to_string(status);
    text += "\n";
    // The library's lines follow as the plugin's long output, one by one.
    size_t start = 0;
    while (start < libraryLines.size()) {
        size_t end = libraryLines.find('\n', start);
        if (end == std::string::npos)
            end = libraryLines.size();
        if (end > start)
            text += PluginText(libraryLines.substr(start, end - start)) + "\n";
        start = end + 1;
    }
    return text;
}

int MonRunCheck(const MonOptions &options)
{
    if (options.timeoutSeconds > 0) {
        std::string message =
            "FERV UNKNOWN - no answer from the driver within " + Counted(options.timeoutSeconds, "second") + "\n";
        MonStartWatchdog(options.timeoutSeconds, message.c_str(), MON_STATE_UNKNOWN);
    }
    MonTopology topology;
    FERV_STATUS status = MonReadTopology(&topology);
    MonStopWatchdog();
    std::string output;
    int exitStatus;
    if (status != FERV_STATUS_SUCCESS) {
        output = MonFormatCheckFailure(status, MonTakeLibraryLines());
        exitStatus = MON_STATE_UNKNOWN;
    } else {
        MonCheckResult result;
        MonJudgeTopology(&topology.info, topology.params.autoFailBack, options, &result);
        output = MonFormatCheck(result, options.verbose);
        exitStatus = result.state;
        MonFreeTopology(&topology);
        MonTakeLibraryLines();
    }
    fputs(output.c_str(), stdout);
    fflush(stdout);
    return exitStatus;
}
