// Topologies built by hand, as FervGetAllInfo hands them over: devices,
// LUNs and paths linked by pointer, counts that match the lists.
#ifndef FERV_MON_RECORDS_H
#define FERV_MON_RECORDS_H

#include <string.h>

#include <deque>

#include "lib/fervlib.h"

// A world-wide name whose last byte tells it apart: 6000...00<last>, with
// `kind` in byte 1 so that a device and a LUN never share one.
inline FervWwnKey TestWwn(uint8_t kind, uint8_t last)
{
    FervWwnKey key;
    memset(&key, 0, sizeof key);
    key.bytes[0] = 0x60;
    key.bytes[1] = kind;
    key.bytes[15] = last;
    return key;
}

// Copies text into a zeroed field, cut at the field's span (a text that
// fills the span has no terminator, as a driver may send it).
inline void SetText(char *field, size_t span, const char *text)
{
    size_t n = strlen(text);
    memcpy(field, text, n < span ? n : span);
}
#define SET_TEXT(field, text) SetText((field), sizeof(field), (text))

struct TestTopology {
    std::deque<FervDevice> devices;
    std::deque<FervLun> luns;
    std::deque<FervPath> paths;
    FervInfoList info = {0, nullptr, 0, nullptr};

    FervDevice *Device(const char *name, uint8_t id)
    {
        devices.emplace_back();
        FervDevice *d = &devices.back();
        memset(d, 0, sizeof *d);
        SET_TEXT(d->deviceName, name);
        d->wwn = TestWwn(0xd0, id);
        if (info.deviceList == nullptr)
            info.deviceList = d;
        else
            devices[devices.size() - 2].next = d;
        info.deviceCount++;
        return d;
    }

    FervLun *Lun(FervDevice *d, const char *name, uint8_t id)
    {
        luns.emplace_back();
        FervLun *l = &luns.back();
        memset(l, 0, sizeof *l);
        SET_TEXT(l->lunName, name);
        l->wwn = TestWwn(0x10, id);
        FervLun **link = &d->lunList;
        while (*link)
            link = &(*link)->next;
        *link = l;
        d->lunCount++;
        return l;
    }

    FervPath *Path(FervLun *l, const char *name, uint8_t state, bool preferred = false, const char *hba = "HBA0")
    {
        paths.emplace_back();
        FervPath *p = &paths.back();
        memset(p, 0, sizeof *p);
        SET_TEXT(p->pathName, name);
        SET_TEXT(p->hbaName, hba);
        p->state = state;
        p->flags = preferred ? FERV_PATH_FLAG_PREFERRED : 0;
        FervPath **link = &l->pathList;
        while (*link)
            link = &(*link)->next;
        *link = p;
        l->pathCount++;
        return p;
    }
};

enum {
    UNKNOWN = FERV_PATH_STATE_UNKNOWN,
    DOWN = FERV_PATH_STATE_DOWN,
    ACTIVE = FERV_PATH_STATE_UP_ACTIVE,
    STANDBY = FERV_PATH_STATE_UP_STANDBY,
    ADMIN = FERV_PATH_STATE_ADMIN,
    TRANSITION = FERV_PATH_STATE_TRANSITION,
};

#endif
