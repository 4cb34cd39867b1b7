// The topology records as the driver packs them into a reply: devices, LUNs,
// paths, HBAs and secondary entries, tied together by self-relative links,
// placed in the order the model's layout asks for.
#ifndef FERVSIM_RECORDS_H
#define FERVSIM_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "sim/model.h"

// Each builder returns the end offset its data needs in the reply buffer.
// When that end is at most `limit`, it grows *buf to at least that size
// (zero-filled) and writes the records; otherwise it leaves *buf untouched.

// The HBA list, first record at offset `at`.
size_t SimBuildHbaList(const SimModel &m, std::vector<uint8_t> *buf, size_t at, size_t limit);

// The devices named (model indexes, in list order) with their LUNs, paths and
// secondary entries; the first device at offset `at`.
size_t SimBuildDeviceList(const SimModel &m, const std::vector<int> &devices, std::vector<uint8_t> *buf,
                          size_t at, size_t limit);

// A LUN reply's records: the 132-byte LUN at offset lunAt and its paths from
// offset areaAt on, the first path lowest (the LUN's pathList is measured
// from the LUN's first byte).
size_t SimBuildLun(const SimModel &m, int lun, std::vector<uint8_t> *buf, size_t lunAt, size_t areaAt,
                   size_t limit);

// One 364-byte path record with a zero next link.
void SimWritePathRecord(const SimModel &m, int path, uint8_t *dst);

#endif
