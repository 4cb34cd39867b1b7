// Memory for the large blocks of a topology query: the request buffer the
// reply arrives in and the block of records decoded from it. Internal to
// the library.
//
// Such a block is written once, front to back, into memory nobody has
// touched yet; at 100,000 paths it spans tens of MiB. Where the host has
// huge pages the block is laid on them, so it costs a few page faults
// instead of thousands. The blocks are ordinary heap blocks: free() gives
// them back, as the library's free calls promise.
#ifndef FERV_BLOCK_H
#define FERV_BLOCK_H

#include <stddef.h>

// `size` bytes, of which the first `zeroed` (at most `size`) are zero; the
// rest are left as they come.
// Returns: the block, or null when there is no memory for it.
void *UtilAllocateBlock(size_t size, size_t zeroed);

#endif
