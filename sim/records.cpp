// Reply records and their placement.
#include "sim/records.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "lib/ferv_wire.h"
#include "sim/transport.h"

// Our own HBA record (nothing outside the driver reads past its link).
enum { HBA_NAME = 4, HBA_NAME_SPAN = 48, HBA_WWPN = 52, HBA_PATH_COUNT = 60, HBA_MODEL = 64, HBA_MODEL_SPAN = 32 };

// Our own secondary entry: the link, the entry's number, its device's number.
enum { SEC_INDEX = 4, SEC_DEVICE = 8 };

enum ItemKind : uint8_t { ITEM_DEVICE = 0, ITEM_LUN, ITEM_PATH, ITEM_SECONDARY, ITEM_HBA };

struct Item {
    uint8_t kind;
    int index;  // model index (device, LUN, path, HBA) or entry number (secondary)
    int owner;  // secondary entries: the device
    int next;   // item of the next record of the same list, -1 at the end
    int child;  // device: first LUN item; LUN: first path item
    int child2; // device: first secondary item
    uint32_t size;
    size_t offset;
};

// Writes text from its offset up to span - 1 characters with a terminator,
// but only where the field lies inside the record.
static void PutText(uint8_t *rec, uint32_t recSize, uint32_t off, uint32_t span, const std::string &text)
{
    if (off + span > recSize)
        return;
    size_t n = std::min(text.size(), (size_t)span - 1);
    memcpy(rec + off, text.data(), n);
}

static void PutLink(uint8_t *rec, uint32_t off, const std::vector<Item> &items, int from, int to)
{
    if (to < 0) {
        FervStore32(rec + off, 0);
        return;
    }
    int64_t delta = (int64_t)items[to].offset - (int64_t)items[from].offset;
    FervStore32(rec + off, (uint32_t)(int32_t)delta);
}

// Applies the layout's order to the depth-first item list and assigns
// offsets. Returns the total size, counted in 64 bits: with wide records a
// list can outgrow a 32-bit size_t, and a wrapped size would pass for a
// small one. The first item always stays first: the reply's header names its
// place.
static uint64_t PlaceItems(const SimLayout &layout, std::vector<Item> &items)
{
    std::vector<int> order(items.size());
    for (size_t i = 0; i < items.size(); i++)
        order[i] = (int)i;
    if (layout.order == SIM_ORDER_BREADTH_FIRST) {
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return items[a].kind < items[b].kind; });
    } else if (layout.order == SIM_ORDER_REVERSE && order.size() > 2) {
        std::reverse(order.begin() + 1, order.end());
    }
    uint64_t off = 0;
    for (int i : order) {
        items[i].offset = (size_t)off; // used only when the whole fits the limit
        off += items[i].size;
    }
    return off;
}

static void WritePath(const SimModel &m, int pi, uint8_t *rec)
{
    const SimPath &p = m.paths[pi];
    memset(rec, 0, FERV_PATH_RECORD_SIZE);
    // The name field holds at most 80 characters; byte 80 stays zero.
    std::string key = SimPathKey(p.name);
    memcpy(rec + FERV_PATH_NAME, key.data(), key.size());
    rec[FERV_PATH_STATE] = p.state;
    uint32_t flags = p.extraFlags & ~FERV_PATH_FLAG_PREFERRED;
    if (p.preferred)
        flags |= FERV_PATH_FLAG_PREFERRED;
    FervStore32(rec + FERV_PATH_FLAGS, flags);
    if (p.hba >= 0)
        PutText(rec, FERV_PATH_RECORD_SIZE, FERV_PATH_HBA_NAME, FERV_PATH_HBA_NAME_SPAN, m.hbas[p.hba].name);
}

static void WriteLun(const SimModel &m, int li, uint8_t *rec)
{
    const SimLun &l = m.luns[li];
    memset(rec, 0, FERV_LUN_RECORD_SIZE);
    memcpy(rec + FERV_LUN_WWN, l.wwn, 16);
    PutText(rec, FERV_LUN_RECORD_SIZE, FERV_LUN_NAME, FERV_LUN_NAME_SPAN, l.name);
    FervStore32(rec + FERV_LUN_PATH_COUNT, (uint32_t)l.paths.size());
    rec[FERV_LUN_LOAD_BALANCING] = l.loadBalancing;
    FervStore32(rec + FERV_LUN_PATHING_MODE, l.pathingMode);
}

static void WriteDevice(const SimModel &m, int di, uint8_t *rec)
{
    const SimDevice &d = m.devices[di];
    memset(rec, 0, FERV_DEVICE_RECORD_SIZE);
    PutText(rec, FERV_DEVICE_RECORD_SIZE, FERV_DEVICE_NAME, FERV_DEVICE_NAME_SPAN, d.name);
    PutText(rec, FERV_DEVICE_RECORD_SIZE, FERV_DEVICE_FIRMWARE, FERV_DEVICE_FIRMWARE_SPAN, d.firmware);
    PutText(rec, FERV_DEVICE_RECORD_SIZE, FERV_DEVICE_IP, FERV_DEVICE_IP_SPAN, d.ip);
    PutText(rec, FERV_DEVICE_RECORD_SIZE, FERV_DEVICE_SERIAL, FERV_DEVICE_SERIAL_SPAN, d.serial);
    memcpy(rec + FERV_DEVICE_WWN, d.wwn, 16);
    FervStore32(rec + FERV_DEVICE_LUN_COUNT, (uint32_t)d.luns.size());
    FervStore32(rec + FERV_DEVICE_SECONDARY_COUNT, (uint32_t)d.secondaryCount);
}

// Writes every item's record with its links. dst holds the placed items.
static void WriteItems(const SimModel &m, const std::vector<Item> &items, uint8_t *dst)
{
    for (size_t i = 0; i < items.size(); i++) {
        const Item &it = items[i];
        uint8_t *rec = dst + it.offset;
        switch (it.kind) {
        case ITEM_DEVICE:
            WriteDevice(m, it.index, rec);
            PutLink(rec, FERV_DEVICE_LUN_LIST, items, (int)i, it.child);
            PutLink(rec, FERV_DEVICE_SECONDARY_LIST, items, (int)i, it.child2);
            break;
        case ITEM_LUN:
            WriteLun(m, it.index, rec);
            PutLink(rec, FERV_LUN_PATH_LIST, items, (int)i, it.child);
            break;
        case ITEM_PATH:
            WritePath(m, it.index, rec);
            break;
        case ITEM_SECONDARY:
            memset(rec, 0, it.size);
            if (it.size >= SEC_INDEX + 4)
                FervStore32(rec + SEC_INDEX, (uint32_t)it.index);
            if (it.size >= SEC_DEVICE + 4)
                FervStore32(rec + SEC_DEVICE, (uint32_t)it.owner);
            break;
        case ITEM_HBA: {
            const SimHba &h = m.hbas[it.index];
            memset(rec, 0, it.size);
            PutText(rec, it.size, HBA_NAME, HBA_NAME_SPAN, h.name);
            if (it.size >= HBA_WWPN + 8)
                memcpy(rec + HBA_WWPN, h.wwpn, 8);
            if (it.size >= HBA_PATH_COUNT + 4)
                FervStore32(rec + HBA_PATH_COUNT, (uint32_t)h.paths.size());
            PutText(rec, it.size, HBA_MODEL, HBA_MODEL_SPAN, h.model);
            break;
        }
        }
        PutLink(rec, FERV_REC_NEXT, items, (int)i, it.next);
    }
}

static Item MakeItem(uint8_t kind, int index, uint32_t size)
{
    Item it;
    it.kind = kind;
    it.index = index;
    it.owner = -1;
    it.next = -1;
    it.child = -1;
    it.child2 = -1;
    it.size = size;
    it.offset = 0;
    return it;
}

// Appends a LUN's paths as a list; returns the first path's item or -1.
static int AddPathItems(const SimModel &m, int li, std::vector<Item> &items)
{
    int first = -1, prev = -1;
    for (int pi : m.luns[li].paths) {
        int cur = (int)items.size();
        items.push_back(MakeItem(ITEM_PATH, pi, FERV_PATH_RECORD_SIZE));
        if (prev >= 0)
            items[prev].next = cur;
        else
            first = cur;
        prev = cur;
    }
    return first;
}

// ---- sizes ---------------------------------------------------------------------------

uint64_t SimHbaListSize(const SimModel &m)
{
    return (uint64_t)m.hbas.size() * m.layout.hbaRecordSize;
}

uint64_t SimLunRecordsSize(const SimModel &m, int lun)
{
    return FERV_LUN_RECORD_SIZE + (uint64_t)m.luns[lun].paths.size() * FERV_PATH_RECORD_SIZE;
}

static uint64_t DeviceRecordsSize(const SimModel &m, int device)
{
    const SimDevice &d = m.devices[device];
    uint64_t size = FERV_DEVICE_RECORD_SIZE + (uint64_t)d.secondaryCount * m.layout.secondaryRecordSize;
    for (int li : d.luns)
        size += SimLunRecordsSize(m, li);
    return size;
}

uint64_t SimDeviceListSize(const SimModel &m, int device)
{
    if (device >= 0)
        return DeviceRecordsSize(m, device);
    uint64_t size = 0;
    for (size_t di = 0; di < m.devices.size(); di++)
        size += DeviceRecordsSize(m, (int)di);
    return size;
}

// ---- encoding ------------------------------------------------------------------------

// A zeroed buffer for `size` bytes of records. A large one is encoded once
// per change and then sent many times: its pages are asked for as huge ones
// before the first touch.
static std::vector<uint8_t> RecordBuffer(size_t size)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(size);
    SimAdviseLargeBuffer(bytes.data(), bytes.capacity());
    bytes.resize(size);
    return bytes;
}

static std::vector<uint8_t> EncodeHbaList(const SimModel &m)
{
    std::vector<Item> items;
    items.reserve(m.hbas.size());
    for (size_t i = 0; i < m.hbas.size(); i++) {
        items.push_back(MakeItem(ITEM_HBA, (int)i, m.layout.hbaRecordSize));
        if (i > 0)
            items[i - 1].next = (int)i;
    }
    std::vector<uint8_t> bytes = RecordBuffer((size_t)PlaceItems(m.layout, items));
    WriteItems(m, items, bytes.data());
    return bytes;
}

static std::vector<uint8_t> EncodeDeviceList(const SimModel &m, const std::vector<int> &devices)
{
    std::vector<Item> items;
    int prevDevice = -1;
    for (int di : devices) {
        const SimDevice &d = m.devices[di];
        int devItem = (int)items.size();
        items.push_back(MakeItem(ITEM_DEVICE, di, FERV_DEVICE_RECORD_SIZE));
        if (prevDevice >= 0)
            items[prevDevice].next = devItem;
        prevDevice = devItem;

        int prevLun = -1;
        for (int li : d.luns) {
            int lunItem = (int)items.size();
            items.push_back(MakeItem(ITEM_LUN, li, FERV_LUN_RECORD_SIZE));
            if (prevLun >= 0)
                items[prevLun].next = lunItem;
            else
                items[devItem].child = lunItem;
            prevLun = lunItem;
            int firstPath = AddPathItems(m, li, items);
            items[lunItem].child = firstPath;
        }
        int prevSec = -1;
        for (int e = 0; e < d.secondaryCount; e++) {
            int secItem = (int)items.size();
            Item it = MakeItem(ITEM_SECONDARY, e, m.layout.secondaryRecordSize);
            it.owner = di;
            items.push_back(it);
            if (prevSec >= 0)
                items[prevSec].next = secItem;
            else
                items[devItem].child2 = secItem;
            prevSec = secItem;
        }
    }
    std::vector<uint8_t> bytes = RecordBuffer((size_t)PlaceItems(m.layout, items));
    WriteItems(m, items, bytes.data());
    return bytes;
}

static std::vector<uint8_t> EncodeLun(const SimModel &m, int lun)
{
    std::vector<Item> items;
    items.reserve(m.luns[lun].paths.size());
    int first = AddPathItems(m, lun, items);
    std::vector<uint8_t> bytes = RecordBuffer(FERV_LUN_RECORD_SIZE + (size_t)PlaceItems(m.layout, items));
    WriteLun(m, lun, bytes.data());
    // The caller copies from the first path on, so it must lie lowest;
    // PlaceItems keeps the first item first in every order.
    if (first >= 0) {
        WriteItems(m, items, bytes.data() + FERV_LUN_RECORD_SIZE);
        FervStore32(bytes.data() + FERV_LUN_PATH_LIST, (uint32_t)(FERV_LUN_RECORD_SIZE + items[first].offset));
    }
    return bytes;
}

// ---- the kept encodings ---------------------------------------------------------------

static bool SameLayout(const SimLayout &a, const SimLayout &b)
{
    return a.order == b.order && a.hbaRecordSize == b.hbaRecordSize &&
           a.secondaryRecordSize == b.secondaryRecordSize;
}

// The records kept in `slot` when they still describe the model: encoded for
// `index` at the current change counter, in the current layout, and no change
// since then is waiting to move the counter. Null otherwise.
static SimRecords Kept(const SimModel &m, SimEncodingSlot slot, int index)
{
    const SimEncoding &e = m.encodings[slot];
    if (!e.records || m.changed || e.counter != m.changeCounter || e.index != index ||
        !SameLayout(e.layout, m.layout))
        return nullptr;
    return e.records;
}

static SimRecords Keep(SimModel *m, SimEncodingSlot slot, int index, std::vector<uint8_t> bytes)
{
    SimEncoding &e = m->encodings[slot];
    e.records = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    e.index = index;
    e.counter = m->changeCounter;
    e.layout = m->layout;
    return e.records;
}

SimRecords SimEncodeHbaList(SimModel *m)
{
    SimRecords kept = Kept(*m, SIM_ENCODED_HBAS, -1);
    return kept ? kept : Keep(m, SIM_ENCODED_HBAS, -1, EncodeHbaList(*m));
}

SimRecords SimEncodeDeviceList(SimModel *m, int device)
{
    SimEncodingSlot slot = device < 0 ? SIM_ENCODED_ALL_DEVICES : SIM_ENCODED_DEVICE;
    SimRecords kept = Kept(*m, slot, device);
    if (kept)
        return kept;
    std::vector<int> devices;
    if (device >= 0) {
        devices.push_back(device);
    } else {
        for (size_t di = 0; di < m->devices.size(); di++)
            devices.push_back((int)di);
    }
    return Keep(m, slot, device, EncodeDeviceList(*m, devices));
}

SimRecords SimEncodeLun(SimModel *m, int lun)
{
    SimRecords kept = Kept(*m, SIM_ENCODED_LUN, lun);
    return kept ? kept : Keep(m, SIM_ENCODED_LUN, lun, EncodeLun(*m, lun));
}

void SimWritePathRecord(const SimModel &m, int path, uint8_t *dst)
{
    WritePath(m, path, dst);
}
