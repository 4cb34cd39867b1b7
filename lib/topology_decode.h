// Decoding of the driver's topology replies into the caller-side records.
//
// A reply carries its records packed into the request buffer and tied
// together by self-relative links. Each decoder here checks the reply first
// (every link lands inside the reply with room for the record it names, no
// record is reached twice, a list with a positive count holds at least that
// many records), then allocates one heap block, sized by that first pass,
// and fills it with native records whose links are pointers into the same
// block, in the order the links reach them. The first record of the list is
// the first byte of the block, so a single free() gives every record back.
// A caller that lends the block the reply lies in (FervReplyHolder) may get
// that block back as the list: the records are then decoded over the reply
// itself, which saves a second block as large as the reply.
//
// Telling a record reached twice needs one bit per byte of the reply. That
// bitmap lives in scratch memory the caller lends (the queries allocate it
// behind the request buffer's N bytes), so the block the caller keeps holds
// records and nothing else.
//
// The decoders print nothing: the topology queries turn their results into
// the library's diagnostic lines. They are exported for the queries, the unit
// tests, the fuzz targets and the benchmark, and are not part of FervLib's
// public interface.
#ifndef FERV_TOPOLOGY_DECODE_H
#define FERV_TOPOLOGY_DECODE_H

#include <stddef.h>
#include <stdint.h>

#include "fervlib.h"

// Bytes of scratch memory the decoders need for a reply of `size` bytes. Its
// contents on entry do not matter.
size_t FervDecodeScratchSize(uint32_t size);

// The heap block a reply lies in, lent to a decoder that may decode the list
// in it: `block` is the block's first byte, at or before the reply's, and
// the block comes from the library's block allocation, so free() gives it
// back. The bytes before the reply are the decoder's to write. On success
// `taken` says whether the list is the block itself; if so the caller gives
// the block back through the list alone, and the reply is no longer there.
// On any other result the reply is left as it was.
typedef struct FervReplyHolder {
    uint8_t *block;
    bool taken;
} FervReplyHolder;

// Bytes to leave before a reply of `size` bytes in its block, so that the
// list of a usual reply can be decoded in that block (see FervReplyHolder).
size_t FervDecodeRoomSize(uint32_t size);

// Decodes the HBA list of an all-HBA reply (`reply` holds `size` bytes, the
// header included; `scratch` holds FervDecodeScratchSize(size) bytes).
// Returns 0 with *pCount and *ppList set (the list is one block; null when
// the count is 0); 9 with *pCount set and *ppList null when the block cannot
// be allocated; 10 when the reply does not hold together, leaving both
// untouched. *pBlockSize, when not null, receives the size of the records
// on 0. `holder`, when not null, lends the block the reply lies in.
FERV_STATUS FervDecodeHbaReply(const uint8_t *reply, uint32_t size, uint8_t *scratch, int32_t *pCount,
                               FervHba **ppList, size_t *pBlockSize, FervReplyHolder *holder);

// Decodes the device list of an all-device reply; as FervDecodeHbaReply. A
// count of 0 yields a null list without looking at the data.
FERV_STATUS FervDecodeAllDevicesReply(const uint8_t *reply, uint32_t size, uint8_t *scratch, int32_t *pCount,
                                      FervDevice **ppList, size_t *pBlockSize, FervReplyHolder *holder);

// Decodes the device list of a device reply (first device at offset 32).
// Returns 0 with *ppList set; 9 with *ppList null when the block cannot be
// allocated; 10 when the reply does not hold together (also when it holds no
// device at all), leaving *ppList untouched. `holder` as for
// FervDecodeHbaReply.
FERV_STATUS FervDecodeDeviceReply(const uint8_t *reply, uint32_t size, uint8_t *scratch, FervDevice **ppList,
                                  size_t *pBlockSize, FervReplyHolder *holder);

// Decodes the LUN of a LUN reply (at offset 28) into *pLun, with its paths in
// one block at pLun->pathList (null when the LUN names no path); pLun->next is
// null, as the LUN stands alone.
// Returns 0 with *pLun filled; 9 with *pLun filled but pathList null when the
// block cannot be allocated; 10 when the reply does not hold together,
// leaving *pLun untouched.
FERV_STATUS FervDecodeLunReply(const uint8_t *reply, uint32_t size, uint8_t *scratch, FervLun *pLun,
                               size_t *pBlockSize);

// Decodes the 364 bytes of one path record at `record` into *pPath; its next
// is null, as the path stands alone. Reads nothing outside those bytes.
void FervDecodePathRecord(const uint8_t *record, FervPath *pPath);

#endif
