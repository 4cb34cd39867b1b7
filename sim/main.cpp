// fervsim: the driver emulator. Serves the device namespace in the
// foreground, runs one command against a private emulator, or changes a
// running one through its admin socket.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "sim/ctl.h"
#include "sim/model.h"
#include "sim/topology.h"
#include "sim/transport.h"

#ifndef FERV_SIM_VERSION
#define FERV_SIM_VERSION "0"
#endif

struct Options {
    std::string root;
    std::string topology;
    std::string generate;
    std::string logFile;
    bool haveTopology = false;
    bool haveGenerate = false;
    int interfaces = 2;
    bool io = true;
    bool quiet = false;
    bool haveSeed = false;
    unsigned long seed = 0;
    size_t maxConnections = SIM_DEFAULT_MAX_CONNECTIONS;
    double idleTimeout = SIM_DEFAULT_IDLE_TIMEOUT;
    uint64_t bufferLimit = SIM_DEFAULT_BUFFER_LIMIT;
};

static int UsageError(const char *fmt, const char *arg)
{
    fprintf(stderr, "fervsim: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n%s", SimUsageText);
    return 2;
}

// A byte count with an optional K, M or G (powers of 1024).
static bool ParseSize(std::string text, uint64_t *out)
{
    unsigned shift = 0;
    if (!text.empty()) {
        char unit = text.back();
        shift = unit == 'K' || unit == 'k'   ? 10
                : unit == 'M' || unit == 'm' ? 20
                : unit == 'G' || unit == 'g' ? 30
                                             : 0;
        if (shift)
            text.pop_back();
    }
    uint64_t v;
    if (!SimParseUnsigned(text, (UINT64_MAX >> 1) >> shift, &v))
        return false;
    *out = v << shift;
    return true;
}

// Seconds as digits with an optional fraction ("600", "0.5").
static bool ParseSeconds(const std::string &text, double *out)
{
    size_t dot = text.find('.');
    if (text.empty() || text.size() > 12 || text[0] == '.' ||
        text.find_first_not_of("0123456789.") != std::string::npos ||
        (dot != std::string::npos && text.find('.', dot + 1) != std::string::npos))
        return false;
    *out = strtod(text.c_str(), nullptr);
    return true;
}

// Reads serve options from argv[i] on; stops at "--" or at the first word
// that is not an option. Returns -1 on success (i at the stop) or an exit
// status.
static int ParseOptions(int argc, char **argv, int *i, Options *o)
{
    for (; *i < argc; (*i)++) {
        std::string a = argv[*i];
        if (a == "--")
            return -1;
        if (a.compare(0, 2, "--") != 0)
            return -1;
        std::string value;
        bool hasValue = false;
        size_t eq = a.find('=');
        if (eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            hasValue = true;
        }
        bool wantsValue = a == "--root" || a == "--interfaces" || a == "--topology" || a == "--generate" ||
                          a == "--seed" || a == "--log" || a == "--max-connections" || a == "--idle-timeout" ||
                          a == "--buffer-limit";
        if (wantsValue && !hasValue) {
            if (*i + 1 >= argc)
                return UsageError("%s needs a value", a.c_str());
            value = argv[++(*i)];
        } else if (!wantsValue && hasValue) {
            return UsageError("%s takes no value", a.c_str());
        }
        // An empty name would quietly mean the default (built-in SAN, default
        // root, standard error) instead of what was asked for.
        if (value.empty() && (a == "--root" || a == "--topology" || a == "--log"))
            return UsageError(a == "--root" ? "%s wants a folder, not an empty word"
                                            : "%s wants a file, not an empty word",
                              a.c_str());
        if (a == "--root") {
            o->root = value;
        } else if (a == "--interfaces") {
            uint64_t n;
            if (!SimParseUnsigned(value, 64, &n))
                return UsageError("--interfaces wants a number from 0 to 64, not '%s'", value.c_str());
            o->interfaces = (int)n;
        } else if (a == "--topology") {
            o->topology = value;
            o->haveTopology = true;
        } else if (a == "--generate") {
            SimShape shape;
            std::string why;
            if (!SimParseShape(value, &shape, &why))
                return UsageError("%s", why.c_str());
            o->generate = value;
            o->haveGenerate = true;
        } else if (a == "--max-connections") {
            uint64_t n;
            if (!SimParseUnsigned(value, 1 << 20, &n) || n == 0)
                return UsageError("--max-connections wants a number from 1 to 1048576, not '%s'", value.c_str());
            o->maxConnections = (size_t)n;
        } else if (a == "--idle-timeout") {
            if (!ParseSeconds(value, &o->idleTimeout))
                return UsageError("--idle-timeout wants seconds (0 for no limit), not '%s'", value.c_str());
        } else if (a == "--buffer-limit") {
            if (!ParseSize(value, &o->bufferLimit) || o->bufferLimit < (1u << 20))
                return UsageError("--buffer-limit wants a size of at least 1M (bytes, or with K, M or G), not '%s'",
                                  value.c_str());
        } else if (a == "--seed") {
            uint64_t seed;
            if (!SimParseUnsigned(value, UINT32_MAX, &seed))
                return UsageError("--seed wants a number from 0 to 4294967295, not '%s'", value.c_str());
            o->seed = (unsigned long)seed;
            o->haveSeed = true;
        } else if (a == "--log") {
            o->logFile = value;
        } else if (a == "--no-io") {
            o->io = false;
        } else if (a == "--quiet") {
            o->quiet = true;
        } else if (a == "--help") {
            fputs(SimUsageText, stdout);
            return 0;
        } else if (a == "--version") {
            fputs("fervsim " FERV_SIM_VERSION "\n", stdout);
            return 0;
        } else {
            return UsageError("unknown option %s", a.c_str());
        }
    }
    return -1;
}

static bool LoadModel(const Options &o, SimModel *m)
{
    std::string error;
    bool ok;
    if (o.haveTopology && o.haveGenerate) {
        fprintf(stderr, "fervsim: --topology and --generate exclude each other\n");
        return false;
    }
    if (o.haveTopology)
        ok = SimLoadTopologyFile(o.topology, m, &error);
    else if (o.haveGenerate)
        ok = SimGenerateTopology(o.generate, m, &error);
    else
        ok = SimLoadDefaultTopology(m, &error);
    if (!ok) {
        fprintf(stderr, "fervsim: %s\n", error.c_str());
        return false;
    }
    if (o.haveSeed)
        m->rng = (uint32_t)o.seed ? (uint32_t)o.seed : 1;
    // The built-in and synthetic SANs start as if they had run for an hour,
    // so the first statistics query already shows live figures. A topology
    // file's counters are taken as they stand.
    if (o.io && !o.haveTopology)
        SimRunIo(m, 3600.0);
    return true;
}

static int CtlUsageError(const std::string &why)
{
    fprintf(stderr, "fervsim ctl: %s\n%s", why.c_str(), SimCtlUsage());
    return 2;
}

static int Ctl(int argc, char **argv)
{
    std::string root;
    int i = 2;
    for (; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--root") {
            // Without this check the verb would be taken for the folder, or
            // "--root" itself for the verb.
            if (i + 1 >= argc)
                return CtlUsageError("--root wants a folder");
            root = argv[++i];
        } else if (a.compare(0, 7, "--root=") == 0) {
            root = a.substr(7);
        } else {
            break;
        }
        if (root.empty())
            return CtlUsageError("--root wants a folder, not an empty word");
    }
    if (i >= argc)
        return CtlUsageError("no verb given");
    if (std::string(argv[i]) == "help") {
        if (i + 1 < argc)
            return CtlUsageError(std::string("help takes no words, not '") + argv[i + 1] + "'");
        fputs(SimCtlUsage(), stdout);
        return 0;
    }
    if (root.empty())
        root = SimDefaultRoot();
    std::vector<std::string> args(argv + i, argv + argc);
    return SimCtlClient(root, args);
}

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "ctl") == 0)
        return Ctl(argc, argv);
    bool run = argc >= 2 && strcmp(argv[1], "run") == 0;
    int i = run ? 2 : 1;
    Options o;
    int st = ParseOptions(argc, argv, &i, &o);
    if (st >= 0)
        return st;
    std::vector<std::string> command;
    if (i < argc && strcmp(argv[i], "--") == 0)
        i++;
    for (; i < argc; i++)
        command.push_back(argv[i]);
    if (!run && !command.empty())
        return UsageError("unexpected word %s", command[0].c_str());
    if (run && !o.root.empty())
        return UsageError("%s", "run serves in a fresh root of its own; --root does not apply");

    SimModel model;
    if (!LoadModel(o, &model))
        return 1;
    SimServerOptions so;
    so.root = o.root.empty() ? SimDefaultRoot() : o.root;
    so.interfaces = o.interfaces;
    so.io = o.io;
    so.announce = !o.quiet;
    so.maxConnections = o.maxConnections;
    so.idleTimeout = o.idleTimeout;
    so.bufferLimit = o.bufferLimit;
    FILE *log = nullptr;
    if (!o.logFile.empty()) {
        log = fopen(o.logFile.c_str(), "a");
        if (!log) {
            fprintf(stderr, "fervsim: cannot open %s: %s\n", o.logFile.c_str(), strerror(errno));
            return 1;
        }
        so.log = log;
    }
    int rc = run ? SimRunCommand(&model, so, command) : SimServe(&model, so);
    if (log)
        fclose(log);
    return rc;
}
