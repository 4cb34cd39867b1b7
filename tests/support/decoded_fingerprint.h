// Everything a decoded list says, as one string: each record's fields in the
// order the links reach them, with the shape of the lists, and no pointer
// values. Two decodings of one reply agree exactly when their fingerprints
// do, wherever their blocks lie. Used by the tests and the fuzz targets.
#ifndef FERV_TESTS_DECODED_FINGERPRINT_H
#define FERV_TESTS_DECODED_FINGERPRINT_H

#include <string>

#include "lib/fervlib.h"

inline void FingerprintBytes(std::string &out, const void *bytes, size_t size)
{
    out.append((const char *)bytes, size);
}

template <typename T> inline void FingerprintField(std::string &out, const T &field)
{
    FingerprintBytes(out, &field, sizeof field);
}

// A list ends with a mark, so that where one list ends and the next begins
// is part of the fingerprint too. `limit` bounds a walk that loops.
inline void FingerprintPaths(std::string &out, const FervPath *path, size_t limit)
{
    for (; path != nullptr && limit > 0; path = path->next, limit--) {
        out += 'P';
        FingerprintField(out, path->pathName);
        FingerprintField(out, path->state);
        FingerprintField(out, path->reserved86);
        FingerprintField(out, path->flags);
        FingerprintField(out, path->reserved92);
        FingerprintField(out, path->hbaName);
    }
    out += '.';
}

inline void FingerprintLuns(std::string &out, const FervLun *lun, size_t limit)
{
    for (; lun != nullptr && limit > 0; lun = lun->next, limit--) {
        out += 'L';
        FingerprintField(out, lun->wwn);
        FingerprintField(out, lun->reserved20);
        FingerprintField(out, lun->lunName);
        FingerprintField(out, lun->pathCount);
        FingerprintField(out, lun->loadBalancing);
        FingerprintField(out, lun->reserved117);
        FingerprintField(out, lun->pathingMode);
        FingerprintField(out, lun->reserved124);
        FingerprintPaths(out, lun->pathList, limit);
    }
    out += '.';
}

inline std::string FingerprintDevices(const FervDevice *device, size_t limit = 1u << 24)
{
    std::string out;
    for (; device != nullptr && limit > 0; device = device->next, limit--) {
        out += 'D';
        FingerprintField(out, device->reserved4);
        FingerprintField(out, device->deviceName);
        FingerprintField(out, device->firmwareRevision);
        FingerprintField(out, device->ipAddress);
        FingerprintField(out, device->serialNumber);
        FingerprintField(out, device->wwn);
        FingerprintField(out, device->reserved411);
        FingerprintField(out, device->lunCount);
        FingerprintField(out, device->secondaryCount);
        FingerprintLuns(out, device->lunList, limit);
        for (const FervSecondaryEntry *e = device->secondaryList; e != nullptr && limit > 0; e = e->next, limit--)
            out += 'S';
        out += '.';
    }
    return out;
}

inline std::string FingerprintHbas(const FervHba *hba, size_t limit = 1u << 24)
{
    std::string out;
    for (; hba != nullptr && limit > 0; hba = hba->next, limit--)
        out += 'H';
    return out;
}

#endif
