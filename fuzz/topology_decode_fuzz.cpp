// Arbitrary bytes as a topology reply. The first byte picks the decoder, the
// rest is the reply, in a heap buffer of exactly its length so that the
// sanitizer sees any read past it. A reply that decodes must give a block
// whose every pointer stays inside it and whose lists hold what their counts
// promise; anything else must be refused. The list decoders run a second
// time on the reply lent in a block of its own, which they may decode in,
// and must come to the same records.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "lib/topology_decode.h"
#include "tests/support/decoded_fingerprint.h"
#include "tests/support/held_reply.h"

namespace {

struct Block {
    const uint8_t *start;
    size_t size;
};

void Require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void RequireInside(const Block &block, const void *record, size_t recordSize)
{
    const uint8_t *p = (const uint8_t *)record;
    Require(p >= block.start && recordSize <= block.size && p <= block.start + block.size - recordSize);
}

// Reads every byte a report could print, so a text or field outside the
// block shows up.
size_t TouchPath(const FervPath *p)
{
    return FervTextLength(p->pathName, sizeof p->pathName) + FervTextLength(p->hbaName, sizeof p->hbaName) +
           p->state + p->flags;
}

size_t WalkPaths(const Block &block, const FervPath *first, int32_t count)
{
    size_t sum = 0, n = 0;
    for (const FervPath *p = first; p != nullptr; p = p->next, n++) {
        RequireInside(block, p, sizeof *p);
        sum += TouchPath(p);
    }
    Require(count <= 0 || n >= (size_t)count);
    return sum;
}

size_t WalkDevices(const Block &block, const FervDevice *first, int32_t count)
{
    size_t sum = 0, n = 0;
    for (const FervDevice *d = first; d != nullptr; d = d->next, n++) {
        RequireInside(block, d, sizeof *d);
        sum += FervTextLength(d->deviceName, sizeof d->deviceName) +
               FervTextLength(d->serialNumber, sizeof d->serialNumber) +
               FervTextLength(d->ipAddress, sizeof d->ipAddress) +
               FervTextLength(d->firmwareRevision, sizeof d->firmwareRevision) + d->wwn.bytes[15];
        size_t luns = 0;
        for (const FervLun *l = d->lunList; l != nullptr; l = l->next, luns++) {
            RequireInside(block, l, sizeof *l);
            sum += FervTextLength(l->lunName, sizeof l->lunName) + l->loadBalancing + l->pathingMode;
            sum += WalkPaths(block, l->pathList, l->pathCount);
        }
        Require(d->lunCount <= 0 || luns >= (size_t)d->lunCount);
        size_t entries = 0;
        for (const FervSecondaryEntry *e = d->secondaryList; e != nullptr; e = e->next, entries++)
            RequireInside(block, e, sizeof *e);
        Require(d->secondaryCount <= 0 || entries >= (size_t)d->secondaryCount);
    }
    Require(count <= 0 || n >= (size_t)count);
    return sum;
}

volatile size_t sink;

// The reply again, lent in a block of its own as the queries lend it: the
// decoder may write over it. `decode` runs the decoder on the held reply and
// returns its status, the fingerprint of its list, and the list. The result
// must be the copy's, record for record; a list decoded in place must be the
// block, and a reply not taken must be left as it was.
template <typename Decode>
void CheckHeld(const uint8_t *reply, uint32_t length, FERV_STATUS status, const std::string &fingerprint,
               Decode decode)
{
    HeldReply held(reply, length);
    std::string heldFingerprint;
    void *list = nullptr;
    Require(decode(held.reply, held.Scratch(), &held.holder, &heldFingerprint, &list) == status);
    Require(heldFingerprint == fingerprint);
    if (held.holder.taken) {
        Require(status == FERV_STATUS_SUCCESS && list == (void *)held.block);
    } else {
        Require(memcmp(held.reply, reply, length) == 0);
        free(list);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size - 1 > 1u << 20)
        return 0;
    uint8_t which = data[0] % 4;
    uint32_t length = (uint32_t)(size - 1);
    uint8_t *reply = (uint8_t *)malloc(length ? length : 1);
    uint8_t *scratch = (uint8_t *)malloc(FervDecodeScratchSize(length) + 1);
    memcpy(reply, data + 1, length);

    size_t blockSize = 0;
    int32_t count = 0;
    FERV_STATUS status;
    switch (which) {
    case 0: {
        FervHba *list = nullptr;
        status = FervDecodeHbaReply(reply, length, scratch, &count, &list, &blockSize, nullptr);
        CheckHeld(reply, length, status, status == FERV_STATUS_SUCCESS ? FingerprintHbas(list) : "",
                  [&](uint8_t *r, uint8_t *s, FervReplyHolder *h, std::string *fp, void **out) {
                      int32_t n = 0;
                      FervHba *l = nullptr;
                      FERV_STATUS got = FervDecodeHbaReply(r, length, s, &n, &l, nullptr, h);
                      if (got == FERV_STATUS_SUCCESS)
                          *fp = FingerprintHbas(l);
                      *out = l;
                      return got;
                  });
        if (status == FERV_STATUS_SUCCESS) {
            Block block = {(const uint8_t *)list, blockSize};
            size_t n = 0;
            for (const FervHba *h = list; h != nullptr; h = h->next, n++)
                RequireInside(block, h, sizeof *h);
            // A count of 0 takes nothing; any other count starts at the
            // first record, and a positive one is met along the links.
            Require(count == 0 ? list == nullptr : n >= (size_t)(count < 0 ? 1 : count));
        }
        free(list);
        break;
    }
    case 1:
    case 2: {
        FervDevice *list = nullptr;
        auto decode = [&](uint8_t *r, uint8_t *s, int32_t *n, FervDevice **l, size_t *bs, FervReplyHolder *h) {
            if (which == 1)
                return FervDecodeAllDevicesReply(r, length, s, n, l, bs, h);
            return FervDecodeDeviceReply(r, length, s, l, bs, h);
        };
        status = decode(reply, scratch, &count, &list, &blockSize, nullptr);
        Require(which == 1 || status != FERV_STATUS_SUCCESS || list != nullptr);
        CheckHeld(reply, length, status, status == FERV_STATUS_SUCCESS ? FingerprintDevices(list) : "",
                  [&](uint8_t *r, uint8_t *s, FervReplyHolder *h, std::string *fp, void **out) {
                      int32_t n = 0;
                      FervDevice *l = nullptr;
                      FERV_STATUS got = decode(r, s, &n, &l, nullptr, h);
                      if (got == FERV_STATUS_SUCCESS)
                          *fp = FingerprintDevices(l);
                      *out = l;
                      return got;
                  });
        if (status == FERV_STATUS_SUCCESS && list != nullptr)
            sink = WalkDevices(Block{(const uint8_t *)list, blockSize}, list, count);
        free(list);
        break;
    }
    default: {
        FervLun lun;
        memset(&lun, 0, sizeof lun);
        status = FervDecodeLunReply(reply, length, scratch, &lun, &blockSize);
        if (status == FERV_STATUS_SUCCESS) {
            Require(lun.next == nullptr);
            sink = FervTextLength(lun.lunName, sizeof lun.lunName) +
                   WalkPaths(Block{(const uint8_t *)lun.pathList, blockSize}, lun.pathList, lun.pathCount);
        }
        free(lun.pathList);
        break;
    }
    }
    Require(status == FERV_STATUS_SUCCESS || status == FERV_STATUS_INTERNAL_ERROR ||
            status == FERV_STATUS_NO_MEMORY);
    free(scratch);
    free(reply);
    return 0;
}
