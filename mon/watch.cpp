#include "watch.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "mon_console.h"
#include "mon_os.h"

static const char *const eventNames[] = {
    "started",         "device-appeared", "device-vanished", "lun-appeared", "lun-vanished", "path-appeared",
    "path-vanished",   "path-changed",    "failover",        "failback",     "switch",       "active-lost",
    "active-restored", "driver-lost",     "driver-back",     "wait-failed",  "stopped",
};
static_assert(sizeof eventNames / sizeof eventNames[0] == MON_EVENT_KIND_COUNT, "one name per event");

const char *MonEventName(MonEventKind kind)
{
    return eventNames[kind];
}

// ---- differences ---------------------------------------------------------------

static std::string WwnKeyBytes(const FervWwnKey &key)
{
    return std::string((const char *)key.bytes, sizeof key.bytes);
}

static std::string PathKey(const FervLun *lun, const FervPath *path)
{
    return WwnKeyBytes(lun->wwn) + MON_TEXT(path->pathName);
}

struct MonLunRef {
    const FervDevice *device;
    const FervLun *lun;
};

// Where each device, LUN and path of a reading stands, by its key.
struct MonTopologyIndex {
    std::unordered_map<std::string, const FervDevice *> devices;
    std::unordered_map<std::string, MonLunRef> luns;
    std::unordered_map<std::string, const FervPath *> paths;
};

static void IndexTopology(const FervInfoList *info, MonTopologyIndex *index)
{
    const FervDevice *device = info->deviceList;
    for (int32_t d = 0; d < info->deviceCount && device; d++, device = device->next) {
        index->devices.emplace(WwnKeyBytes(device->wwn), device);
        const FervLun *lun = device->lunList;
        for (int32_t l = 0; l < device->lunCount && lun; l++, lun = lun->next) {
            index->luns.emplace(WwnKeyBytes(lun->wwn), MonLunRef{device, lun});
            const FervPath *path = lun->pathList;
            for (int32_t p = 0; p < lun->pathCount && path; p++, path = path->next)
                index->paths.emplace(PathKey(lun, path), path);
        }
    }
}

static MonEvent DeviceEvent(MonEventKind kind, const FervDevice *device)
{
    MonEvent event = MonEvent();
    event.kind = kind;
    event.device = MON_TEXT(device->deviceName);
    event.deviceWwn = MonWwnText(device->wwn);
    return event;
}

static MonEvent LunEvent(MonEventKind kind, const FervDevice *device, const FervLun *lun)
{
    MonEvent event = DeviceEvent(kind, device);
    event.lun = MON_TEXT(lun->lunName);
    event.lunWwn = MonWwnText(lun->wwn);
    return event;
}

static MonEvent PathEvent(MonEventKind kind, const FervDevice *device, const FervLun *lun, const FervPath *path)
{
    MonEvent event = LunEvent(kind, device, lun);
    event.path = MON_TEXT(path->pathName);
    event.hba = MON_TEXT(path->hbaName);
    event.to = MonPathView{path->state, path->flags};
    return event;
}

static MonCounts LunCounts(const FervLun *lun)
{
    MonCounts counts = {0, 1, 0};
    const FervPath *path = lun->pathList;
    for (int32_t p = 0; p < lun->pathCount && path; p++, path = path->next)
        counts.paths++;
    return counts;
}

static MonCounts DeviceCounts(const FervDevice *device)
{
    MonCounts counts = {1, 0, 0};
    const FervLun *lun = device->lunList;
    for (int32_t l = 0; l < device->lunCount && lun; l++, lun = lun->next) {
        counts.luns++;
        counts.paths += LunCounts(lun).paths;
    }
    return counts;
}

// The names of a LUN's active paths, in list order.
static std::vector<std::string> ActivePaths(const FervLun *lun)
{
    std::vector<std::string> names;
    const FervPath *path = lun->pathList;
    for (int32_t p = 0; p < lun->pathCount && path; p++, path = path->next)
        if (MonPathIsActive(path))
            names.push_back(MON_TEXT(path->pathName));
    return names;
}

static const FervPath *FindPath(const FervLun *lun, const std::string &name)
{
    const FervPath *path = lun->pathList;
    for (int32_t p = 0; p < lun->pathCount && path; p++, path = path->next)
        if (MON_TEXT(path->pathName) == name)
            return path;
    return nullptr;
}

// What kind of move took the LUN from the active paths `from` (in before)
// to `to` (in after).
static MonEventKind ClassifyMove(const FervLun *before, const FervLun *after, const std::vector<std::string> &from,
                                 const std::vector<std::string> &to)
{
    if (to.empty())
        return MON_EVENT_ACTIVE_LOST;
    if (from.empty())
        return MON_EVENT_ACTIVE_RESTORED;
    bool wasPreferred = false, isPreferred = false, leftBehindDown = false;
    for (const std::string &name : from) {
        const FervPath *old = FindPath(before, name);
        wasPreferred = wasPreferred || (old && MonPathIsPreferred(old));
        const FervPath *now = FindPath(after, name);
        leftBehindDown = leftBehindDown || now == nullptr || !MonPathIsUp(now);
    }
    for (const std::string &name : to) {
        const FervPath *now = FindPath(after, name);
        isPreferred = isPreferred || (now && MonPathIsPreferred(now));
    }
    // A move away from a path that went down is a failover wherever it
    // lands; a move from a usable path onto a preferred one is a failback.
    if (leftBehindDown)
        return MON_EVENT_FAILOVER;
    if (isPreferred && !wasPreferred)
        return MON_EVENT_FAILBACK;
    return MON_EVENT_SWITCH;
}

static void DiffLun(const FervDevice *device, const FervLun *before, const FervLun *after,
                    const MonTopologyIndex &beforeIndex, const std::unordered_set<std::string> &afterPaths,
                    std::vector<MonEvent> *events)
{
    const FervPath *path = after->pathList;
    for (int32_t p = 0; p < after->pathCount && path; p++, path = path->next) {
        auto old = beforeIndex.paths.find(PathKey(after, path));
        if (old == beforeIndex.paths.end()) {
            events->push_back(PathEvent(MON_EVENT_PATH_APPEARED, device, after, path));
        } else if (old->second->state != path->state || old->second->flags != path->flags) {
            MonEvent event = PathEvent(MON_EVENT_PATH_CHANGED, device, after, path);
            event.from = MonPathView{old->second->state, old->second->flags};
            events->push_back(event);
        }
    }
    path = before->pathList;
    for (int32_t p = 0; p < before->pathCount && path; p++, path = path->next)
        if (afterPaths.count(PathKey(before, path)) == 0)
            events->push_back(PathEvent(MON_EVENT_PATH_VANISHED, device, before, path));

    std::vector<std::string> from = ActivePaths(before), to = ActivePaths(after);
    std::vector<std::string> fromSorted = from, toSorted = to;
    std::sort(fromSorted.begin(), fromSorted.end());
    std::sort(toSorted.begin(), toSorted.end());
    if (fromSorted != toSorted) {
        MonEvent event = LunEvent(ClassifyMove(before, after, from, to), device, after);
        event.activeFrom = from;
        event.activeTo = to;
        events->push_back(event);
    }
}

void MonDiffTopology(const FervInfoList *before, const FervInfoList *after, std::vector<MonEvent> *events)
{
    MonTopologyIndex beforeIndex, afterIndex;
    IndexTopology(before, &beforeIndex);
    IndexTopology(after, &afterIndex);
    std::unordered_set<std::string> afterPaths;
    for (const auto &entry : afterIndex.paths)
        afterPaths.insert(entry.first);

    const FervDevice *device = after->deviceList;
    for (int32_t d = 0; d < after->deviceCount && device; d++, device = device->next) {
        auto oldDevice = beforeIndex.devices.find(WwnKeyBytes(device->wwn));
        if (oldDevice == beforeIndex.devices.end()) {
            MonEvent event = DeviceEvent(MON_EVENT_DEVICE_APPEARED, device);
            event.counts = DeviceCounts(device);
            events->push_back(event);
            continue;
        }
        const FervLun *lun = device->lunList;
        for (int32_t l = 0; l < device->lunCount && lun; l++, lun = lun->next) {
            auto oldLun = beforeIndex.luns.find(WwnKeyBytes(lun->wwn));
            if (oldLun == beforeIndex.luns.end()) {
                MonEvent event = LunEvent(MON_EVENT_LUN_APPEARED, device, lun);
                event.counts = LunCounts(lun);
                events->push_back(event);
                continue;
            }
            DiffLun(device, oldLun->second.lun, lun, beforeIndex, afterPaths, events);
        }
        // LUNs this device had and no device has now.
        const FervLun *oldLunOfDevice = oldDevice->second->lunList;
        for (int32_t l = 0; l < oldDevice->second->lunCount && oldLunOfDevice;
             l++, oldLunOfDevice = oldLunOfDevice->next)
            if (afterIndex.luns.count(WwnKeyBytes(oldLunOfDevice->wwn)) == 0)
                events->push_back(LunEvent(MON_EVENT_LUN_VANISHED, device, oldLunOfDevice));
    }
    device = before->deviceList;
    for (int32_t d = 0; d < before->deviceCount && device; d++, device = device->next)
        if (afterIndex.devices.count(WwnKeyBytes(device->wwn)) == 0)
            events->push_back(DeviceEvent(MON_EVENT_DEVICE_VANISHED, device));
}

// ---- lines -----------------------------------------------------------------------

// A name in a text line: one event, one line, whatever the name holds.
static std::string LineText(const std::string &text)
{
    std::string safe = text;
    for (char &c : safe)
        if ((unsigned char)c < 0x20 || c == 0x7f)
            c = '?';
    return safe;
}

static std::string Plural(int count, const char *noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

static std::string CountsText(const MonCounts &counts)
{
    return Plural(counts.devices, "device") + ", " + Plural(counts.luns, "LUN") + ", " +
           Plural(counts.paths, "path");
}

static std::string PathList(const std::vector<std::string> &names)
{
    if (names.empty())
        return "none";
    std::string list;
    for (const std::string &name : names)
        list += (list.empty() ? "" : ",") + LineText(name);
    return list;
}

static const char *YesNo(bool value)
{
    return value ? "yes" : "no";
}

static std::string PathChanges(const MonPathView &from, const MonPathView &to)
{
    std::string text;
    auto add = [&text](const std::string &name, const std::string &a, const std::string &b) {
        if (a != b)
            text += (text.empty() ? "" : ", ") + name + " " + a + " -> " + b;
    };
    FervPath a, b;
    a.state = from.state;
    a.flags = from.flags;
    b.state = to.state;
    b.flags = to.flags;
    add("state", MonPathStateText(a.state), MonPathStateText(b.state));
    add("enabled", YesNo(MonPathIsUp(&a)), YesNo(MonPathIsUp(&b)));
    add("active", YesNo(MonPathIsActive(&a)), YesNo(MonPathIsActive(&b)));
    add("preferred", YesNo(MonPathIsPreferred(&a)), YesNo(MonPathIsPreferred(&b)));
    char flagsA[16], flagsB[16];
    snprintf(flagsA, sizeof flagsA, "0x%x", (unsigned)a.flags);
    snprintf(flagsB, sizeof flagsB, "0x%x", (unsigned)b.flags);
    if ((a.flags & ~FERV_PATH_FLAG_PREFERRED) != (b.flags & ~FERV_PATH_FLAG_PREFERRED))
        add("flags", flagsA, flagsB);
    return text;
}

std::string MonFormatEventText(const MonEvent &e, const std::string &timestamp)
{
    std::string line = timestamp + " " + eventNames[e.kind] + " ";
    std::string lun = "LUN " + LineText(e.lun) + " (" + e.lunWwn + ")";
    std::string device = "device " + LineText(e.device) + " (" + e.deviceWwn + ")";
    std::string path = "path " + LineText(e.path) + " (HBA " + LineText(e.hba) + ") of LUN " + LineText(e.lun);
    switch (e.kind) {
    case MON_EVENT_STARTED:
    case MON_EVENT_DRIVER_BACK:
        line += CountsText(e.counts);
        break;
    case MON_EVENT_DEVICE_APPEARED:
        line += device + " with " + Plural(e.counts.luns, "LUN") + ", " + Plural(e.counts.paths, "path");
        break;
    case MON_EVENT_DEVICE_VANISHED:
        line += device;
        break;
    case MON_EVENT_LUN_APPEARED:
        line += lun + " of device " + LineText(e.device) + " with " + Plural(e.counts.paths, "path");
        break;
    case MON_EVENT_LUN_VANISHED:
        line += lun + " of device " + LineText(e.device);
        break;
    case MON_EVENT_PATH_APPEARED:
        line += path + ": " + MonPathStateText(e.to.state);
        break;
    case MON_EVENT_PATH_VANISHED:
        line += path;
        break;
    case MON_EVENT_PATH_CHANGED:
        line += path + ": " + PathChanges(e.from, e.to);
        break;
    case MON_EVENT_FAILOVER:
    case MON_EVENT_FAILBACK:
    case MON_EVENT_SWITCH:
    case MON_EVENT_ACTIVE_LOST:
    case MON_EVENT_ACTIVE_RESTORED:
        line +=
            lun + " of device " + LineText(e.device) + ": " + PathList(e.activeFrom) + " -> " + PathList(e.activeTo);
        break;
    case MON_EVENT_DRIVER_LOST:
    case MON_EVENT_WAIT_FAILED:
        line += LineText(e.reason);
        break;
    case MON_EVENT_STOPPED:
        line += "by " + LineText(e.reason);
        break;
    case MON_EVENT_KIND_COUNT:
        break;
    }
    return line + "\n";
}

static nlohmann::ordered_json PathViewJson(const MonPathView &view)
{
    FervPath path;
    path.state = view.state;
    path.flags = view.flags;
    nlohmann::ordered_json json;
    const char *name = FervPathStateName(view.state);
    if (name)
        json["state"] = name;
    else
        json["state"] = view.state;
    json["enabled"] = MonPathIsUp(&path);
    json["active"] = MonPathIsActive(&path);
    json["preferred"] = MonPathIsPreferred(&path);
    json["flags"] = view.flags;
    return json;
}

std::string MonFormatEventJson(const MonEvent &e, const std::string &timestamp)
{
    nlohmann::ordered_json json;
    json["time"] = timestamp;
    json["event"] = eventNames[e.kind];
    if (!e.deviceWwn.empty()) {
        json["device"] = e.device;
        json["device_wwn"] = e.deviceWwn;
    }
    if (!e.lunWwn.empty()) {
        json["lun"] = e.lun;
        json["lun_wwn"] = e.lunWwn;
    }
    if (e.kind >= MON_EVENT_FAILOVER && e.kind <= MON_EVENT_ACTIVE_RESTORED) {
        json["from"] = e.activeFrom; // the LUN's active paths
        json["to"] = e.activeTo;
    }
    switch (e.kind) {
    case MON_EVENT_STARTED:
    case MON_EVENT_DRIVER_BACK:
    case MON_EVENT_DEVICE_APPEARED:
    case MON_EVENT_LUN_APPEARED:
        if (e.kind == MON_EVENT_STARTED || e.kind == MON_EVENT_DRIVER_BACK)
            json["devices"] = e.counts.devices;
        if (e.kind != MON_EVENT_LUN_APPEARED)
            json["luns"] = e.counts.luns;
        json["paths"] = e.counts.paths;
        break;
    case MON_EVENT_PATH_APPEARED:
    case MON_EVENT_PATH_VANISHED:
    case MON_EVENT_PATH_CHANGED:
        json["path"] = e.path;
        json["hba"] = e.hba;
        if (e.kind == MON_EVENT_PATH_CHANGED)
            json["from"] = PathViewJson(e.from);
        if (e.kind != MON_EVENT_PATH_VANISHED)
            json["to"] = PathViewJson(e.to);
        break;
    case MON_EVENT_DRIVER_LOST:
    case MON_EVENT_WAIT_FAILED:
        json["reason"] = e.reason;
        break;
    case MON_EVENT_STOPPED:
        json["signal"] = e.reason;
        break;
    default:
        break;
    }
    // Names are the driver's bytes: whatever is not UTF-8 becomes U+FFFD
    // instead of ending the program.
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// ---- the command -------------------------------------------------------------------

static bool jsonLines;

// The line of an event happening now.
static std::string EventLine(const MonEvent &event)
{
    std::string timestamp = MonUtcTimestamp();
    return jsonLines ? MonFormatEventJson(event, timestamp) : MonFormatEventText(event, timestamp);
}

// Prints one event at once: a log shipper reading the pipe sees each line
// as it happens.
static void Emit(const MonEvent &event)
{
    std::string line = EventLine(event);
    MonLockOutput();
    fputs(line.c_str(), stdout);
    fflush(stdout);
    MonUnlockOutput();
}

// Runs on the stop thread with the output lock held.
static void LastWords(const char *signalName)
{
    MonEvent event = MonEvent();
    event.kind = MON_EVENT_STOPPED;
    event.reason = signalName;
    fputs(EventLine(event).c_str(), stdout);
}

static MonEvent CountsEvent(MonEventKind kind, const MonTopology &topology)
{
    MonEvent event = MonEvent();
    event.kind = kind;
    event.counts = MonCountTopology(&topology.info);
    return event;
}

static MonEvent ReasonEvent(MonEventKind kind, const std::string &reason)
{
    MonEvent event = MonEvent();
    event.kind = kind;
    event.reason = reason;
    return event;
}

// Reads until the driver answers, every intervalSeconds; the library's
// lines of the failed attempts are dropped.
static void ReadUntilBack(MonTopology *topology, int intervalSeconds)
{
    for (;;) {
        MonSleepSeconds(intervalSeconds);
        if (MonReadTopology(topology, false) == FERV_STATUS_SUCCESS)
            return;
        MonTakeLibraryLines();
    }
}

// Why the driver could not be read: the library's lines, or the status.
static std::string Reason(FERV_STATUS status)
{
    std::string reason = MonTakeLibraryReason();
    if (!reason.empty())
        return reason;
    const char *message = FervStatusMessage(status);
    return (message ? std::string(message) : std::string("status")) + " (" + std::to_string(status) + ")";
}

int MonRunWatch(const MonOptions &options)
{
    jsonLines = options.json;
    if (!MonEndOnStopSignal(LastWords)) {
        fprintf(stderr, "fervmon watch: cannot take the stop signals\n");
        return 1;
    }

    MonTopology shown; // the topology the last lines describe
    FERV_STATUS status = MonReadTopology(&shown, false);
    if (status == FERV_STATUS_SUCCESS) {
        Emit(CountsEvent(MON_EVENT_STARTED, shown));
    } else {
        Emit(ReasonEvent(MON_EVENT_DRIVER_LOST, Reason(status)));
        ReadUntilBack(&shown, options.intervalSeconds);
        Emit(CountsEvent(MON_EVENT_DRIVER_BACK, shown));
    }

    // Key 0 names no change the driver has counted, so the first wait comes
    // back at once with the driver's current count, and the reading after
    // it catches whatever changed since the first one. From then on each
    // wait carries the count of the last wake-up: a change that comes
    // between a wake-up and the next wait is answered at once, and every
    // reading is compared with the topology last printed, not with the
    // wake-up.
    uint32_t key = 0;
    bool waitFailing = false;
    for (;;) {
        uint32_t keyBefore = key;
        FERV_STATUS waited = FervWaitForChange(&key);
        bool woke = waited == FERV_STATUS_SUCCESS || waited == FERV_STATUS_ALREADY_ACTIVE;
        std::string waitReason = woke ? std::string() : Reason(waited);

        MonTopology next;
        status = MonReadTopology(&next, false);
        if (status != FERV_STATUS_SUCCESS) {
            // The failed reading says why the driver is out of reach now.
            Emit(ReasonEvent(MON_EVENT_DRIVER_LOST, Reason(status)));
            ReadUntilBack(&next, options.intervalSeconds);
            Emit(CountsEvent(MON_EVENT_DRIVER_BACK, next));
            key = 0;
            waitFailing = false;
        } else if (!woke) {
            // The driver answers but refuses the wait: read it at the
            // interval instead, and say so once.
            if (!waitFailing)
                Emit(ReasonEvent(MON_EVENT_WAIT_FAILED,
                                 waitReason + "; reading every " + std::to_string(options.intervalSeconds) + " s"));
            waitFailing = true;
            key = 0;
        } else {
            waitFailing = false;
        }

        std::vector<MonEvent> events;
        MonDiffTopology(&shown.info, &next.info, &events);
        for (const MonEvent &event : events)
            Emit(event);
        MonFreeTopology(&shown);
        shown = next;
        if (waitFailing) {
            MonSleepSeconds(options.intervalSeconds);
        } else if (woke && key == keyBefore && events.empty()) {
            // A driver that answers every wait at once, with nothing new to
            // show, is read once a second rather than in a busy loop.
            MonSleepSeconds(1);
        }
    }
}
