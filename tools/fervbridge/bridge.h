// fervbridge: serves the relay driver under Wine from any server of the POSIX
// device namespace, so that the Windows programs see what a POSIX program
// sees under the same root: the control device and the sorted interface
// entries are present exactly when they exist, every handle a Windows program
// opens is one socket connection, and every request travels as a namespace
// frame with its answer mapped back unchanged.
//
//   relay.sys --pipe-- fervrelay-forward.exe --TCP 127.0.0.1-- fervbridge serve
//   fervbridge serve --Unix sockets-- the server of root R (fervsim, a test's)
//
// `fervbridge run` asks the running bridge to show a root and holds that root
// while one Windows program runs (tools/wine-run).
#ifndef FERV_BRIDGE_H
#define FERV_BRIDGE_H

#include <stdint.h>

#include <string>
#include <vector>

// What a root offers, as the Windows programs are to see it.
struct BridgeDoors {
    bool control = false;                // R/ZEL_HA_CONTROL exists
    std::vector<std::string> interfaces; // entries of the class directory, sorted by their bytes
};

// Looks at root R: the control device when its entry exists (whatever it is),
// and every entry of R/interfaces/{guid}/ but "." and "..", as the POSIX
// platform enumerates them. A missing directory offers nothing.
BridgeDoors BridgeScanRoot(const std::string &root);

// The presence bytes of a SHOW for these doors: endpoint 0 the control
// device, 1 + i the i-th interface, at most `endpoints` bytes, trailing
// absent ones left out.
std::vector<uint8_t> BridgePresence(const BridgeDoors &doors, uint32_t endpoints);

// The socket path behind an endpoint of these doors under root; empty when
// the endpoint shows nothing.
std::string BridgeDoorPath(const std::string &root, const BridgeDoors &doors, uint32_t endpoint);

// The NTSTATUS that makes the relay's client see Win32 error `error` (0 for
// success); an abort keeps its own status, and an error too large for the
// relay to carry is a general failure (31).
uint32_t BridgeStatusOf(uint32_t error);

// Subcommands (main.cpp dispatches). Each returns the process's exit status;
// ping's is 0 when the relay is served, 1 when no bridge runs, 2 when one runs
// but the relay is not (yet) served through it.
// serve's attachWaitSeconds: how long a `run` waits for its root to be shown
// (the relay served) before it gives up.
const int kBridgeAttachWaitSeconds = 30;
int BridgeServe(const std::string &stateDir, int attachWaitSeconds, const std::vector<std::string> &forwarder);
int BridgeRun(const std::string &stateDir, const std::string &root, const std::vector<std::string> &command);
int BridgePing(const std::string &stateDir);
int BridgeStop(const std::string &stateDir);

// The control socket under the state directory.
std::string BridgeSocketPath(const std::string &stateDir);

#endif
