// What every fervmon command reads from the driver, and the small helpers
// they share to look at the records: names as text, world-wide names as
// hexadecimal, and what a path's state means for its LUN.
#ifndef FERV_MON_TOPOLOGY_H
#define FERV_MON_TOPOLOGY_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "lib/fervlib.h"

// One reading of the driver: its public parameters and every device with
// its LUNs and paths, as FervGetAllInfo hands them over.
struct MonTopology {
    FervPublicParameters params;
    FervInfoList info;
};

// Reads the public parameters (unless withParameters is false: they are
// then left zero), then all devices. Status 14 counts as success. Returns 0 with *topology filled (give it back with
// MonFreeTopology), or the failing call's code with nothing left to free;
// the library's lines are then waiting in the console sink.
FERV_STATUS MonReadTopology(MonTopology *topology, bool withParameters = true);

// Gives the blocks of a reading back; a zeroed MonTopology is fine too.
void MonFreeTopology(MonTopology *topology);

// A text field of a record, within its span.
std::string MonText(const char *field, size_t span);
#define MON_TEXT(field) MonText((field), sizeof(field))

// The 16 bytes as 32 lower-case hexadecimal digits, as fervadm prints them.
std::string MonWwnText(const FervWwnKey &key);

// Reads a world-wide name written as 32 hexadecimal digits, either case,
// with ':' or '-' allowed between digit pairs. Returns false for anything
// else (too few or too many digits, another character), leaving *key as it
// was.
bool MonParseWwn(const char *text, FervWwnKey *key);

bool MonSameWwn(const FervWwnKey &a, const FervWwnKey &b);

// A path that is up, standing by or carrying I/O: what fervadm shows as
// enabled, and what the checks count as healthy.
bool MonPathIsUp(const FervPath *path);
// A path that carries its LUN's I/O.
bool MonPathIsActive(const FervPath *path);
bool MonPathIsPreferred(const FervPath *path);
// The name, or the number in decimal for a state without a name.
std::string MonPathStateText(uint8_t state);

// Totals of one reading, walked as the reports walk it.
struct MonCounts {
    int devices;
    int luns;
    int paths;
};
MonCounts MonCountTopology(const FervInfoList *info);

#endif
