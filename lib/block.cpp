// Large blocks with huge pages where the host offers them.
#include "block.h"

#include <stdint.h>
#include <stdlib.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

// Blocks from this size on hold whole huge pages worth asking for; smaller
// ones come as they are.
static const size_t hugePageBlock = (size_t)4 << 20;

// Asks for huge pages for the whole pages inside the block (its first and
// last may be shared with other memory). Only a hint: where it is refused or
// unknown, the block simply has small pages.
static void AdviseHugePages(void *block, size_t size)
{
#if defined(MADV_HUGEPAGE)
    const uintptr_t page = 4096;
    uintptr_t first = ((uintptr_t)block + page - 1) & ~(page - 1);
    uintptr_t last = ((uintptr_t)block + size) & ~(page - 1);
    if (last > first)
        madvise((void *)first, last - first, MADV_HUGEPAGE);
#else
    (void)block;
    (void)size;
#endif
}

void *UtilAllocateBlock(size_t size, bool zeroed)
{
    // A large calloc comes fresh from the system, already zero, and the C
    // library does not touch it: the advice still comes before the first
    // touch, and zero pages cost nothing until written.
    void *block = zeroed ? calloc(size, 1) : malloc(size);
    if (block != nullptr && size >= hugePageBlock)
        AdviseHugePages(block, size);
    return block;
}
