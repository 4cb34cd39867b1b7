// What the emulator's fuzz targets share: the models they serve, built once,
// and a log that goes nowhere.
#ifndef FERV_FUZZ_SIM_FUZZ_H
#define FERV_FUZZ_SIM_FUZZ_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "fuzz/require.h"
#include "sim/model.h"
#include "sim/service.h"
#include "sim/topology.h"

// Where the emulator's log lines go during a run.
static inline FILE *FuzzLog()
{
    static FILE *sink = fopen("/dev/null", "w");
    return sink;
}

// The built-in SAN (which 0), or the unusual example's features on a small
// synthetic one: records in reverse or breadth-first order, odd record
// sizes, a LUN without paths.
static inline const SimModel &FuzzModel(int which)
{
    static SimModel models[3];
    static bool made = false;
    if (!made) {
        std::string error;
        if (!SimLoadDefaultTopology(&models[0], &error) || !SimGenerateTopology("3:4:3", &models[1], &error) ||
            !SimGenerateTopology("2:3:0", &models[2], &error))
            abort();
        models[1].layout = {SIM_ORDER_REVERSE, 4, 4};
        models[2].layout = {SIM_ORDER_BREADTH_FIRST, 100, 8};
        made = true;
    }
    return models[which % 3];
}

// The service of a fresh copy of model `which`, with two interfaces and
// every log line formatted (and dropped).
static inline void FuzzService(int which, SimModel *m, SimService *svc)
{
    *m = FuzzModel(which);
    SimServiceInit(svc, m, 2, false, FuzzLog());
    m->params.logLevel = 0x1f;
}

#endif
