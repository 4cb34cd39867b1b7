// Admin verbs.
#include "sim/ctl.h"

#include "lib/ferv_wire.h"
#include "lib/fervlib.h"
#include "sim/topology.h"

static const char kUsage[] =
    "fervsim ctl [--root DIR] VERB ...\n"
    "  show [--json]                    the model: parameters, HBAs, devices, LUNs, paths, counters\n"
    "  link-down PATH...                the fabric drops the link of each path\n"
    "  link-up PATH...                  the fabric brings each link back\n"
    "  link-down --hba HBA              every path the HBA carries loses its link\n"
    "  link-up --hba HBA                every path of the HBA comes back\n"
    "  poll                             run the driver's poll now (auto failback)\n"
    "  refuse ENDPOINT ERROR            refuse every request on ENDPOINT with Win32 ERROR\n"
    "  accept ENDPOINT                  accept requests on ENDPOINT again\n"
    "                                   (ENDPOINT: control, an interface number, or all)\n"
    "  fail-pended [ERROR]              complete every held request with Win32 ERROR (default 31)\n"
    "  fail-pended --drop               close the connection of every held request\n"
    "  answer CODE STATUS [COUNT]       answer the next COUNT requests of CODE with STATUS\n"
    "  answer CODE --win32 ERROR [COUNT]  refuse them outright with Win32 ERROR\n"
    "  answer CODE --pend STATUS [COUNT]  hold them until the next change, then answer STATUS\n"
    "  answer CODE --garble [COUNT]     GET_ALL_DEVICES, GET_DEVICE_INFO: the first device's LUN list\n"
    "                                   points outside the reply (a malformed reply)\n"
    "  too-small CODE [ROUNDS] [--size N] answer 21 (buffer too small) for ROUNDS requests of CODE\n"
    "  counter set|add PATH FIELD VALUE set or add to a path counter\n"
    "                                   (FIELD: ioErrors hostRequests outstandingIo blocksTransferred)\n"
    "  io pause|resume                  stop or restart the simulated host I/O\n"
    "  faults                           list the faults in force\n"
    "  clear                            drop every injected fault\n"
    "  CODE is a control code name (GET_ALL_DEVICES, IOCTL_FERV_WAIT_FOR_CHANGE, ...) or 0x value.\n";

const char *SimCtlUsage()
{
    return kUsage;
}

static SimCtlResult Refused(const std::string &why)
{
    SimCtlResult r;
    r.ok = false;
    r.text = why + "\n";
    return r;
}

static SimCtlResult Done(const std::string &text)
{
    SimCtlResult r;
    r.ok = true;
    r.text = text;
    return r;
}

// A non-negative number in decimal or 0x hexadecimal that fits 32 bits.
static bool ParseNumber(const std::string &s, uint32_t *out)
{
    uint64_t v;
    if (!SimParseUnsigned(s, 0xFFFFFFFFu, &v))
        return false;
    *out = (uint32_t)v;
    return true;
}

static SimCtlResult Link(SimCtlContext *ctx, const std::vector<std::string> &args, bool up)
{
    SimModel *m = ctx->model;
    if (args.size() < 2)
        return Refused(args[0] + ": name a path, or --hba HBA");
    if (args[1] == "--hba") {
        if (args.size() != 3)
            return Refused(args[0] + " --hba: name one HBA");
        int hba = SimFindHba(*m, args[2]);
        if (hba < 0)
            return Refused("no HBA named " + args[2]);
        int n = SimSetHbaLink(m, hba, up);
        return Done("HBA " + args[2] + ": " + std::to_string(n) + " links " + (up ? "up" : "down") + "\n");
    }
    // Check every name first so that a typo changes nothing.
    std::vector<int> paths;
    for (size_t i = 1; i < args.size(); i++) {
        int pi = SimFindPath(*m, SimPathKey(args[i]));
        if (pi < 0)
            return Refused("no path named " + args[i]);
        paths.push_back(pi);
    }
    std::string text;
    for (int pi : paths) {
        bool changed = SimSetLink(m, pi, up);
        text += "path " + m->paths[pi].name + ": link " + (up ? "up" : "down") + (changed ? "" : " (unchanged)") +
                ", state " + SimStateName(m->paths[pi].state) + "\n";
    }
    return Done(text);
}

static SimCtlResult Refuse(SimCtlContext *ctx, const std::vector<std::string> &args, bool refuse)
{
    size_t want = refuse ? 3 : 2;
    if (args.size() != want)
        return Refused(refuse ? "refuse ENDPOINT ERROR" : "accept ENDPOINT");
    uint32_t error = 0;
    if (refuse && (!ParseNumber(args[2], &error) || error == 0 || error == 997))
        return Refused("ERROR must be a Win32 error code other than 0 and 997");
    SimFaults *f = ctx->faults;
    if (args[1] == "all") {
        for (uint32_t &e : f->refuse)
            e = error;
    } else {
        int ep = SimParseEndpoint(args[1], ctx->interfaces);
        if (ep < 0)
            return Refused("no endpoint " + args[1] + " (control, 0.." + std::to_string(ctx->interfaces - 1) +
                           ", all)");
        f->refuse[(size_t)ep] = error;
    }
    return Done(refuse ? "refusing requests on " + args[1] + " with Win32 error " + args[2] + "\n"
                       : "accepting requests on " + args[1] + "\n");
}

static SimCtlResult FailPended(SimCtlContext *ctx, const std::vector<std::string> &args)
{
    SimCtlResult r;
    r.ok = true;
    if (args.size() == 2 && args[1] == "--drop") {
        r.dropHeld = true;
        r.text = "dropping " + std::to_string(ctx->held) + " held requests\n";
        return r;
    }
    uint32_t error = 31;
    if (args.size() > 2 || (args.size() == 2 && (!ParseNumber(args[1], &error) || error == 0 || error == 997)))
        return Refused("fail-pended [ERROR | --drop]: ERROR is a Win32 error code other than 0 and 997");
    r.failHeld = true;
    r.failError = error;
    r.text =
        "failing " + std::to_string(ctx->held) + " held requests with Win32 error " + std::to_string(error) + "\n";
    return r;
}

static SimCtlResult Answer(SimCtlContext *ctx, const std::vector<std::string> &args)
{
    if (args.size() < 3)
        return Refused("answer CODE STATUS [COUNT] | CODE --win32 ERROR [COUNT] | CODE --pend STATUS [COUNT] | "
                       "CODE --garble [COUNT]");
    SimAnswer a = {};
    a.code = SimParseControlCode(args[1]);
    if (a.code == 0)
        return Refused("no control code " + args[1]);
    size_t i = 2;
    if (args[i] == "--garble") {
        if (a.code != IOCTL_FERV_GET_ALL_DEVICES && a.code != IOCTL_FERV_GET_DEVICE_INFO)
            return Refused("answer --garble applies to GET_ALL_DEVICES and GET_DEVICE_INFO");
        a.garble = true;
        a.count = 1;
        if (args.size() > 4 || (args.size() == 4 && (!ParseNumber(args[3], &a.count) || a.count == 0)))
            return Refused("answer CODE --garble [COUNT]: COUNT must be a positive number");
        ctx->faults->answers.push_back(a);
        return Done("next " + std::to_string(a.count) + " " + SimControlCodeText(a.code) +
                    " requests: a LUN list outside the reply\n");
    }
    if (args[i] == "--win32" || args[i] == "--pend") {
        a.win32 = args[i] == "--win32";
        a.pend = args[i] == "--pend";
        i++;
    }
    if (i >= args.size() || !ParseNumber(args[i], &a.value))
        return Refused("answer: a status or error number is missing");
    if (a.win32 && (a.value == 0 || a.value == 997))
        return Refused("answer --win32: the error must be other than 0 and 997");
    i++;
    a.count = 1;
    if (i < args.size() && (!ParseNumber(args[i++], &a.count) || a.count == 0))
        return Refused("answer: COUNT must be a positive number");
    if (i != args.size())
        return Refused("answer: too many words");
    ctx->faults->answers.push_back(a);
    return Done("next " + std::to_string(a.count) + " " + SimControlCodeText(a.code) + " requests: " +
                (a.win32  ? "Win32 error "
                 : a.pend ? "held, then status "
                          : "status ") +
                std::to_string(a.value) + "\n");
}

static SimCtlResult TooSmall(SimCtlContext *ctx, const std::vector<std::string> &args)
{
    if (args.size() < 2)
        return Refused("too-small CODE [ROUNDS] [--size N]");
    SimTooSmall t = {};
    t.code = SimParseControlCode(args[1]);
    if (t.code != IOCTL_FERV_GET_ALL_HBAS && t.code != IOCTL_FERV_GET_ALL_DEVICES &&
        t.code != IOCTL_FERV_GET_DEVICE_INFO && t.code != IOCTL_FERV_GET_LUN_INFO)
        return Refused("too-small applies to GET_ALL_HBAS, GET_ALL_DEVICES, GET_DEVICE_INFO and GET_LUN_INFO");
    t.rounds = 1;
    bool haveRounds = false, haveSize = false;
    for (size_t i = 2; i < args.size(); i++) {
        if (args[i] == "--size") {
            if (haveSize || i + 1 >= args.size())
                return Refused(haveSize ? "too-small: --size given twice"
                                        : "too-small --size: a number of bytes is missing");
            if (!ParseNumber(args[++i], &t.size) || t.size > FERV_SIZE_LIMIT)
                return Refused("too-small --size: a number of bytes up to 268435456, not " + args[i]);
            haveSize = true;
        } else if (haveRounds) {
            return Refused("too-small: one ROUNDS only; " + args[i] + " is one word too many");
        } else if (!ParseNumber(args[i], &t.rounds) || t.rounds == 0) {
            return Refused("too-small: ROUNDS must be a positive number, not " + args[i]);
        } else {
            haveRounds = true;
        }
    }
    ctx->faults->tooSmall.push_back(t);
    return Done(SimControlCodeText(t.code) + ": status 21 for " + std::to_string(t.rounds) + " rounds\n");
}

static SimCtlResult Counter(SimCtlContext *ctx, const std::vector<std::string> &args)
{
    if (args.size() != 5 || (args[1] != "set" && args[1] != "add"))
        return Refused("counter set|add PATH FIELD VALUE");
    SimModel *m = ctx->model;
    int pi = SimFindPath(*m, SimPathKey(args[2]));
    if (pi < 0)
        return Refused("no path named " + args[2]);
    SimCounters &c = m->paths[pi].counters;
    uint32_t *field = args[3] == "ioErrors"            ? &c.ioErrors
                      : args[3] == "hostRequests"      ? &c.hostRequests
                      : args[3] == "outstandingIo"     ? &c.outstandingIo
                      : args[3] == "blocksTransferred" ? &c.blocksTransferred
                                                       : nullptr;
    if (!field)
        return Refused("no counter " + args[3] + " (ioErrors hostRequests outstandingIo blocksTransferred)");
    uint32_t v;
    if (!ParseNumber(args[4], &v))
        return Refused("VALUE must be a number from 0 to 4294967295");
    if (args[1] == "set")
        *field = v;
    else
        *field += v; // counters wrap like the driver's 32-bit ones
    return Done("path " + m->paths[pi].name + ": " + args[3] + " " + std::to_string(*field) + "\n");
}

// The verbs that take no words of their own.
static const char *const kBareVerbs[] = {"help", "poll", "faults", "clear"};

SimCtlResult SimRunCtl(SimCtlContext *ctx, const std::vector<std::string> &args)
{
    if (args.empty())
        return Refused("no verb; try `fervsim ctl help`");
    const std::string &verb = args[0];
    for (const char *bare : kBareVerbs)
        if (verb == bare && args.size() > 1)
            return Refused(verb + " takes no words, not '" + args[1] + "'");
    if (verb == "help")
        return Done(kUsage);
    if (verb == "show") {
        if (args.size() == 2 && args[1] == "--json")
            return Done(SimTopologyJson(*ctx->model));
        if (args.size() != 1)
            return Refused("show [--json]");
        std::string faults = SimFaultsDescribe(*ctx->faults);
        return Done(SimTopologyTree(*ctx->model) + "held requests: " + std::to_string(ctx->held) + "\n" +
                    (ctx->ioPaused ? "host I/O: paused\n" : "") + faults);
    }
    if (verb == "link-down" || verb == "link-up")
        return Link(ctx, args, verb == "link-up");
    if (verb == "poll") {
        ctx->pollNow = true;
        return Done("polled\n");
    }
    if (verb == "refuse" || verb == "accept")
        return Refuse(ctx, args, verb == "refuse");
    if (verb == "fail-pended")
        return FailPended(ctx, args);
    if (verb == "answer")
        return Answer(ctx, args);
    if (verb == "too-small")
        return TooSmall(ctx, args);
    if (verb == "counter")
        return Counter(ctx, args);
    if (verb == "io") {
        if (args.size() != 2 || (args[1] != "pause" && args[1] != "resume"))
            return Refused("io pause|resume");
        ctx->ioPaused = args[1] == "pause";
        return Done(std::string("host I/O ") + (ctx->ioPaused ? "paused" : "resumed") + "\n");
    }
    if (verb == "faults")
        return Done(SimFaultsDescribe(*ctx->faults));
    if (verb == "clear") {
        SimFaultsClear(ctx->faults);
        return Done("faults cleared\n");
    }
    return Refused("unknown verb " + verb + "; try `fervsim ctl help`");
}
