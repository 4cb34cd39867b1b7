// The emulator's live model of a multipath storage topology: HBAs, storage
// devices, their LUNs and the paths of each LUN, with link and
// administrative state, failover, failback, the I/O counters and the driver's
// parameters. Everything a request or an admin command changes goes through
// the functions below, so the rules (a LUN with a usable path always has an
// active one; every state change moves the change counter) hold in one place.
#ifndef FERVSIM_MODEL_H
#define FERVSIM_MODEL_H

#include <stdint.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "lib/fervlib.h"

// Where records of a topology reply are placed. Real drivers differ here, so
// the emulator can produce all three.
enum SimRecordOrder {
    SIM_ORDER_DEPTH_FIRST = 0, // device, its LUNs each followed by its paths, its secondary entries
    SIM_ORDER_BREADTH_FIRST,   // all devices, then all LUNs, then all paths, then secondary entries
    SIM_ORDER_REVERSE          // first record first, every other one in reverse: links run backwards
};

struct SimLayout {
    SimRecordOrder order = SIM_ORDER_DEPTH_FIRST;
    uint32_t hbaRecordSize = 96;       // multiple of 4, at least 4
    uint32_t secondaryRecordSize = 32; // multiple of 4, at least 4
};

struct SimHba {
    std::string name;
    std::string model;
    uint8_t wwpn[8] = {};
    std::vector<int> paths; // paths this HBA carries
};

struct SimCounters {
    uint32_t ioErrors = 0;
    uint32_t hostRequests = 0;
    uint32_t outstandingIo = 0;
    uint32_t blocksTransferred = 0;
};

struct SimPath {
    std::string name; // full name; requests match on its first 80 characters
    int lun = -1;
    int hba = -1;
    bool preferred = false;
    bool linkUp = true;                      // as the fabric has it
    bool disabled = false;                   // disabled by a command
    bool active = false;                     // carries I/O of its LUN
    int stateOverride = -1;                  // state forced by a topology file (unknown, transition), -1 = none
    bool failbackDue = false;                // preferred path became usable since the last poll
    uint32_t extraFlags = 0;                 // flag bits beside the preferred bit, shown as they are
    uint8_t state = FERV_PATH_STATE_UNKNOWN; // as the records report it
    SimCounters counters;
};

struct SimLun {
    uint8_t wwn[16] = {};
    std::string name;
    uint32_t pathingMode = FERV_PATHING_ASYMMETRIC;
    uint8_t loadBalancing = 0; // 1 = enabled, as the record carries it
    int device = -1;
    std::vector<int> paths;
    uint32_t ioRate = 0; // simulated host requests per second
};

struct SimDevice {
    uint8_t wwn[16] = {};
    std::string name;
    std::string serial;
    std::string ip;
    std::string firmware;
    int secondaryCount = 0;
    std::vector<int> luns;
};

struct SimParams {
    int32_t pollRate = 5;
    int32_t autoFailBack = 1;
    uint32_t logLevel = FERV_LOG_DATA_PATH | FERV_LOG_INTERNAL_ERRORS | FERV_LOG_CRITICAL_ERRORS;
    int32_t driverVersion[4] = {2, 6, 1, 14};
    uint32_t paramT = 0x1e;
    uint32_t paramR = 0x3;
    uint32_t paramD = 0x0;
};

// One line for the emulator's log, with the log-level bit it belongs to.
struct SimEvent {
    uint32_t kind; // FERV_LOG_ bit
    std::string text;
};

// The records of a topology reply as one encoding of them (sim/records.h):
// shared, never changed once made, so a reply still being sent keeps them
// alive after the model has moved on.
typedef std::shared_ptr<const std::vector<uint8_t>> SimRecords;

// The replies whose records are kept between changes, one slot each.
enum SimEncodingSlot {
    SIM_ENCODED_HBAS = 0,
    SIM_ENCODED_ALL_DEVICES,
    SIM_ENCODED_DEVICE,
    SIM_ENCODED_LUN,
    SIM_ENCODED_SLOTS
};

// The records last encoded for a slot, and what they were encoded from.
struct SimEncoding {
    SimRecords records;   // null until encoded
    int index = -1;       // the device or LUN they describe; -1 for a whole list
    uint32_t counter = 0; // the change counter then
    SimLayout layout;     // the layout then
};

struct SimModel {
    std::vector<SimHba> hbas;
    std::vector<SimDevice> devices;
    std::vector<SimLun> luns;
    std::vector<SimPath> paths;
    SimParams params;
    SimLayout layout;

    std::unordered_map<std::string, int> pathByName; // key: first 80 characters
    std::unordered_map<std::string, int> hbaByName;
    std::unordered_map<std::string, int> deviceByWwn; // key: the 16 bytes
    std::unordered_map<std::string, int> lunByWwn;

    uint32_t changeCounter = 2; // never 0 or 1: 1 is the key of a caller that knows none
    bool changed = false;       // a path state changed since the last SimTakeChange
    std::vector<SimEvent> events;
    bool quiet = false; // path state changes make no event (the initial states being settled)
    uint32_t rng = 0x2545f491;

    SimEncoding encodings[SIM_ENCODED_SLOTS];
};

// ---- building -----------------------------------------------------------------
// Each adds one record and returns its index; the caller fills the rest.
// SimIndexModel must run once the whole topology is in place.
int SimAddHba(SimModel *m, const std::string &name);
int SimAddDevice(SimModel *m, const std::string &name);
int SimAddLun(SimModel *m, int device, const std::string &name);
int SimAddPath(SimModel *m, int lun, int hba, const std::string &name);

// Builds the lookup tables and settles every LUN's active path.
// Returns false with a message in *error when two paths share their first 80
// characters or two devices or two LUNs share a WWN; the model is then unfit
// to serve.
bool SimIndexModel(SimModel *m, std::string *error);

// ---- lookups ---------------------------------------------------------------------
// The key a request's FervPathName field maps to: the text up to its first zero
// byte, at most 80 characters. field must hold 81 readable bytes.
std::string SimPathKeyFromField(const uint8_t *field);
// The key of a full path name: its first 80 characters.
std::string SimPathKey(const std::string &name);
int SimFindPath(const SimModel &m, const std::string &key);
int SimFindDevice(const SimModel &m, const uint8_t *wwn);
int SimFindLun(const SimModel &m, const uint8_t *wwn);
int SimFindHba(const SimModel &m, const std::string &name);

bool SimPathUsable(const SimPath &p);

// ---- commands (status codes of the driver) -----------------------------------------
// Each returns the FERV_STATUS the driver answers with and changes nothing
// when it refuses.
FERV_STATUS SimPathCommand(SimModel *m, int path, uint8_t command);
FERV_STATUS SimLunRestorePreferred(SimModel *m, int lun);
FERV_STATUS SimDeviceCommand(SimModel *m, int device, uint8_t command, int32_t *numSuccessful, int32_t *numFailed);
FERV_STATUS SimLunCommand(SimModel *m, int lun, uint8_t command);

// Applies the settable words that do not hold FERV_PARAM_UNCHANGED. Returns 1
// and changes nothing when a poll rate lies outside 2..60 or auto failback is
// neither 0 nor 1.
FERV_STATUS SimSetPublicParameters(SimModel *m, const uint32_t words[7]);
void SimSetPrivateParameters(SimModel *m, const uint32_t words[3]);

// ---- fabric events -------------------------------------------------------------
// Link of one path. Returns true when the link changed.
bool SimSetLink(SimModel *m, int path, bool up);
// Link of every path an HBA carries. Returns the number of links that changed.
int SimSetHbaLink(SimModel *m, int hba, bool up);

// The poll: LUNs whose preferred path came back return to it when auto
// failback is on.
void SimPoll(SimModel *m);

// Simulated host I/O for `seconds` of time on the active paths.
void SimRunIo(SimModel *m, double seconds);

// Sum of a LUN's path counters.
SimCounters SimLunCounters(const SimModel &m, int lun);

// When a path state changed since the last call: moves the change counter
// past it (skipping 0 and 1), clears the mark and returns true.
bool SimTakeChange(SimModel *m);

// ---- names ------------------------------------------------------------------------
const char *SimStateName(uint8_t state);
const char *SimPathingModeName(uint32_t mode);
std::string SimWwnText(const uint8_t *wwn);
// Reads 32 hexadecimal digits (separators ':' and '-' allowed). Returns false
// on anything else.
bool SimParseWwn(const std::string &text, uint8_t *wwn);
// Reads 2 * count hexadecimal digits into count bytes, the same way.
bool SimParseHexBytes(const std::string &text, uint8_t *bytes, int count);
// Reads a number written as decimal digits or as 0x and hexadecimal digits,
// with nothing else (no sign, blank, fraction or octal), from 0 to max.
// Returns false on anything else.
bool SimParseUnsigned(const std::string &text, uint64_t max, uint64_t *value);

#endif
