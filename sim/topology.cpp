// Topology sources: built-in, JSON file, synthetic; and the model written out.
#include "sim/topology.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

// ---- the built-in SAN ----------------------------------------------------------------

struct DefaultLun {
    const char *name;
    uint32_t mode;
    uint8_t loadBalancing;
    int preferredPath; // 0..3: (HBA, target port) pairs below
};

struct DefaultDevice {
    const char *name;
    const char *serial;
    const char *ip;
    const char *firmware;
    const char *wwn;
    int secondaryEntries;
    int firstTarget; // target port numbers of the array's two controllers
    DefaultLun luns[3];
};

static const DefaultDevice kDefaultDevices[] = {
    {"ZEL HA-4200 array-east",
     "ZL42E0A17731",
     "10.20.1.21",
     "4.12.0037",
     "600a0b80002f1e2c00004d3c50a10001",
     2,
     0,
     {{"exchange_db", FERV_PATHING_ASYMMETRIC, 0, 0},
      {"exchange_logs", FERV_PATHING_ASYMMETRIC, 0, 3},
      {"vmfs_datastore1", FERV_PATHING_SYMMETRIC, 1, 1}}},
    {"ZEL HA-2100 array-west",
     "ZL21W0B09214",
     "10.20.2.21",
     "3.8.0112",
     "600a0b80003a7d9100005e1f72b20002",
     2,
     2,
     {{"sql_data", FERV_PATHING_SYMMETRIC, 0, 2},
      {"sql_log", FERV_PATHING_SINGLE, 0, 1},
      {"backup_vault", FERV_PATHING_ASYMMETRIC, 0, 0}}},
};

static void WwnFromText(const char *text, uint8_t *wwn)
{
    if (!SimParseWwn(text, wwn))
        memset(wwn, 0, 16);
}

bool SimLoadDefaultTopology(SimModel *m, std::string *error)
{
    static const char *const hbaNames[] = {"HBA0-KF82002", "HBA1-KF82002"};
    static const uint8_t wwpnBase[8] = {0x21, 0x00, 0x00, 0x0a, 0x1f, 0x3a, 0x1b, 0x00};
    for (int h = 0; h < 2; h++) {
        int hi = SimAddHba(m, hbaNames[h]);
        m->hbas[hi].model = "Kestrel KF82002 8Gb FC";
        memcpy(m->hbas[hi].wwpn, wwpnBase, 8);
        m->hbas[hi].wwpn[7] = (uint8_t)h;
    }
    for (const DefaultDevice &dd : kDefaultDevices) {
        int di = SimAddDevice(m, dd.name);
        SimDevice &d = m->devices[di];
        d.serial = dd.serial;
        d.ip = dd.ip;
        d.firmware = dd.firmware;
        d.secondaryCount = dd.secondaryEntries;
        WwnFromText(dd.wwn, d.wwn);
        int lunNumber = 0;
        for (const DefaultLun &dl : dd.luns) {
            int li = SimAddLun(m, di, dl.name);
            SimLun &l = m->luns[li];
            l.pathingMode = dl.mode;
            l.loadBalancing = dl.loadBalancing;
            memcpy(l.wwn, m->devices[di].wwn, 16);
            l.wwn[12] = 0x60;
            l.wwn[13] = (uint8_t)(0x10 + di);
            l.wwn[14] = 0x00;
            l.wwn[15] = (uint8_t)lunNumber;
            // Four paths: each HBA reaches both controllers of the array.
            for (int k = 0; k < 4; k++) {
                int hba = k % 2;
                int target = dd.firstTarget + k / 2;
                char name[32];
                snprintf(name, sizeof name, "hba%d-t%d-lun%d", hba, target, lunNumber);
                int pi = SimAddPath(m, li, hba, name);
                m->paths[pi].preferred = k == dl.preferredPath;
            }
            lunNumber++;
        }
    }
    return SimIndexModel(m, error);
}

// ---- synthetic topologies -------------------------------------------------------------

bool SimParseShape(const std::string &shape, SimShape *out, std::string *error)
{
    // The limits of one synthetic topology: what a reply can carry in all,
    // and what a model the size of a large SAN needs, not more.
    static const struct {
        const char *what;
        uint64_t max;
    } kParts[3] = {{"devices", 100000}, {"LUNs per device", 100000}, {"paths per LUN", 64}};
    std::vector<std::string> parts;
    for (size_t from = 0;;) {
        size_t colon = shape.find(':', from);
        parts.push_back(shape.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    uint64_t n[3] = {0, 0, 0};
    for (size_t i = 0; i < parts.size(); i++) {
        if (parts.size() != 3 || !SimParseUnsigned(parts[i], UINT32_MAX, &n[i])) {
            *error = "--generate wants DEVICES:LUNS:PATHS, e.g. 100:100:10, not '" + shape + "'";
            return false;
        }
    }
    for (int i = 0; i < 3; i++) {
        if (n[i] > kParts[i].max) {
            *error = "--generate: at most " + std::to_string(kParts[i].max) + " " + kParts[i].what + ", not " +
                     std::to_string(n[i]);
            return false;
        }
    }
    uint64_t luns = n[0] * n[1], paths = luns * n[2];
    if (luns > SIM_MAX_GENERATED) {
        *error =
            "--generate: at most " + std::to_string(SIM_MAX_GENERATED) + " LUNs in all, not " + std::to_string(luns);
        return false;
    }
    if (paths > SIM_MAX_GENERATED) {
        *error = "--generate: at most " + std::to_string(SIM_MAX_GENERATED) + " paths in all, not " +
                 std::to_string(paths);
        return false;
    }
    out->devices = (long)n[0];
    out->luns = (long)n[1];
    out->paths = (long)n[2];
    return true;
}

bool SimGenerateTopology(const std::string &text, SimModel *m, std::string *error)
{
    SimShape shape;
    if (!SimParseShape(text, &shape, error))
        return false;
    const long devices = shape.devices, luns = shape.luns, paths = shape.paths;
    const int hbaCount = 4;
    for (int h = 0; h < hbaCount; h++) {
        char name[16];
        snprintf(name, sizeof name, "HBA%d", h);
        int hi = SimAddHba(m, name);
        m->hbas[hi].model = "synthetic 16Gb FC";
        m->hbas[hi].wwpn[0] = 0x21;
        m->hbas[hi].wwpn[7] = (uint8_t)h;
    }
    m->devices.reserve((size_t)devices);
    m->luns.reserve((size_t)(devices * luns));
    m->paths.reserve((size_t)(devices * luns * paths));
    static const uint32_t modes[] = {FERV_PATHING_ASYMMETRIC, FERV_PATHING_SYMMETRIC, FERV_PATHING_SINGLE};
    char name[96];
    for (long d = 0; d < devices; d++) {
        snprintf(name, sizeof name, "synthetic array %03ld", d);
        int di = SimAddDevice(m, name);
        SimDevice &dev = m->devices[di];
        snprintf(name, sizeof name, "SYN%08ld", d);
        dev.serial = name;
        snprintf(name, sizeof name, "10.%ld.%ld.10", 100 + d / 250, d % 250);
        dev.ip = name;
        dev.firmware = "1.0.0000";
        dev.secondaryCount = 1;
        uint8_t dw[16] = {0x60, 0x0a, 0x0b, 0x80, 0x00, 0x00};
        dw[6] = (uint8_t)(d >> 24);
        dw[7] = (uint8_t)(d >> 16);
        dw[8] = (uint8_t)(d >> 8);
        dw[9] = (uint8_t)d;
        memcpy(dev.wwn, dw, 16);
        for (long l = 0; l < luns; l++) {
            snprintf(name, sizeof name, "lun%04ld", l);
            int li = SimAddLun(m, di, name);
            SimLun &lun = m->luns[li];
            lun.pathingMode = modes[l % 3];
            lun.loadBalancing = (l % 3 == 1) ? 1 : 0;
            uint8_t lw[16] = {0x60, 0x0a, 0x0b, 0x81};
            lw[4] = (uint8_t)(d >> 24);
            lw[5] = (uint8_t)(d >> 16);
            lw[6] = (uint8_t)(d >> 8);
            lw[7] = (uint8_t)d;
            lw[8] = (uint8_t)(l >> 24);
            lw[9] = (uint8_t)(l >> 16);
            lw[10] = (uint8_t)(l >> 8);
            lw[11] = (uint8_t)l;
            memcpy(lun.wwn, lw, 16);
            for (long k = 0; k < paths; k++) {
                snprintf(name, sizeof name, "d%03ld-l%04ld-p%ld", d, l, k);
                int pi = SimAddPath(m, li, (int)((l + k) % hbaCount), name);
                m->paths[pi].preferred = k == l % paths;
            }
        }
    }
    return SimIndexModel(m, error);
}

// ---- topology files ------------------------------------------------------------------------

struct Reader {
    std::string error;
};

static bool Fail(Reader *r, const std::string &where, const std::string &what)
{
    if (r->error.empty())
        r->error = where + ": " + what;
    return false;
}

// The text of a JSON value for a message: short, as written.
static std::string Shown(const json &v)
{
    std::string text = v.dump(-1, ' ', false, json::error_handler_t::replace);
    return text.size() > 40 ? text.substr(0, 37) + "..." : text;
}

// A number from 0 to 4294967295, given as a JSON integer or as a text in
// decimal or 0x hexadecimal ("31", "0x1f"). A negative number, a sign, a
// blank or a fraction is refused rather than wrapped or cut.
static bool ReadU32(Reader *r, const json &v, const std::string &where, uint32_t *out)
{
    uint64_t x = 0;
    bool ok = v.is_number_unsigned() ? (x = v.get<uint64_t>()) <= UINT32_MAX
              : v.is_string()        ? SimParseUnsigned(v.get<std::string>(), UINT32_MAX, &x)
                                     : false;
    if (!ok)
        return Fail(r, where, "must be a number from 0 to 4294967295, not " + Shown(v));
    *out = (uint32_t)x;
    return true;
}

// A signed 32-bit number: the same, with a minus sign allowed.
static bool ReadI32(Reader *r, const json &v, const std::string &where, int32_t *out)
{
    uint64_t x = 0;
    bool ok;
    if (v.is_number_unsigned()) {
        ok = (x = v.get<uint64_t>()) <= INT32_MAX;
        *out = (int32_t)x;
    } else if (v.is_number_integer()) {
        long long y = v.get<long long>();
        ok = y >= INT32_MIN && y <= INT32_MAX;
        *out = (int32_t)y;
    } else if (v.is_string()) {
        std::string text = v.get<std::string>();
        bool negative = !text.empty() && text[0] == '-';
        ok = SimParseUnsigned(negative ? text.substr(1) : text, negative ? 2147483648u : INT32_MAX, &x);
        *out = negative ? (int32_t)(0 - x) : (int32_t)x;
    } else {
        ok = false;
    }
    if (!ok)
        return Fail(r, where, "must be a number from -2147483648 to 2147483647, not " + Shown(v));
    return true;
}

static bool ReadText(Reader *r, const json &obj, const char *key, const std::string &where, std::string *out,
                     bool required)
{
    auto it = obj.find(key);
    if (it == obj.end()) {
        if (required)
            return Fail(r, where, std::string("\"") + key + "\" is missing");
        return true;
    }
    if (!it->is_string())
        return Fail(r, where, std::string("\"") + key + "\" must be a text");
    *out = it->get<std::string>();
    return true;
}

static bool ReadBool(Reader *r, const json &obj, const char *key, const std::string &where, bool *out)
{
    auto it = obj.find(key);
    if (it == obj.end())
        return true;
    if (!it->is_boolean())
        return Fail(r, where, std::string("\"") + key + "\" must be true or false");
    *out = it->get<bool>();
    return true;
}

static bool ReadWwn(Reader *r, const json &obj, const std::string &where, uint8_t *wwn)
{
    std::string text;
    if (!ReadText(r, obj, "wwn", where, &text, true))
        return false;
    if (!SimParseWwn(text, wwn))
        return Fail(r, where, "\"wwn\" must be 32 hexadecimal digits");
    return true;
}

static bool ReadParameters(Reader *r, const json &p, SimParams *out)
{
    const std::string where = "parameters";
    if (!p.is_object())
        return Fail(r, where, "must be an object");
    struct Signed {
        const char *key;
        int32_t *dst;
    } signedFields[] = {{"pollRate", &out->pollRate}, {"autoFailBack", &out->autoFailBack}};
    for (const Signed &f : signedFields) {
        auto it = p.find(f.key);
        if (it != p.end() && !ReadI32(r, *it, where + "." + f.key, f.dst))
            return false;
    }
    struct Field {
        const char *key;
        uint32_t *dst;
    } fields[] = {
        {"logLevel", &out->logLevel}, {"paramT", &out->paramT}, {"paramR", &out->paramR}, {"paramD", &out->paramD}};
    for (const Field &f : fields) {
        auto it = p.find(f.key);
        if (it != p.end() && !ReadU32(r, *it, where + "." + f.key, f.dst))
            return false;
    }
    if (out->pollRate < 2 || out->pollRate > 60)
        return Fail(r, where, "pollRate must lie from 2 to 60");
    if (out->autoFailBack != 0 && out->autoFailBack != 1)
        return Fail(r, where, "autoFailBack must be 0 or 1");
    auto dv = p.find("driverVersion");
    if (dv != p.end()) {
        if (!dv->is_array() || dv->size() != 4)
            return Fail(r, where, "driverVersion must be four numbers");
        for (int i = 0; i < 4; i++)
            if (!ReadI32(r, (*dv)[(size_t)i], where + ".driverVersion[" + std::to_string(i) + "]",
                         &out->driverVersion[i]))
                return false;
    }
    return true;
}

static bool ReadLayout(Reader *r, const json &l, SimLayout *out)
{
    const std::string where = "layout";
    if (!l.is_object())
        return Fail(r, where, "must be an object");
    std::string order;
    if (!ReadText(r, l, "order", where, &order, false))
        return false;
    if (order == "depth-first" || order.empty())
        out->order = SIM_ORDER_DEPTH_FIRST;
    else if (order == "breadth-first")
        out->order = SIM_ORDER_BREADTH_FIRST;
    else if (order == "reverse")
        out->order = SIM_ORDER_REVERSE;
    else
        return Fail(r, where, "order must be depth-first, breadth-first or reverse");
    struct Field {
        const char *key;
        uint32_t *dst;
    } fields[] = {{"hbaRecordSize", &out->hbaRecordSize}, {"secondaryRecordSize", &out->secondaryRecordSize}};
    for (const Field &f : fields) {
        auto it = l.find(f.key);
        if (it == l.end())
            continue;
        uint32_t v;
        if (!ReadU32(r, *it, where + "." + f.key, &v))
            return false;
        if (v < 4 || v > 65536 || v % 4 != 0)
            return Fail(r, where + "." + f.key, "must be a multiple of 4 from 4 to 65536");
        *f.dst = v;
    }
    return true;
}

static bool ReadPath(Reader *r, SimModel *m, int li, const json &jp, const std::string &where)
{
    if (!jp.is_object())
        return Fail(r, where, "must be an object");
    std::string name, hbaName, link = "up", state;
    if (!ReadText(r, jp, "name", where, &name, true) || !ReadText(r, jp, "hba", where, &hbaName, true) ||
        !ReadText(r, jp, "link", where, &link, false) || !ReadText(r, jp, "state", where, &state, false))
        return false;
    if (name.empty())
        return Fail(r, where, "\"name\" must not be empty");
    int hba = SimFindHba(*m, hbaName);
    if (hba < 0)
        return Fail(r, where, "no HBA named " + hbaName);
    int pi = SimAddPath(m, li, hba, name);
    SimPath &p = m->paths[pi];
    if (!ReadBool(r, jp, "preferred", where, &p.preferred) || !ReadBool(r, jp, "disabled", where, &p.disabled) ||
        !ReadBool(r, jp, "active", where, &p.active))
        return false;
    if (link != "up" && link != "down")
        return Fail(r, where, "\"link\" must be up or down");
    p.linkUp = link == "up";
    // Only the states the fabric cannot produce by itself are taken from a
    // file; the others follow from link, disabled and active.
    for (int forced : {FERV_PATH_STATE_UNKNOWN, FERV_PATH_STATE_TRANSITION}) {
        if (state == FervPathStateName(forced))
            p.stateOverride = forced;
    }
    auto fl = jp.find("flags");
    if (fl != jp.end() && !ReadU32(r, *fl, where + ".flags", &p.extraFlags))
        return false;
    auto c = jp.find("counters");
    if (c != jp.end()) {
        if (!c->is_object())
            return Fail(r, where + ".counters", "must be an object");
        struct Field {
            const char *key;
            uint32_t *dst;
        } fields[] = {{"ioErrors", &p.counters.ioErrors},
                      {"hostRequests", &p.counters.hostRequests},
                      {"outstandingIo", &p.counters.outstandingIo},
                      {"blocksTransferred", &p.counters.blocksTransferred}};
        for (const Field &f : fields) {
            auto it = c->find(f.key);
            if (it != c->end() && !ReadU32(r, *it, where + ".counters." + f.key, f.dst))
                return false;
        }
    }
    return true;
}

static bool ReadLun(Reader *r, SimModel *m, int di, const json &jl, const std::string &where)
{
    if (!jl.is_object())
        return Fail(r, where, "must be an object");
    std::string name;
    if (!ReadText(r, jl, "name", where, &name, true))
        return false;
    int li = SimAddLun(m, di, name);
    if (!ReadWwn(r, jl, where, m->luns[li].wwn))
        return false;
    auto mode = jl.find("pathingMode");
    if (mode != jl.end()) {
        uint32_t v = 0;
        bool named = false;
        for (uint32_t known = 0; mode->is_string() && known <= FERV_PATHING_ASYMMETRIC; known++) {
            if (mode->get<std::string>() == SimPathingModeName(known)) {
                v = known;
                named = true;
            }
        }
        if (!named && !ReadU32(r, *mode, where + ".pathingMode", &v))
            return false;
        m->luns[li].pathingMode = v;
    }
    auto lb = jl.find("loadBalancing");
    if (lb != jl.end()) {
        uint32_t v = 0;
        if (lb->is_boolean())
            v = lb->get<bool>() ? 1 : 0;
        else if (!ReadU32(r, *lb, where + ".loadBalancing", &v) || v > 255)
            return Fail(r, where, "\"loadBalancing\" must be true, false or a byte");
        m->luns[li].loadBalancing = (uint8_t)v;
    }
    auto rate = jl.find("ioRate");
    if (rate != jl.end() && !ReadU32(r, *rate, where + ".ioRate", &m->luns[li].ioRate))
        return false;
    auto paths = jl.find("paths");
    if (paths == jl.end())
        return true;
    if (!paths->is_array())
        return Fail(r, where, "\"paths\" must be a list");
    for (size_t k = 0; k < paths->size(); k++)
        if (!ReadPath(r, m, li, (*paths)[k], where + ".paths[" + std::to_string(k) + "]"))
            return false;
    return true;
}

static bool ReadDevice(Reader *r, SimModel *m, const json &jd, const std::string &where)
{
    if (!jd.is_object())
        return Fail(r, where, "must be an object");
    std::string name;
    if (!ReadText(r, jd, "name", where, &name, true))
        return false;
    int di = SimAddDevice(m, name);
    SimDevice &d = m->devices[di];
    if (!ReadText(r, jd, "serial", where, &d.serial, false) || !ReadText(r, jd, "ip", where, &d.ip, false) ||
        !ReadText(r, jd, "firmware", where, &d.firmware, false) || !ReadWwn(r, jd, where, d.wwn))
        return false;
    auto sec = jd.find("secondaryEntries");
    if (sec != jd.end()) {
        uint32_t v;
        if (!ReadU32(r, *sec, where + ".secondaryEntries", &v) || v > 1024)
            return Fail(r, where, "\"secondaryEntries\" must be from 0 to 1024");
        m->devices[di].secondaryCount = (int)v;
    }
    auto luns = jd.find("luns");
    if (luns == jd.end())
        return true;
    if (!luns->is_array())
        return Fail(r, where, "\"luns\" must be a list");
    for (size_t k = 0; k < luns->size(); k++)
        if (!ReadLun(r, m, di, (*luns)[k], where + ".luns[" + std::to_string(k) + "]"))
            return false;
    return true;
}

static bool ReadTopology(Reader *r, SimModel *m, const json &doc)
{
    if (!doc.is_object())
        return Fail(r, "topology", "must be a JSON object");
    auto p = doc.find("parameters");
    if (p != doc.end() && !ReadParameters(r, *p, &m->params))
        return false;
    auto l = doc.find("layout");
    if (l != doc.end() && !ReadLayout(r, *l, &m->layout))
        return false;
    auto hbas = doc.find("hbas");
    if (hbas == doc.end() || !hbas->is_array())
        return Fail(r, "topology", "\"hbas\" must be a list");
    for (size_t i = 0; i < hbas->size(); i++) {
        const json &jh = (*hbas)[i];
        const std::string where = "hbas[" + std::to_string(i) + "]";
        if (!jh.is_object())
            return Fail(r, where, "must be an object");
        std::string name, wwpn;
        if (!ReadText(r, jh, "name", where, &name, true))
            return false;
        if (SimFindHba(*m, name) >= 0)
            return Fail(r, where, "a second HBA named " + name);
        int hi = SimAddHba(m, name);
        m->hbaByName.emplace(name, hi);
        if (!ReadText(r, jh, "model", where, &m->hbas[hi].model, false) ||
            !ReadText(r, jh, "wwpn", where, &wwpn, false))
            return false;
        if (jh.contains("wwpn") && !SimParseHexBytes(wwpn, m->hbas[hi].wwpn, 8))
            return Fail(r, where, "\"wwpn\" must be 16 hexadecimal digits, not " + Shown(jh["wwpn"]));
    }
    auto devices = doc.find("devices");
    if (devices == doc.end() || !devices->is_array())
        return Fail(r, "topology", "\"devices\" must be a list");
    for (size_t i = 0; i < devices->size(); i++)
        if (!ReadDevice(r, m, (*devices)[i], "devices[" + std::to_string(i) + "]"))
            return false;
    return true;
}

bool SimLoadTopologyText(const std::string &text, SimModel *m, std::string *error)
{
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        *error = "not valid JSON";
        return false;
    }
    Reader r;
    if (!ReadTopology(&r, m, doc)) {
        *error = r.error;
        return false;
    }
    return SimIndexModel(m, error);
}

bool SimLoadTopologyFile(const std::string &path, SimModel *m, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    if (!SimLoadTopologyText(ss.str(), m, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

// ---- writing the model out ------------------------------------------------------------------

static std::string Hex(uint32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

std::string SimTopologyJson(const SimModel &m)
{
    json doc;
    const SimParams &p = m.params;
    doc["parameters"] = {
        {"pollRate", p.pollRate},
        {"autoFailBack", p.autoFailBack},
        {"logLevel", Hex(p.logLevel)},
        {"driverVersion", {p.driverVersion[0], p.driverVersion[1], p.driverVersion[2], p.driverVersion[3]}},
        {"paramT", Hex(p.paramT)},
        {"paramR", Hex(p.paramR)},
        {"paramD", Hex(p.paramD)}};
    static const char *const orders[] = {"depth-first", "breadth-first", "reverse"};
    doc["layout"] = {{"order", orders[m.layout.order]},
                     {"hbaRecordSize", m.layout.hbaRecordSize},
                     {"secondaryRecordSize", m.layout.secondaryRecordSize}};
    doc["changeCounter"] = m.changeCounter;
    json hbas = json::array();
    for (const SimHba &h : m.hbas) {
        char wwpn[17];
        for (int i = 0; i < 8; i++)
            snprintf(wwpn + 2 * i, 3, "%02x", h.wwpn[i]);
        hbas.push_back({{"name", h.name}, {"model", h.model}, {"wwpn", wwpn}});
    }
    doc["hbas"] = hbas;
    json devices = json::array();
    for (const SimDevice &d : m.devices) {
        json luns = json::array();
        for (int li : d.luns) {
            const SimLun &l = m.luns[li];
            json paths = json::array();
            for (int pi : l.paths) {
                const SimPath &q = m.paths[pi];
                json jp = {{"name", q.name},
                           {"hba", q.hba >= 0 ? m.hbas[q.hba].name : std::string()},
                           {"preferred", q.preferred},
                           {"link", q.linkUp ? "up" : "down"},
                           {"disabled", q.disabled},
                           {"active", q.active},
                           {"state", SimStateName(q.state)},
                           {"counters",
                            {{"ioErrors", q.counters.ioErrors},
                             {"hostRequests", q.counters.hostRequests},
                             {"outstandingIo", q.counters.outstandingIo},
                             {"blocksTransferred", q.counters.blocksTransferred}}}};
                if (q.extraFlags)
                    jp["flags"] = Hex(q.extraFlags);
                paths.push_back(jp);
            }
            json jl = {{"name", l.name},
                       {"wwn", SimWwnText(l.wwn)},
                       {"loadBalancing", l.loadBalancing == 1},
                       {"ioRate", l.ioRate},
                       {"paths", paths}};
            if (l.pathingMode <= FERV_PATHING_ASYMMETRIC)
                jl["pathingMode"] = SimPathingModeName(l.pathingMode);
            else
                jl["pathingMode"] = l.pathingMode;
            if (l.loadBalancing > 1)
                jl["loadBalancing"] = l.loadBalancing;
            luns.push_back(jl);
        }
        devices.push_back({{"name", d.name},
                           {"serial", d.serial},
                           {"ip", d.ip},
                           {"firmware", d.firmware},
                           {"wwn", SimWwnText(d.wwn)},
                           {"secondaryEntries", d.secondaryCount},
                           {"luns", luns}});
    }
    doc["devices"] = devices;
    // Texts from a topology file may hold any bytes: replace what is not UTF-8
    // instead of failing.
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string SimTopologyTree(const SimModel &m)
{
    std::string s;
    char line[512];
    const SimParams &p = m.params;
    snprintf(line, sizeof line,
             "parameters: poll rate %ds, auto failback %s, log level 0x%02x, version %d.%d.%d.%d, "
             "private T=0x%x R=0x%x D=0x%x\nchange counter: %u\n",
             p.pollRate, p.autoFailBack ? "on" : "off", p.logLevel, p.driverVersion[0], p.driverVersion[1],
             p.driverVersion[2], p.driverVersion[3], p.paramT, p.paramR, p.paramD, m.changeCounter);
    s += line;
    for (const SimHba &h : m.hbas) {
        int up = 0;
        for (int pi : h.paths)
            up += m.paths[pi].linkUp ? 1 : 0;
        snprintf(line, sizeof line, "hba %s: %zu paths, %d links up\n", h.name.c_str(), h.paths.size(), up);
        s += line;
    }
    for (const SimDevice &d : m.devices) {
        snprintf(line, sizeof line, "device %s  wwn %s  serial %s  ip %s  firmware %s\n", d.name.c_str(),
                 SimWwnText(d.wwn).c_str(), d.serial.c_str(), d.ip.c_str(), d.firmware.c_str());
        s += line;
        for (int li : d.luns) {
            const SimLun &l = m.luns[li];
            snprintf(line, sizeof line, "  lun %s  wwn %s  %s%s\n", l.name.c_str(), SimWwnText(l.wwn).c_str(),
                     SimPathingModeName(l.pathingMode), l.loadBalancing == 1 ? ", load balancing" : "");
            s += line;
            for (int pi : l.paths) {
                const SimPath &q = m.paths[pi];
                snprintf(line, sizeof line, "    path %-20s %-14s %-10s%s link %-4s req %u blk %u out %u err %u\n",
                         q.name.c_str(), q.hba >= 0 ? m.hbas[q.hba].name.c_str() : "-", SimStateName(q.state),
                         q.preferred ? " preferred" : "          ", q.linkUp ? "up" : "down",
                         q.counters.hostRequests, q.counters.blocksTransferred, q.counters.outstandingIo,
                         q.counters.ioErrors);
                s += line;
            }
        }
    }
    return s;
}
