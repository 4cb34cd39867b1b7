// Large blocks with huge pages where the host offers them.
#include "block.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

// Blocks from this size on hold whole huge pages worth asking for; smaller
// ones come as they are.
static const size_t hugePageBlock = (size_t)4 << 20;

void *UtilAllocateBlock(size_t size, size_t zeroed)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size >= hugePageBlock) {
        // A huge page maps a whole aligned 2 MiB: a block that starts and
        // ends on such a boundary leaves no stretch to small pages, each of
        // which would cost a fault of its own.
        const size_t huge = (size_t)2 << 20;
        // A size this close to the top of the address space has no rounding
        // (it would wrap to 0, and a block of nothing would be taken for it).
        if (size > SIZE_MAX - (huge - 1))
            return nullptr;
        size_t whole = (size + huge - 1) / huge * huge;
        void *block = aligned_alloc(huge, whole);
        if (block == nullptr)
            return nullptr;
        madvise(block, whole, MADV_HUGEPAGE);
        memset(block, 0, zeroed);
        return block;
    }
#endif
    if (zeroed == 0)
        return malloc(size);
    return calloc(size, 1);
}
