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
#include "sim/transport.h"
#include "sim/topology.h"

#ifndef FERV_SIM_VERSION
#define FERV_SIM_VERSION "0"
#endif

struct Options {
    std::string root;
    std::string topology;
    std::string generate;
    std::string logFile;
    int interfaces = 2;
    bool io = true;
    bool quiet = false;
    bool haveSeed = false;
    unsigned long seed = 0;
};

static int UsageError(const char *fmt, const char *arg)
{
    fprintf(stderr, "fervsim: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n%s", SimUsageText);
    return 2;
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
                          a == "--seed" || a == "--log";
        if (wantsValue && !hasValue) {
            if (*i + 1 >= argc)
                return UsageError("%s needs a value", a.c_str());
            value = argv[++(*i)];
        } else if (!wantsValue && hasValue) {
            return UsageError("%s takes no value", a.c_str());
        }
        if (a == "--root") {
            o->root = value;
        } else if (a == "--interfaces") {
            char *end = nullptr;
            long n = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || n < 0 || n > 64)
                return UsageError("--interfaces wants a number from 0 to 64, not %s", value.c_str());
            o->interfaces = (int)n;
        } else if (a == "--topology") {
            o->topology = value;
        } else if (a == "--generate") {
            o->generate = value;
        } else if (a == "--seed") {
            char *end = nullptr;
            o->seed = strtoul(value.c_str(), &end, 0);
            if (value.empty() || *end)
                return UsageError("--seed wants a number, not %s", value.c_str());
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
    if (!o.topology.empty() && !o.generate.empty()) {
        fprintf(stderr, "fervsim: --topology and --generate exclude each other\n");
        return false;
    }
    if (!o.topology.empty())
        ok = SimLoadTopologyFile(o.topology, m, &error);
    else if (!o.generate.empty())
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
    if (o.io && o.topology.empty())
        SimRunIo(m, 3600.0);
    return true;
}

static int Ctl(int argc, char **argv)
{
    std::string root;
    int i = 2;
    for (; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--root" && i + 1 < argc) {
            root = argv[++i];
        } else if (a.compare(0, 7, "--root=") == 0) {
            root = a.substr(7);
        } else {
            break;
        }
    }
    if (i >= argc) {
        fputs(SimCtlUsage(), stderr);
        return 2;
    }
    if (std::string(argv[i]) == "help") {
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
