// Topology model, failover and the driver's commands.
#include "sim/model.h"

#include "proto/ferv_proto.h"

#include <stdio.h>
#include <string.h>

// ---- helpers ----------------------------------------------------------------------

static std::string WwnKey(const uint8_t *wwn)
{
    return std::string(reinterpret_cast<const char *>(wwn), 16);
}

static uint32_t NextRandom(SimModel *m)
{
    // xorshift32: cheap, deterministic for a given seed, never sticks at 0.
    uint32_t x = m->rng ? m->rng : 0x2545f491u;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    m->rng = x;
    return x;
}

static uint32_t HashText(const std::string &s)
{
    uint32_t h = 2166136261u;
    for (unsigned char c : s)
        h = (h ^ c) * 16777619u;
    return h;
}

static void Log(SimModel *m, uint32_t kind, const std::string &text)
{
    m->events.push_back(SimEvent{kind, text});
}

static bool SymmetricBalanced(const SimLun &l)
{
    return l.pathingMode == FERV_PATHING_SYMMETRIC && l.loadBalancing == 1;
}

bool SimPathUsable(const SimPath &p)
{
    return p.linkUp && !p.disabled && p.stateOverride < 0;
}

static uint8_t ComputeState(const SimPath &p)
{
    if (p.stateOverride >= 0)
        return (uint8_t)p.stateOverride;
    if (p.disabled)
        return FERV_PATH_STATE_ADMIN;
    if (!p.linkUp)
        return FERV_PATH_STATE_DOWN;
    return p.active ? FERV_PATH_STATE_UP_ACTIVE : FERV_PATH_STATE_UP_STANDBY;
}

static void UpdateState(SimModel *m, int pi)
{
    SimPath &p = m->paths[pi];
    uint8_t s = ComputeState(p);
    if (s == p.state)
        return;
    if (!m->quiet)
        Log(m, FERV_LOG_DATA_PATH, "path " + p.name + ": " + SimStateName(p.state) + " -> " + SimStateName(s));
    p.state = s;
    if (s != FERV_PATH_STATE_UP_ACTIVE)
        p.counters.outstandingIo = 0; // in-flight I/O is retried on the new active path
    m->changed = true;
}

static int ActivePath(const SimModel &m, const SimLun &l)
{
    for (int pi : l.paths)
        if (m.paths[pi].active)
            return pi;
    return -1;
}

// First usable path, preferred ones first; -1 when none.
static int ChooseFailoverPath(const SimModel &m, const SimLun &l)
{
    for (int pi : l.paths)
        if (m.paths[pi].preferred && SimPathUsable(m.paths[pi]))
            return pi;
    for (int pi : l.paths)
        if (SimPathUsable(m.paths[pi]))
            return pi;
    return -1;
}

// Restores the LUN's invariants after any change to its paths: unusable paths
// carry no I/O; a LUN with a usable path has an active one (every usable path
// in Symmetric mode with load balancing); then the reported states follow.
static void SettleLun(SimModel *m, int li)
{
    SimLun &l = m->luns[li];
    int before = ActivePath(*m, l);
    bool hadActive = before >= 0;
    int failedOver = -1;
    for (int pi : l.paths)
        if (!SimPathUsable(m->paths[pi]))
            m->paths[pi].active = false;

    if (SymmetricBalanced(l)) {
        for (int pi : l.paths)
            m->paths[pi].active = SimPathUsable(m->paths[pi]);
    } else {
        int keep = -1;
        for (int pi : l.paths) {
            if (!m->paths[pi].active)
                continue;
            if (keep < 0)
                keep = pi;
            else
                m->paths[pi].active = false; // one active path outside balanced mode
        }
        if (keep < 0) {
            int chosen = ChooseFailoverPath(*m, l);
            if (chosen >= 0)
                m->paths[chosen].active = true;
            failedOver = hadActive ? chosen : -1;
        }
    }
    for (int pi : l.paths)
        UpdateState(m, pi);
    if (failedOver >= 0)
        Log(m, FERV_LOG_DATA_PATH, "LUN " + l.name + ": failed over to path " + m->paths[failedOver].name);
    if (hadActive && ActivePath(*m, l) < 0)
        Log(m, FERV_LOG_CRITICAL_ERRORS, "LUN " + l.name + ": no usable path left");
}

// ---- building ------------------------------------------------------------------------

int SimAddHba(SimModel *m, const std::string &name)
{
    SimHba h;
    h.name = name;
    m->hbas.push_back(h);
    return (int)m->hbas.size() - 1;
}

int SimAddDevice(SimModel *m, const std::string &name)
{
    SimDevice d;
    d.name = name;
    m->devices.push_back(d);
    return (int)m->devices.size() - 1;
}

int SimAddLun(SimModel *m, int device, const std::string &name)
{
    SimLun l;
    l.name = name;
    l.device = device;
    l.ioRate = 40 + HashText(name) % 1500;
    m->luns.push_back(l);
    int li = (int)m->luns.size() - 1;
    m->devices[device].luns.push_back(li);
    return li;
}

int SimAddPath(SimModel *m, int lun, int hba, const std::string &name)
{
    SimPath p;
    p.name = name;
    p.lun = lun;
    p.hba = hba;
    m->paths.push_back(std::move(p));
    int pi = (int)m->paths.size() - 1;
    m->luns[lun].paths.push_back(pi);
    if (hba >= 0)
        m->hbas[hba].paths.push_back(pi);
    return pi;
}

bool SimIndexModel(SimModel *m, std::string *error)
{
    m->pathByName.clear();
    m->hbaByName.clear();
    m->deviceByWwn.clear();
    m->lunByWwn.clear();
    m->pathByName.reserve(m->paths.size());
    m->lunByWwn.reserve(m->luns.size());
    for (size_t i = 0; i < m->hbas.size(); i++)
        m->hbaByName.emplace(m->hbas[i].name, (int)i);
    for (size_t i = 0; i < m->devices.size(); i++) {
        if (!m->deviceByWwn.emplace(WwnKey(m->devices[i].wwn), (int)i).second) {
            *error = "two devices share the WWN " + SimWwnText(m->devices[i].wwn);
            return false;
        }
    }
    for (size_t i = 0; i < m->luns.size(); i++) {
        if (!m->lunByWwn.emplace(WwnKey(m->luns[i].wwn), (int)i).second) {
            *error = "two LUNs share the WWN " + SimWwnText(m->luns[i].wwn);
            return false;
        }
    }
    for (size_t i = 0; i < m->paths.size(); i++) {
        if (!m->pathByName.emplace(SimPathKey(m->paths[i].name), (int)i).second) {
            *error = "two paths share the name (first 80 characters) " + SimPathKey(m->paths[i].name);
            return false;
        }
    }
    // Initial states are settled quietly: loading a topology is no fabric
    // event (and at 100,000 paths their lines alone would slow the start).
    m->quiet = true;
    for (size_t li = 0; li < m->luns.size(); li++) {
        SettleLun(m, (int)li);
        for (int pi : m->luns[li].paths)
            m->paths[pi].failbackDue = false;
    }
    m->quiet = false;
    m->events.clear();
    m->changed = false;
    // Whatever was encoded before describes another topology.
    for (SimEncoding &e : m->encodings)
        e = SimEncoding();
    return true;
}

// ---- lookups ---------------------------------------------------------------------------

std::string SimPathKeyFromField(const uint8_t *field)
{
    size_t n = 0;
    while (n < FERV_PATH_NAME_MAX && field[n] != 0)
        n++;
    return std::string(reinterpret_cast<const char *>(field), n);
}

std::string SimPathKey(const std::string &name)
{
    size_t n = 0;
    while (n < name.size() && n < FERV_PATH_NAME_MAX && name[n] != '\0')
        n++;
    return name.substr(0, n);
}

int SimFindPath(const SimModel &m, const std::string &key)
{
    auto it = m.pathByName.find(key);
    return it == m.pathByName.end() ? -1 : it->second;
}

int SimFindDevice(const SimModel &m, const uint8_t *wwn)
{
    auto it = m.deviceByWwn.find(WwnKey(wwn));
    return it == m.deviceByWwn.end() ? -1 : it->second;
}

int SimFindLun(const SimModel &m, const uint8_t *wwn)
{
    auto it = m.lunByWwn.find(WwnKey(wwn));
    return it == m.lunByWwn.end() ? -1 : it->second;
}

int SimFindHba(const SimModel &m, const std::string &name)
{
    auto it = m.hbaByName.find(name);
    return it == m.hbaByName.end() ? -1 : it->second;
}

// ---- commands ----------------------------------------------------------------------------

static FERV_STATUS DisablePath(SimModel *m, int pi)
{
    SimPath &p = m->paths[pi];
    if (p.disabled)
        return FERV_STATUS_SUCCESS;
    if (SimPathUsable(p)) {
        bool other = false;
        for (int qi : m->luns[p.lun].paths)
            if (qi != pi && SimPathUsable(m->paths[qi]))
                other = true;
        if (!other)
            return FERV_STATUS_NO_ALTERNATE_PATH;
    }
    p.disabled = true;
    p.stateOverride = -1;
    p.failbackDue = false;
    SettleLun(m, p.lun);
    return FERV_STATUS_SUCCESS;
}

static FERV_STATUS ActivatePath(SimModel *m, int pi)
{
    SimPath &p = m->paths[pi];
    if (!SimPathUsable(p))
        return FERV_STATUS_PATH_DOWN;
    if (p.active)
        return FERV_STATUS_ALREADY_ACTIVE;
    for (int qi : m->luns[p.lun].paths)
        m->paths[qi].active = false;
    m->paths[pi].active = true;
    Log(m, FERV_LOG_DATA_PATH, "LUN " + m->luns[p.lun].name + ": path " + p.name + " made active");
    SettleLun(m, m->paths[pi].lun);
    return FERV_STATUS_SUCCESS;
}

static FERV_STATUS EnablePath(SimModel *m, int pi)
{
    SimPath &p = m->paths[pi];
    if (!p.linkUp)
        return FERV_STATUS_PATH_ENABLE_FAILED;
    if (!p.disabled && p.stateOverride < 0)
        return FERV_STATUS_SUCCESS;
    p.disabled = false;
    p.stateOverride = -1;
    if (p.preferred)
        p.failbackDue = true;
    SettleLun(m, p.lun);
    return FERV_STATUS_SUCCESS;
}

FERV_STATUS SimPathCommand(SimModel *m, int path, uint8_t command)
{
    FERV_STATUS st;
    const char *what;
    switch (command) {
    case FERV_PATH_CMD_DISABLE:
        what = "disable";
        st = DisablePath(m, path);
        break;
    case FERV_PATH_CMD_ACTIVATE:
        what = "activate";
        st = ActivatePath(m, path);
        break;
    case FERV_PATH_CMD_ENABLE:
        what = "enable";
        st = EnablePath(m, path);
        break;
    default:
        return FERV_STATUS_INVALID_COMMAND;
    }
    Log(m, FERV_LOG_INFORMATIONAL,
        std::string("command ") + what + " path " + m->paths[path].name + ": status " + std::to_string(st));
    return st;
}

FERV_STATUS SimLunRestorePreferred(SimModel *m, int li)
{
    SimLun &l = m->luns[li];
    int firstUsable = -1;
    bool anyPreferred = false;
    for (int pi : l.paths) {
        const SimPath &p = m->paths[pi];
        if (!p.preferred)
            continue;
        anyPreferred = true;
        if (p.active)
            return FERV_STATUS_SUCCESS; // already on a preferred path
        if (firstUsable < 0 && SimPathUsable(p))
            firstUsable = pi;
    }
    if (!anyPreferred)
        return FERV_STATUS_PATH_SELECT_FAILED;
    if (firstUsable < 0)
        return FERV_STATUS_PRIMARY_PATH_DOWN;
    for (int pi : l.paths)
        m->paths[pi].active = false;
    m->paths[firstUsable].active = true;
    Log(m, FERV_LOG_DATA_PATH, "LUN " + l.name + ": preferred path " + m->paths[firstUsable].name + " restored");
    SettleLun(m, li);
    return FERV_STATUS_SUCCESS;
}

FERV_STATUS SimLunCommand(SimModel *m, int lun, uint8_t command)
{
    if (command != FERV_LUN_CMD_RESTORE_PREFERRED)
        return FERV_STATUS_INVALID_COMMAND;
    FERV_STATUS st = SimLunRestorePreferred(m, lun);
    Log(m, FERV_LOG_INFORMATIONAL, "command restore LUN " + m->luns[lun].name + ": status " + std::to_string(st));
    return st;
}

FERV_STATUS SimDeviceCommand(SimModel *m, int device, uint8_t command, int32_t *numSuccessful, int32_t *numFailed)
{
    *numSuccessful = 0;
    *numFailed = 0;
    if (command != FERV_DEVICE_CMD_RESTORE_PREFERRED)
        return FERV_STATUS_INVALID_COMMAND;
    for (int li : m->devices[device].luns) {
        if (SimLunRestorePreferred(m, li) == FERV_STATUS_SUCCESS)
            (*numSuccessful)++;
        else
            (*numFailed)++;
    }
    FERV_STATUS st = *numFailed ? FERV_STATUS_RESTORE_FAILED : FERV_STATUS_SUCCESS;
    Log(m, FERV_LOG_INFORMATIONAL,
        "command restore device " + m->devices[device].name + ": " + std::to_string(*numSuccessful) + " restored, " +
            std::to_string(*numFailed) + " failed");
    return st;
}

FERV_STATUS SimSetPublicParameters(SimModel *m, const uint32_t words[7])
{
    if (words[0] != FERV_PARAM_UNCHANGED && (words[0] < 2 || words[0] > 60))
        return FERV_STATUS_INVALID_PARAMETER;
    if (words[1] != FERV_PARAM_UNCHANGED && words[1] > 1)
        return FERV_STATUS_INVALID_PARAMETER;
    if (words[0] != FERV_PARAM_UNCHANGED)
        m->params.pollRate = (int32_t)words[0];
    if (words[1] != FERV_PARAM_UNCHANGED)
        m->params.autoFailBack = (int32_t)words[1];
    if (words[2] != FERV_PARAM_UNCHANGED)
        m->params.logLevel = words[2];
    // The four version words are the driver's own; a caller cannot set them.
    char line[128];
    snprintf(line, sizeof line, "parameters: poll rate %d, auto failback %d, log level 0x%02x", m->params.pollRate,
             m->params.autoFailBack, m->params.logLevel);
    Log(m, FERV_LOG_INFORMATIONAL, line);
    return FERV_STATUS_SUCCESS;
}

void SimSetPrivateParameters(SimModel *m, const uint32_t words[3])
{
    if (words[0] != FERV_PARAM_UNCHANGED)
        m->params.paramT = words[0];
    if (words[1] != FERV_PARAM_UNCHANGED)
        m->params.paramR = words[1];
    if (words[2] != FERV_PARAM_UNCHANGED)
        m->params.paramD = words[2];
    char line[128];
    snprintf(line, sizeof line, "private parameters: T 0x%x, R 0x%x, D 0x%x", m->params.paramT, m->params.paramR,
             m->params.paramD);
    Log(m, FERV_LOG_INFORMATIONAL, line);
}

// ---- fabric events -------------------------------------------------------------------------

bool SimSetLink(SimModel *m, int pi, bool up)
{
    SimPath &p = m->paths[pi];
    if (p.linkUp == up && p.stateOverride < 0)
        return false;
    bool wasLoaded = p.active && p.counters.outstandingIo > 0;
    if (!up && wasLoaded) {
        // The requests in flight on a dropped link fail.
        p.counters.ioErrors += p.counters.outstandingIo;
        Log(m, FERV_LOG_CAUTION,
            "path " + p.name + ": link lost with " + std::to_string(p.counters.outstandingIo) +
                " requests in flight");
        p.counters.outstandingIo = 0;
    }
    p.linkUp = up;
    p.stateOverride = -1;
    if (up && p.preferred && !p.disabled)
        p.failbackDue = true;
    Log(m, FERV_LOG_INFORMATIONAL, "fabric: link " + std::string(up ? "up" : "down") + " on path " + p.name);
    SettleLun(m, p.lun);
    return true;
}

int SimSetHbaLink(SimModel *m, int hba, bool up)
{
    int n = 0;
    for (int pi : m->hbas[hba].paths)
        if (SimSetLink(m, pi, up))
            n++;
    return n;
}

void SimPoll(SimModel *m)
{
    for (size_t li = 0; li < m->luns.size(); li++) {
        SimLun &l = m->luns[li];
        int due = -1;
        for (int pi : l.paths) {
            SimPath &p = m->paths[pi];
            if (p.failbackDue && due < 0 && SimPathUsable(p))
                due = pi;
            p.failbackDue = false;
        }
        if (due < 0 || m->params.autoFailBack != 1 || SymmetricBalanced(l))
            continue;
        int act = ActivePath(*m, l);
        if (act >= 0 && m->paths[act].preferred)
            continue;
        for (int pi : l.paths)
            m->paths[pi].active = false;
        m->paths[due].active = true;
        Log(m, FERV_LOG_DATA_PATH, "LUN " + l.name + ": failback to preferred path " + m->paths[due].name);
        SettleLun(m, (int)li);
    }
}

void SimRunIo(SimModel *m, double seconds)
{
    for (SimLun &l : m->luns) {
        int active = 0;
        for (int pi : l.paths)
            if (m->paths[pi].active)
                active++;
        if (active == 0 || l.ioRate == 0)
            continue;
        for (int pi : l.paths) {
            SimPath &p = m->paths[pi];
            if (!p.active)
                continue;
            double share = (double)l.ioRate * seconds / active;
            uint32_t jitter = NextRandom(m) % 21; // +-10 %
            uint32_t reqs = (uint32_t)(share * (90 + jitter) / 100.0 + 0.5);
            uint32_t blocksPerRequest = 8u << (NextRandom(m) % 5); // 4 KiB to 64 KiB
            p.counters.hostRequests += reqs;
            p.counters.blocksTransferred += reqs * blocksPerRequest;
            p.counters.outstandingIo = reqs ? 1 + NextRandom(m) % 16 : 0;
        }
    }
}

SimCounters SimLunCounters(const SimModel &m, int lun)
{
    SimCounters s;
    for (int pi : m.luns[lun].paths) {
        const SimCounters &c = m.paths[pi].counters;
        s.ioErrors += c.ioErrors;
        s.hostRequests += c.hostRequests;
        s.outstandingIo += c.outstandingIo;
        s.blocksTransferred += c.blocksTransferred;
    }
    return s;
}

bool SimTakeChange(SimModel *m)
{
    if (!m->changed)
        return false;
    m->changed = false;
    m->changeCounter++;
    if (m->changeCounter < 2)
        m->changeCounter = 2;
    return true;
}

// ---- names ------------------------------------------------------------------------------------

static const char *const kPathingModeNames[] = {"single", "symmetric", "asymmetric"};
static_assert(sizeof kPathingModeNames / sizeof kPathingModeNames[0] == FERV_PATHING_ASYMMETRIC + 1,
              "one name per pathing mode");

const char *SimStateName(uint8_t state)
{
    const char *name = FervPathStateName(state);
    return name ? name : "?";
}

const char *SimPathingModeName(uint32_t mode)
{
    return mode <= FERV_PATHING_ASYMMETRIC ? kPathingModeNames[mode] : "?";
}

std::string SimWwnText(const uint8_t *wwn)
{
    static const char digits[] = "0123456789abcdef";
    std::string s(32, '0');
    for (int i = 0; i < 16; i++) {
        s[2 * i] = digits[wwn[i] >> 4];
        s[2 * i + 1] = digits[wwn[i] & 15];
    }
    return s;
}

bool SimParseHexBytes(const std::string &text, uint8_t *bytes, int count)
{
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (c == ':' || c == '-')
            continue;
        int v = FervHexDigitValue(c);
        if (v < 0 || (int)out.size() == count)
            return false;
        if (high < 0) {
            high = v;
        } else {
            out.push_back((uint8_t)(high << 4 | v));
            high = -1;
        }
    }
    if ((int)out.size() != count || high >= 0)
        return false;
    memcpy(bytes, out.data(), (size_t)count);
    return true;
}

bool SimParseUnsigned(const std::string &text, uint64_t max, uint64_t *value)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    size_t i = hex ? 2 : 0;
    if (i >= text.size())
        return false;
    uint64_t base = hex ? 16 : 10, v = 0;
    for (; i < text.size(); i++) {
        int digit = hex ? FervHexDigitValue(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0 || (uint64_t)digit > max || v > (max - (uint64_t)digit) / base)
            return false;
        v = v * base + (uint64_t)digit;
    }
    *value = v;
    return true;
}

bool SimParseWwn(const std::string &text, uint8_t *wwn)
{
    return SimParseHexBytes(text, wwn, 16);
}
