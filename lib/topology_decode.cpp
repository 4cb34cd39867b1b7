// Decoding of topology replies: the driver's self-relative records become
// native records in one heap block, with pointers for links.
//
// Each reply is read twice. The first pass follows every link from the list
// heads, checks that each record it reaches lies inside the reply, that the
// lists hold as many records as their counts promise, and adds up the native
// records' sizes. That sum sizes the block, which is allocated once. The
// second pass walks the same links depth first (a device, its whole LUN
// tree, its secondary list, then the next device), fills the records in that
// order, one after another, and refuses a record reached twice.
//
// A reply of tens of MiB would need a block of tens of MiB more, every page
// of it fresh. When the caller lets the decoder have the reply's own block,
// and the first pass finds the records lying in the reply in the order the
// walk reaches them, each native record ending no later than its wire record
// ends, the second pass writes the native records over the wire ones, front
// to back: no record is written over before it has been read. The records
// reached in strictly rising order cannot repeat, so that pass needs no
// bitmap either.
//
// Every record starts with its `next` link, so one table says which child
// lists each kind of record holds, and one recursive routine per pass walks
// any list of any kind.
//
// The first pass cannot loop for ever: without a repeat, no more records can
// be reached than the reply has byte offsets, so a walk that goes on longer
// has met a record again and stops there.
#include "topology_decode.h"

#include <stdlib.h>
#include <string.h>

#include "block.h"
#include "ferv_wire.h"

// ---- records on the wire and in memory ----------------------------------------

// Kinds of record.
enum RecordKind { KIND_DEVICE, KIND_LUN, KIND_PATH, KIND_SECONDARY, KIND_HBA, KIND_COUNT };

// Bytes of a wire record that must lie inside the reply: its interpreted part.
static const uint32_t wireRecordSize[] = {
    FERV_DEVICE_RECORD_SIZE, FERV_LUN_RECORD_SIZE,  FERV_PATH_RECORD_SIZE,
    FERV_LINK_RECORD_SIZE,   FERV_LINK_RECORD_SIZE,
};
static_assert(sizeof wireRecordSize / sizeof wireRecordSize[0] == KIND_COUNT, "one wire size per record kind");

static const size_t nativeRecordSize[] = {
    sizeof(FervDevice), sizeof(FervLun), sizeof(FervPath), sizeof(FervSecondaryEntry), sizeof(FervHba),
};
static_assert(sizeof nativeRecordSize / sizeof nativeRecordSize[0] == KIND_COUNT, "one native size per record kind");

// The records of a block follow one another without padding; that keeps
// every record aligned only because each size is a multiple of a pointer's
// alignment.
static_assert(sizeof(FervDevice) % alignof(void *) == 0 && sizeof(FervLun) % alignof(void *) == 0 &&
                  sizeof(FervPath) % alignof(void *) == 0 && sizeof(FervSecondaryEntry) % alignof(void *) == 0 &&
                  sizeof(FervHba) % alignof(void *) == 0,
              "records pack back to back in a block");

// The uninterpreted stretches are carried along; their widths follow from the
// offsets of the fields around them.
static_assert(sizeof(((FervDevice *)0)->reserved4) == FERV_DEVICE_NAME - 4, "device bytes 4..89");
static_assert(sizeof(((FervDevice *)0)->deviceName) == FERV_DEVICE_NAME_SPAN, "device name span");
static_assert(sizeof(((FervDevice *)0)->firmwareRevision) == FERV_DEVICE_FIRMWARE_SPAN, "firmware span");
static_assert(sizeof(((FervDevice *)0)->ipAddress) == FERV_DEVICE_IP_SPAN, "IP address span");
static_assert(sizeof(((FervDevice *)0)->serialNumber) == FERV_DEVICE_SERIAL_SPAN, "serial number span");
static_assert(sizeof(((FervDevice *)0)->reserved411) == FERV_DEVICE_LUN_COUNT - FERV_DEVICE_WWN - 16,
              "device byte 411");
static_assert(sizeof(((FervLun *)0)->reserved20) == FERV_LUN_NAME - FERV_LUN_WWN - 16, "LUN bytes 20..23");
static_assert(sizeof(((FervLun *)0)->lunName) == FERV_LUN_NAME_SPAN, "LUN name span");
static_assert(sizeof(((FervLun *)0)->reserved117) == FERV_LUN_PATHING_MODE - FERV_LUN_LOAD_BALANCING - 1,
              "LUN bytes 117..119");
static_assert(sizeof(((FervLun *)0)->reserved124) == FERV_LUN_PATH_LIST - FERV_LUN_PATHING_MODE - 4,
              "LUN bytes 124..127");
static_assert(sizeof(((FervPath *)0)->pathName) == FERV_PATH_NAME_SIZE, "path name field");
static_assert(sizeof(((FervPath *)0)->reserved86) == FERV_PATH_FLAGS - FERV_PATH_STATE - 1, "path bytes 86..87");
static_assert(sizeof(((FervPath *)0)->reserved92) == FERV_PATH_HBA_NAME - FERV_PATH_FLAGS - 4, "path bytes 92..279");
static_assert(sizeof(((FervPath *)0)->hbaName) == FERV_PATH_HBA_NAME_SPAN, "HBA name span");
static_assert(FERV_PATH_HBA_NAME + FERV_PATH_HBA_NAME_SPAN == FERV_PATH_RECORD_SIZE,
              "path record ends with its HBA name");

// On a 32-bit host a native record is the wire record itself: same size, same
// offsets, a pointer where the wire holds a link.
#define FERV_WIRE_FIELD(type, field, offset) \
    static_assert(sizeof(void *) != 4 || offsetof(type, field) == (offset), #type "." #field " at its wire offset")
FERV_WIRE_FIELD(FervDevice, next, FERV_REC_NEXT);
FERV_WIRE_FIELD(FervDevice, reserved4, 4);
FERV_WIRE_FIELD(FervDevice, deviceName, FERV_DEVICE_NAME);
FERV_WIRE_FIELD(FervDevice, firmwareRevision, FERV_DEVICE_FIRMWARE);
FERV_WIRE_FIELD(FervDevice, ipAddress, FERV_DEVICE_IP);
FERV_WIRE_FIELD(FervDevice, serialNumber, FERV_DEVICE_SERIAL);
FERV_WIRE_FIELD(FervDevice, wwn, FERV_DEVICE_WWN);
FERV_WIRE_FIELD(FervDevice, reserved411, FERV_DEVICE_WWN + 16);
FERV_WIRE_FIELD(FervDevice, lunCount, FERV_DEVICE_LUN_COUNT);
FERV_WIRE_FIELD(FervDevice, lunList, FERV_DEVICE_LUN_LIST);
FERV_WIRE_FIELD(FervDevice, secondaryCount, FERV_DEVICE_SECONDARY_COUNT);
FERV_WIRE_FIELD(FervDevice, secondaryList, FERV_DEVICE_SECONDARY_LIST);
FERV_WIRE_FIELD(FervLun, next, FERV_REC_NEXT);
FERV_WIRE_FIELD(FervLun, wwn, FERV_LUN_WWN);
FERV_WIRE_FIELD(FervLun, reserved20, FERV_LUN_WWN + 16);
FERV_WIRE_FIELD(FervLun, lunName, FERV_LUN_NAME);
FERV_WIRE_FIELD(FervLun, pathCount, FERV_LUN_PATH_COUNT);
FERV_WIRE_FIELD(FervLun, loadBalancing, FERV_LUN_LOAD_BALANCING);
FERV_WIRE_FIELD(FervLun, reserved117, FERV_LUN_LOAD_BALANCING + 1);
FERV_WIRE_FIELD(FervLun, pathingMode, FERV_LUN_PATHING_MODE);
FERV_WIRE_FIELD(FervLun, reserved124, FERV_LUN_PATHING_MODE + 4);
FERV_WIRE_FIELD(FervLun, pathList, FERV_LUN_PATH_LIST);
FERV_WIRE_FIELD(FervPath, next, FERV_REC_NEXT);
FERV_WIRE_FIELD(FervPath, pathName, FERV_PATH_NAME);
FERV_WIRE_FIELD(FervPath, state, FERV_PATH_STATE);
FERV_WIRE_FIELD(FervPath, reserved86, FERV_PATH_STATE + 1);
FERV_WIRE_FIELD(FervPath, flags, FERV_PATH_FLAGS);
FERV_WIRE_FIELD(FervPath, reserved92, FERV_PATH_FLAGS + 4);
FERV_WIRE_FIELD(FervPath, hbaName, FERV_PATH_HBA_NAME);
FERV_WIRE_FIELD(FervHba, next, FERV_REC_NEXT);
FERV_WIRE_FIELD(FervSecondaryEntry, next, FERV_REC_NEXT);
#undef FERV_WIRE_FIELD
static_assert(sizeof(void *) != 4 || sizeof(FervDevice) == FERV_DEVICE_RECORD_SIZE, "device record size");
static_assert(sizeof(void *) != 4 || sizeof(FervLun) == FERV_LUN_RECORD_SIZE, "LUN record size");
static_assert(sizeof(void *) != 4 || sizeof(FervPath) == FERV_PATH_RECORD_SIZE, "path record size");
static_assert(sizeof(void *) != 4 || sizeof(FervHba) == FERV_LINK_RECORD_SIZE, "HBA link size");
static_assert(sizeof(void *) != 4 || sizeof(FervSecondaryEntry) == FERV_LINK_RECORD_SIZE, "secondary link size");

// No native record is smaller than its wire record, so records decoded over
// their own reply only ever grow into the room before it.
static_assert(sizeof(FervDevice) >= FERV_DEVICE_RECORD_SIZE && sizeof(FervLun) >= FERV_LUN_RECORD_SIZE &&
                  sizeof(FervPath) >= FERV_PATH_RECORD_SIZE && sizeof(FervHba) >= FERV_LINK_RECORD_SIZE &&
                  sizeof(FervSecondaryEntry) >= FERV_LINK_RECORD_SIZE,
              "native records are at least as large as wire records");

// The largest interpreted part of a wire record: what the in-place pass keeps
// aside while it writes a record's native form over it.
enum { WIRE_RECORD_MAX = FERV_DEVICE_RECORD_SIZE };
static_assert(FERV_DEVICE_RECORD_SIZE >= FERV_LUN_RECORD_SIZE && FERV_DEVICE_RECORD_SIZE >= FERV_PATH_RECORD_SIZE &&
                  FERV_DEVICE_RECORD_SIZE >= FERV_LINK_RECORD_SIZE,
              "no wire record is larger than a device");

// ---- walking a reply ----------------------------------------------------------

// Offset of "no record": where a link word holds 0. No link can lead there
// (an offset plus a 32-bit link stays far above it), so a link that ends
// just before the reply is still seen as one that leaves it.
static const int64_t NO_RECORD = INT64_MIN;

typedef struct ReplyWalk {
    const uint8_t *reply;
    int64_t begin; // records lie inside [begin, end) of the reply
    int64_t end;
    uint64_t budget;      // records the first pass may still reach
    uint64_t nativeBytes; // first pass: the native records' sizes so far
    // The block the reply lies in, when the list may be decoded in it: `room`
    // bytes before the reply. The first pass clears `inPlace` as soon as a
    // record lies out of order (`readTo` is where the one before it ended)
    // or its native form would end past the end of its wire form.
    uint8_t *holder;
    int64_t room;
    bool inPlace;
    int64_t readTo;
    uint8_t *seen;   // second pass, unless in place: one bit per offset of [begin, end)
    uint8_t *cursor; // second pass: where the next record goes
    uint8_t *limit;
} ReplyWalk;

// `holder`, unless null, is the block the reply lies in and may be decoded in.
static void WalkStart(ReplyWalk *w, const uint8_t *reply, int64_t begin, int64_t end, uint8_t *holder)
{
    memset(w, 0, sizeof *w);
    w->reply = reply;
    w->begin = begin;
    w->end = end;
    w->budget = (uint64_t)(end - begin);
    w->holder = holder;
    w->room = holder == nullptr ? 0 : (int64_t)(reply - holder);
    w->inPlace = holder != nullptr;
    w->readTo = begin;
}

// Where the link word at `field` of the record `rec`, found at `at`, leads:
// NO_RECORD for 0, otherwise an offset that may lie anywhere and is checked
// before use.
static int64_t RecordLink(const uint8_t *rec, int64_t at, uint32_t field)
{
    int32_t link = FervLoadS32(rec + field);
    return link == 0 ? NO_RECORD : at + link;
}

static int64_t LinkTarget(const ReplyWalk *w, int64_t at, uint32_t field)
{
    return RecordLink(w->reply + at, at, field);
}

static bool RecordFits(const ReplyWalk *w, RecordKind kind, int64_t at)
{
    return at >= w->begin && at <= w->end - (int64_t)wireRecordSize[kind];
}

static bool CountIsMet(int32_t count, uint64_t reached)
{
    return count <= 0 || reached >= (uint64_t)count;
}

// ---- filling native records -----------------------------------------------------

void FervDecodePathRecord(const uint8_t *rec, FervPath *path)
{
    path->next = nullptr;
    memcpy(path->pathName, rec + FERV_PATH_NAME, sizeof path->pathName);
    path->state = rec[FERV_PATH_STATE];
    memcpy(path->reserved86, rec + FERV_PATH_STATE + 1, sizeof path->reserved86);
    path->flags = FervLoad32(rec + FERV_PATH_FLAGS);
    memcpy(path->reserved92, rec + FERV_PATH_FLAGS + 4, sizeof path->reserved92);
    memcpy(path->hbaName, rec + FERV_PATH_HBA_NAME, sizeof path->hbaName);
}

static void FillPath(const uint8_t *rec, void *place)
{
    FervDecodePathRecord(rec, (FervPath *)place);
}

// Everything of a LUN but its links.
static void FillLun(const uint8_t *rec, void *place)
{
    FervLun *lun = (FervLun *)place;
    memcpy(lun->wwn.bytes, rec + FERV_LUN_WWN, sizeof lun->wwn.bytes);
    memcpy(lun->reserved20, rec + FERV_LUN_WWN + 16, sizeof lun->reserved20);
    memcpy(lun->lunName, rec + FERV_LUN_NAME, sizeof lun->lunName);
    lun->pathCount = FervLoadS32(rec + FERV_LUN_PATH_COUNT);
    lun->loadBalancing = rec[FERV_LUN_LOAD_BALANCING];
    memcpy(lun->reserved117, rec + FERV_LUN_LOAD_BALANCING + 1, sizeof lun->reserved117);
    lun->pathingMode = FervLoad32(rec + FERV_LUN_PATHING_MODE);
    memcpy(lun->reserved124, rec + FERV_LUN_PATHING_MODE + 4, sizeof lun->reserved124);
}

// Everything of a device but its links.
static void FillDevice(const uint8_t *rec, void *place)
{
    FervDevice *dev = (FervDevice *)place;
    memcpy(dev->reserved4, rec + 4, sizeof dev->reserved4);
    memcpy(dev->deviceName, rec + FERV_DEVICE_NAME, sizeof dev->deviceName);
    memcpy(dev->firmwareRevision, rec + FERV_DEVICE_FIRMWARE, sizeof dev->firmwareRevision);
    memcpy(dev->ipAddress, rec + FERV_DEVICE_IP, sizeof dev->ipAddress);
    memcpy(dev->serialNumber, rec + FERV_DEVICE_SERIAL, sizeof dev->serialNumber);
    memcpy(dev->wwn.bytes, rec + FERV_DEVICE_WWN, sizeof dev->wwn.bytes);
    memcpy(dev->reserved411, rec + FERV_DEVICE_WWN + 16, sizeof dev->reserved411);
    dev->lunCount = FervLoadS32(rec + FERV_DEVICE_LUN_COUNT);
    dev->secondaryCount = FervLoadS32(rec + FERV_DEVICE_SECONDARY_COUNT);
}

// ---- the record table -------------------------------------------------------------

// A list that a record holds: where its link and its count sit in the wire
// record, what kind of record it holds, and where its head goes in the
// native record.
typedef struct ChildList {
    uint32_t linkField;
    uint32_t countField;
    RecordKind kind;
    size_t nativeHead;
} ChildList;

// What each kind of record holds besides its `next` link, and how its other
// fields are filled (null: it has none that anybody reads).
typedef struct RecordShape {
    void (*fill)(const uint8_t *rec, void *place);
    size_t childCount;
    ChildList children[2];
} RecordShape;

static const RecordShape recordShapes[] = {
    {FillDevice,
     2,
     {{FERV_DEVICE_LUN_LIST, FERV_DEVICE_LUN_COUNT, KIND_LUN, offsetof(FervDevice, lunList)},
      {FERV_DEVICE_SECONDARY_LIST, FERV_DEVICE_SECONDARY_COUNT, KIND_SECONDARY,
       offsetof(FervDevice, secondaryList)}}},
    {FillLun, 1, {{FERV_LUN_PATH_LIST, FERV_LUN_PATH_COUNT, KIND_PATH, offsetof(FervLun, pathList)}}},
    {FillPath, 0, {}},
    {nullptr, 0, {}},
    {nullptr, 0, {}},
};
static_assert(sizeof recordShapes / sizeof recordShapes[0] == KIND_COUNT, "one shape per record kind");

// Every native record begins with its `next` pointer, as every wire record
// begins with its `next` link.
static_assert(offsetof(FervDevice, next) == 0 && offsetof(FervLun, next) == 0 && offsetof(FervPath, next) == 0 &&
                  offsetof(FervSecondaryEntry, next) == 0 && offsetof(FervHba, next) == 0,
              "next comes first");

// Stores a pointer into the native record at `place`, `field` bytes in.
static void SetPointer(void *place, size_t field, void *target)
{
    memcpy((uint8_t *)place + field, &target, sizeof target);
}

// ---- first pass: measuring --------------------------------------------------------

static void PrefetchAhead(const ReplyWalk *w, int64_t at)
{
#if defined(__GNUC__)
    if (at < w->end)
        __builtin_prefetch(w->reply + at);
#else
    (void)w;
    (void)at;
#endif
}

// Follows the list of `kind` from `first` and every list its records hold,
// counting records. Returns false when a record lies outside the reply, a
// list falls short of its count, or more records are reached than the reply
// can hold without a repeat.
static bool MeasureList(ReplyWalk *w, RecordKind kind, int64_t first, int32_t count)
{
    const RecordShape *shape = &recordShapes[kind];
    uint64_t reached = 0;
    for (int64_t at = first; at != NO_RECORD; at = LinkTarget(w, at, FERV_REC_NEXT)) {
        if (!RecordFits(w, kind, at) || w->budget == 0)
            return false;
        // The walk waits on each record's link before it can go on; a reply
        // laid out as it is walked is asked for a few records ahead, so that
        // memory is not waited on one record at a time. A hint only: nothing
        // is read there unless a link leads there.
        PrefetchAhead(w, at + 8 * (int64_t)wireRecordSize[kind]);
        w->budget--;
        w->nativeBytes += nativeRecordSize[kind];
        if (w->inPlace) {
            // In block terms the wire record ends at room + at + its size;
            // the native records so far must end there too.
            int64_t wireEnd = at + (int64_t)wireRecordSize[kind];
            w->inPlace = at >= w->readTo && w->nativeBytes <= (uint64_t)(w->room + wireEnd);
            w->readTo = wireEnd;
        }
        for (size_t c = 0; c < shape->childCount; c++) {
            const ChildList *child = &shape->children[c];
            if (!MeasureList(w, child->kind, LinkTarget(w, at, child->linkField),
                             FervLoadS32(w->reply + at + child->countField)))
                return false;
        }
        reached++;
    }
    return CountIsMet(count, reached);
}

// The block's size from the first pass. Returns 0 when it would not fit in
// memory at all.
static size_t BlockSize(const ReplyWalk *w)
{
    return w->nativeBytes > (uint64_t)SIZE_MAX ? 0 : (size_t)w->nativeBytes;
}

// The block of `size` bytes the second pass fills: the holder's own when the
// first pass allowed it, else a new one, with the bitmap cleared.
static void *AllocateBlock(ReplyWalk *w, uint8_t *scratch, size_t size)
{
    uint8_t *block = w->inPlace ? w->holder : (uint8_t *)UtilAllocateBlock(size, 0);
    if (block == nullptr)
        return nullptr;
    w->cursor = block;
    w->limit = block + size;
    if (!w->inPlace) {
        w->seen = scratch;
        memset(scratch, 0, (size_t)((w->end - w->begin + 7) / 8));
    }
    return block;
}

// ---- second pass: relinking -----------------------------------------------------

// Marks the offset `at` as taken. Returns false when it was taken before.
// In place there is no bitmap: the first pass found each record beyond the
// one before it, so none can repeat.
static bool ClaimOffset(ReplyWalk *w, int64_t at)
{
    if (w->seen == nullptr)
        return true;
    uint64_t bit = (uint64_t)(at - w->begin);
    uint8_t mask = (uint8_t)(1u << (bit & 7));
    if ((w->seen[bit >> 3] & mask) != 0)
        return false;
    w->seen[bit >> 3] |= mask;
    return true;
}

// The native place for the record of `kind` at `at`, or null when that
// record was reached before.
static void *PlaceRecord(ReplyWalk *w, RecordKind kind, int64_t at)
{
    if (!ClaimOffset(w, at))
        return nullptr;
    // The second pass follows the first one's links, so it never asks for
    // more room than was counted; the check guards that promise.
    if ((size_t)(w->limit - w->cursor) < nativeRecordSize[kind])
        return nullptr;
    void *place = w->cursor;
    w->cursor += nativeRecordSize[kind];
    return place;
}

// Decodes the list of `kind` from `first` with every list its records hold,
// depth first, and stores the native head in *pHead (null for an empty
// list). Returns false when a record is reached twice.
static bool RelinkList(ReplyWalk *w, RecordKind kind, int64_t first, void **pHead)
{
    const RecordShape *shape = &recordShapes[kind];
    void *prev = nullptr;
    *pHead = nullptr;
    int64_t next;
    for (int64_t at = first; at != NO_RECORD; at = next) {
        void *place = PlaceRecord(w, kind, at);
        if (place == nullptr)
            return false;
        // In place, the native record may be written over its own wire
        // record: then it is read from a copy.
        const uint8_t *rec = w->reply + at;
        uint8_t kept[WIRE_RECORD_MAX];
        if (w->inPlace && (const uint8_t *)place + nativeRecordSize[kind] > rec) {
            memcpy(kept, rec, wireRecordSize[kind]);
            rec = kept;
        }
        // Every link is read before anything is written: in place, the
        // records of the first child list may be written over this one.
        next = RecordLink(rec, at, FERV_REC_NEXT);
        int64_t childFirst[sizeof shape->children / sizeof shape->children[0]];
        for (size_t c = 0; c < shape->childCount; c++)
            childFirst[c] = RecordLink(rec, at, shape->children[c].linkField);
        if (shape->fill != nullptr)
            shape->fill(rec, place);
        SetPointer(place, 0, nullptr);
        if (prev != nullptr)
            SetPointer(prev, 0, place);
        else
            *pHead = place;
        prev = place;
        for (size_t c = 0; c < shape->childCount; c++) {
            const ChildList *child = &shape->children[c];
            void *head;
            if (!RelinkList(w, child->kind, childFirst[c], &head))
                return false;
            SetPointer(place, child->nativeHead, head);
        }
    }
    return true;
}

// ---- the decoders ----------------------------------------------------------------

static uint8_t *HolderBlock(const FervReplyHolder *holder)
{
    return holder == nullptr ? nullptr : holder->block;
}

size_t FervDecodeRoomSize(uint32_t size)
{
    // On a 32-bit host a native record is its wire record and needs none.
    // Elsewhere a path outgrows its wire form by about 1%, a LUN by 9%, a
    // device by 5%: a sixteenth covers a device list whose LUNs have a path
    // or more each. A list that needs more is decoded into a block of its own.
    if (sizeof(FervPath) == FERV_PATH_RECORD_SIZE && sizeof(FervLun) == FERV_LUN_RECORD_SIZE &&
        sizeof(FervDevice) == FERV_DEVICE_RECORD_SIZE)
        return 0;
    return (size_t)(size / 16);
}

size_t FervDecodeScratchSize(uint32_t size)
{
    // Not (size + 7) / 8: on a 32-bit host that sum wraps for the largest sizes.
    return (size_t)(size / 8) + (size % 8 != 0 ? 1 : 0);
}

// Both passes over one list of `kind` whose first record is at `first`; on
// success *pHead is the block (the walk's holder when it was decoded in
// place). `reserved`, unless NO_RECORD, is an offset no record of the list
// may start at.
// Returns 0; 9 with *pHead null when the block cannot be allocated; 10 when
// the reply does not hold together.
static FERV_STATUS DecodeList(ReplyWalk *w, uint8_t *scratch, RecordKind kind, int64_t first, int32_t count,
                              int64_t reserved, void **pHead, size_t *pBlockSize)
{
    if (!MeasureList(w, kind, first, count))
        return FERV_STATUS_INTERNAL_ERROR;
    // The list's first record always counts, so a size of 0 only means one
    // too large to express.
    size_t size = BlockSize(w);
    void *block = size == 0 ? nullptr : AllocateBlock(w, scratch, size);
    if (block == nullptr) {
        *pHead = nullptr;
        return FERV_STATUS_NO_MEMORY;
    }
    if (reserved != NO_RECORD)
        ClaimOffset(w, reserved);
    void *head;
    if (!RelinkList(w, kind, first, &head)) {
        // Only a record reached twice ends this pass, and in place none is.
        if (!w->inPlace)
            free(block);
        return FERV_STATUS_INTERNAL_ERROR;
    }
    *pHead = block;
    if (pBlockSize != nullptr)
        *pBlockSize = size;
    return FERV_STATUS_SUCCESS;
}

// The list of an all-HBA or all-device reply: header, then data.
static FERV_STATUS DecodeAllReply(const uint8_t *reply, uint32_t size, uint8_t *scratch, RecordKind kind,
                                  int32_t *pCount, void **ppList, size_t *pBlockSize, FervReplyHolder *holder)
{
    if (holder != nullptr)
        holder->taken = false;
    if (size < FERV_ALL_DATA)
        return FERV_STATUS_INTERNAL_ERROR;
    uint32_t dataLength = FervLoad32(reply + FERV_ALL_DATA_LENGTH);
    if (dataLength > size - FERV_ALL_DATA)
        return FERV_STATUS_INTERNAL_ERROR;
    int32_t count = FervLoadS32(reply + FERV_ALL_COUNT);
    if (count == 0) {
        // Nothing to take from the data: an empty list, no block.
        *pCount = 0;
        *ppList = nullptr;
        if (pBlockSize != nullptr)
            *pBlockSize = 0;
        return FERV_STATUS_SUCCESS;
    }
    ReplyWalk w;
    WalkStart(&w, reply, FERV_ALL_DATA, (int64_t)FERV_ALL_DATA + dataLength, HolderBlock(holder));
    void *head;
    FERV_STATUS status = DecodeList(&w, scratch, kind, FERV_ALL_DATA, count, NO_RECORD, &head, pBlockSize);
    if (status == FERV_STATUS_INTERNAL_ERROR)
        return status;
    if (holder != nullptr)
        holder->taken = status == FERV_STATUS_SUCCESS && w.inPlace;
    *pCount = count;
    *ppList = head;
    return status;
}

FERV_STATUS FervDecodeHbaReply(const uint8_t *reply, uint32_t size, uint8_t *scratch, int32_t *pCount,
                               FervHba **ppList, size_t *pBlockSize, FervReplyHolder *holder)
{
    void *head = nullptr;
    int32_t count = 0;
    FERV_STATUS status = DecodeAllReply(reply, size, scratch, KIND_HBA, &count, &head, pBlockSize, holder);
    if (status != FERV_STATUS_INTERNAL_ERROR) {
        *pCount = count;
        *ppList = (FervHba *)head;
    }
    return status;
}

FERV_STATUS FervDecodeAllDevicesReply(const uint8_t *reply, uint32_t size, uint8_t *scratch, int32_t *pCount,
                                      FervDevice **ppList, size_t *pBlockSize, FervReplyHolder *holder)
{
    void *head = nullptr;
    int32_t count = 0;
    FERV_STATUS status = DecodeAllReply(reply, size, scratch, KIND_DEVICE, &count, &head, pBlockSize, holder);
    if (status != FERV_STATUS_INTERNAL_ERROR) {
        *pCount = count;
        *ppList = (FervDevice *)head;
    }
    return status;
}

FERV_STATUS FervDecodeDeviceReply(const uint8_t *reply, uint32_t size, uint8_t *scratch, FervDevice **ppList,
                                  size_t *pBlockSize, FervReplyHolder *holder)
{
    if (holder != nullptr)
        holder->taken = false;
    if (size < FERV_DEV_DATA)
        return FERV_STATUS_INTERNAL_ERROR;
    uint32_t dataLength = FervLoad32(reply + FERV_DEV_DATA_LENGTH);
    if (dataLength > size - FERV_DEV_DATA)
        return FERV_STATUS_INTERNAL_ERROR;
    // The reply names one device and carries no count: its data must hold at
    // least that device, which the first pass checks like any other record.
    ReplyWalk w;
    WalkStart(&w, reply, FERV_DEV_DATA, (int64_t)FERV_DEV_DATA + dataLength, HolderBlock(holder));
    void *head = nullptr;
    FERV_STATUS status = DecodeList(&w, scratch, KIND_DEVICE, FERV_DEV_DATA, 0, NO_RECORD, &head, pBlockSize);
    if (status != FERV_STATUS_INTERNAL_ERROR)
        *ppList = (FervDevice *)head;
    if (holder != nullptr)
        holder->taken = status == FERV_STATUS_SUCCESS && w.inPlace;
    return status;
}

FERV_STATUS FervDecodeLunReply(const uint8_t *reply, uint32_t size, uint8_t *scratch, FervLun *pLun,
                               size_t *pBlockSize)
{
    if (size < FERV_LUNQ_LUN + FERV_LUN_RECORD_SIZE)
        return FERV_STATUS_INTERNAL_ERROR;
    const uint8_t *rec = reply + FERV_LUNQ_LUN;
    // The paths may lie anywhere in the buffer, before the LUN or after it,
    // but never where the LUN itself begins.
    ReplyWalk w;
    WalkStart(&w, reply, 0, size, nullptr);
    int64_t first = LinkTarget(&w, FERV_LUNQ_LUN, FERV_LUN_PATH_LIST);
    int32_t pathCount = FervLoadS32(rec + FERV_LUN_PATH_COUNT);
    void *paths = nullptr;
    FERV_STATUS status = FERV_STATUS_SUCCESS;
    if (first != NO_RECORD) {
        status = DecodeList(&w, scratch, KIND_PATH, first, pathCount, FERV_LUNQ_LUN, &paths, pBlockSize);
        if (status == FERV_STATUS_INTERNAL_ERROR)
            return status;
    } else if (!CountIsMet(pathCount, 0)) {
        return FERV_STATUS_INTERNAL_ERROR;
    } else if (pBlockSize != nullptr) {
        *pBlockSize = 0;
    }
    FillLun(rec, pLun);
    pLun->next = nullptr;
    pLun->pathList = (FervPath *)paths;
    return status;
}
