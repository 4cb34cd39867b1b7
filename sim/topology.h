// Where a topology comes from: the built-in small SAN, a JSON topology file,
// or a synthetic one of any size; and the model written back out, as JSON in
// the same format or as a readable tree.
#ifndef FERVSIM_TOPOLOGY_H
#define FERVSIM_TOPOLOGY_H

#include <string>

#include "sim/model.h"

// Each fills an empty model and indexes it. Returns false with a message in
// *error when the source is unfit; the model is then not to be served.
bool SimLoadDefaultTopology(SimModel *m, std::string *error);
bool SimLoadTopologyText(const std::string &text, SimModel *m, std::string *error);
bool SimLoadTopologyFile(const std::string &path, SimModel *m, std::string *error);
// shape is DEVICES:LUNS:PATHS (LUNs per device, paths per LUN).
bool SimGenerateTopology(const std::string &shape, SimModel *m, std::string *error);

// The LUNs, and the paths, of a synthetic topology in all.
#define SIM_MAX_GENERATED 2000000u

struct SimShape {
    long devices, luns, paths; // luns per device, paths per LUN
};
// Reads DEVICES:LUNS:PATHS: at most 100000 devices, 100000 LUNs per device,
// 64 paths per LUN and SIM_MAX_GENERATED LUNs and paths in all. Returns false
// with a message naming the part that is wrong.
bool SimParseShape(const std::string &shape, SimShape *out, std::string *error);

// The model in the topology file format, with the live state of every path
// (state, link, disabled, active, counters) and the change counter.
std::string SimTopologyJson(const SimModel &m);
// The model as an indented tree, one line per device, LUN and path.
std::string SimTopologyTree(const SimModel &m);

#endif
