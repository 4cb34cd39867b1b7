// The topology records as the driver packs them into a reply: devices, LUNs,
// paths, HBAs and secondary entries, tied together by self-relative links,
// placed in the order the model's layout asks for.
//
// A reply's records are encoded once per change of the model and kept in
// the model (SimModel::encodings): every reply until the next change shares
// those bytes instead of building them again. A reply that does not fit the
// caller's buffer needs only their size, which is counted without encoding.
#ifndef FERVSIM_RECORDS_H
#define FERVSIM_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#include "sim/model.h"

// Bytes of records of each reply, counted from the model without encoding:
// the HBA list; the list of every device (device -1) or of one device, each
// with its LUNs, paths and secondary entries; one LUN record followed by its
// paths. Counted in 64 bits: with wide records a list can outgrow a 32-bit
// size_t, and a wrapped size would pass for a small one.
uint64_t SimHbaListSize(const SimModel &m);
uint64_t SimDeviceListSize(const SimModel &m, int device);
uint64_t SimLunRecordsSize(const SimModel &m, int lun);

// The records of each reply, as the sizes above count them, from the first
// record's first byte on. The links of a LUN's record are measured from its
// own first byte, its first path lies right behind it. Encoded when the
// model has changed since they last were (or its layout differs), else the
// bytes kept from then.
SimRecords SimEncodeHbaList(SimModel *m);
SimRecords SimEncodeDeviceList(SimModel *m, int device);
SimRecords SimEncodeLun(SimModel *m, int lun);

// One 364-byte path record with a zero next link.
void SimWritePathRecord(const SimModel &m, int path, uint8_t *dst);

#endif
