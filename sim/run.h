// `fervsim run`: a private emulator for the length of one command (POSIX
// only).
#ifndef FERVSIM_RUN_H
#define FERVSIM_RUN_H

#include <string>
#include <vector>

#include "sim/model.h"
#include "sim/transport.h"

// Serves the model in a fresh temporary root, runs argv there with
// FERV_DEVICE_ROOT set, stops the emulator and removes the root.
// Returns the command's exit status, 128 + signal when a signal ended it,
// 127 when it could not be started, 1 when the emulator could not start.
int SimRunCommand(SimModel *m, SimServerOptions opt, const std::vector<std::string> &argv);

#endif
