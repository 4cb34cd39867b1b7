// fervlib-paths: lists every path the multipath-failover driver manages, with
// its state, through FervLib. A first program on the library: one query, a
// walk over its records, one call to give them back.
//
//   fervlib-paths            one line per path; exit 0
//   (no driver, a failing reply)   FervLib's own line says why; exit status 1
#include <stdio.h>

#include <fervlib.h>

// A state above the last named one has no name; show its number instead.
static void PrintState(uint8_t state)
{
    const char *name = FervPathStateName(state);
    if (name)
        printf("%s", name);
    else
        printf("state:%u", (unsigned)state);
}

int main()
{
    FervInfoList info;
    FERV_STATUS status = FervGetAllInfo(&info);
    if (status != FERV_STATUS_SUCCESS && status != FERV_STATUS_ALREADY_ACTIVE) {
        // The library has printed its line; add the status' message.
        const char *message = FervStatusMessage(status);
        fprintf(stderr, "fervlib-paths: %s (%u)\n", message ? message : "unknown status", (unsigned)status);
        return 1;
    }

    // Texts end at their first zero byte or at the end of their field, so
    // they are printed with a precision, never as plain C strings.
    unsigned paths = 0;
    for (const FervDevice *device = info.deviceList; device; device = device->next) {
        int deviceLength = (int)FervTextLength(device->deviceName, sizeof device->deviceName);
        for (const FervLun *lun = device->lunList; lun; lun = lun->next) {
            int lunLength = (int)FervTextLength(lun->lunName, sizeof lun->lunName);
            for (const FervPath *path = lun->pathList; path; path = path->next) {
                printf("%.*s / %.*s / %.*s (HBA %.*s): ", deviceLength, device->deviceName, lunLength, lun->lunName,
                       (int)FervTextLength(path->pathName, sizeof path->pathName), path->pathName,
                       (int)FervTextLength(path->hbaName, sizeof path->hbaName), path->hbaName);
                PrintState(path->state);
                printf("%s\n", (path->flags & FERV_PATH_FLAG_PREFERRED) ? ", preferred" : "");
                paths++;
            }
        }
    }
    printf("%u path%s\n", paths, paths == 1 ? "" : "s");

    FervFreeAllInfoMemory(&info);
    return 0;
}
