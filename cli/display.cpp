// The topology displays: all devices, one device, one LUN, one path, plain
// or verbose. A report is printed depth first (device block, then each LUN
// block with its path table) and only after the query has succeeded, so a
// failed query leaves no partial report behind.
//
// Text fields are printed within their spans only: a driver that fills a
// span without a zero byte still gets a bounded read.
#include "frontend.h"

#include "console/ferv_console.h"

// The marker and the Enabled and Active columns of a path line, by state.
// Only a standby path looks at the preferred bit: '!' flags a preferred path
// that stands by, ready to be restored.
typedef struct PathLineColumns {
    char marker;
    char preferredMarker;
    const char *enabled;
    const char *active;
} PathLineColumns;

static const PathLineColumns pathLineColumns[] = {
    {'?', '?', "no", "no"},   // unknown
    {'X', 'X', "no", "no"},   // down
    {' ', ' ', "yes", "yes"}, // up_active
    {' ', '!', "yes", "no"},  // up_standby
    {'!', '!', "no", "no"},   // admin
    {'-', '-', "no", "no"},   // transition
};
static_assert(sizeof pathLineColumns / sizeof pathLineColumns[0] == FERV_PATH_STATE_COUNT,
              "one row per path state");

// A state the tables do not know is neither enabled nor active.
static const PathLineColumns unnamedStateColumns = {' ', ' ', "no", "no"};

static const char *const pathingModeNames[] = {"Single Path", "Symmetric", "Asymmetric"};
static_assert(sizeof pathingModeNames / sizeof pathingModeNames[0] == FERV_PATHING_ASYMMETRIC + 1,
              "one name per pathing mode");

// Precision for "%.*s": the text's length within its span.
#define TEXT_ARG(field) (int)FervTextLength((field), sizeof(field)), (field)

void PrintPathTableHead(void)
{
    FervPrint("    * Path                  HBA                   Enabled Active\n");
    FervPrint("    - --------------------- --------------------- ------- ------\n");
}

void PrintPathLine(const FervPath *path, int verbose)
{
    const PathLineColumns *columns = path->state < FERV_PATH_STATE_COUNT
                                         ? &pathLineColumns[path->state]
                                         : &unnamedStateColumns;
    char marker = (path->flags & FERV_PATH_FLAG_PREFERRED) ? columns->preferredMarker
                                                           : columns->marker;
    // Names are padded to their column and never cut: a longer one pushes
    // the rest of the line to the right.
    FervPrint("    %c %-21.*s %-21.*s %-7s %-7s\n", marker, TEXT_ARG(path->pathName),
              TEXT_ARG(path->hbaName), columns->enabled, columns->active);
    if ((verbose & 1) == 0)
        return;
    const char *stateName = FervPathStateName(path->state);
    if (stateName != nullptr)
        FervPrint("        state:%s flags:0x%x\n", stateName, (unsigned)path->flags);
    else
        FervPrint("        state:%u flags:0x%x\n", (unsigned)path->state, (unsigned)path->flags);
}

void PrintLunBlock(const FervLun *lun)
{
    FervPrint("  LUN: %.*s\n", TEXT_ARG(lun->lunName));
    FervPrint("    WWN:            ");
    PrintWwnKey(&lun->wwn);
    FervPrint("\n");
    if (lun->pathingMode <= FERV_PATHING_ASYMMETRIC)
        FervPrint("    Pathing Mode:   %s\n", pathingModeNames[lun->pathingMode]);
    else
        FervPrint("    Pathing Mode:   %u\n", (unsigned)lun->pathingMode);
    FervPrint("    Load Balancing: %s\n", lun->loadBalancing == 1 ? "Enabled" : "Disabled");

    // The preferred paths are found along the links, whatever pathCount says.
    FervPrint("    Preferred Paths: ");
    bool anyPreferred = false;
    for (const FervPath *path = lun->pathList; path != nullptr; path = path->next) {
        if (path->flags & FERV_PATH_FLAG_PREFERRED) {
            FervPrint("%.*s ", TEXT_ARG(path->pathName));
            anyPreferred = true;
        }
    }
    if (!anyPreferred)
        FervPrint("na");
    FervPrint("\n\n");
    FervPrint("    Paths to this LUN:\n");
    PrintPathTableHead();
}

// Lists are walked by their counts (0 or less is empty). A link that ends
// before its count does ends the walk too, rather than be followed into null.
void PrintLun(const FervLun *lun, int verbose)
{
    PrintLunBlock(lun);
    const FervPath *path = lun->pathList;
    for (int32_t i = 0; i < lun->pathCount && path != nullptr; i++, path = path->next)
        PrintPathLine(path, verbose);
    FervPrint("\n");
}

void PrintDeviceBlock(const FervDevice *device)
{
    FervPrint("Device: storage device\n");
    FervPrint("  Device Name:       %.*s\n", TEXT_ARG(device->deviceName));
    FervPrint("  Serial Number:     %.*s\n", TEXT_ARG(device->serialNumber));
    FervPrint("  WWN:               ");
    PrintWwnKey(&device->wwn);
    FervPrint("\n");
    FervPrint("  IP Address:        %.*s\n", TEXT_ARG(device->ipAddress));
    FervPrint("  Firmware Revision: %.*s\n", TEXT_ARG(device->firmwareRevision));
    FervPrint("\n");
}

void PrintDevice(const FervDevice *device, int verbose)
{
    FervPrint("\n\n");
    PrintDeviceBlock(device);
    const FervLun *lun = device->lunList;
    for (int32_t i = 0; i < device->lunCount && lun != nullptr; i++, lun = lun->next)
        PrintLun(lun, verbose);
}

// Status 14 is a success inside the library: the blocks are handed over even
// though the display treats the code as a failure, so give them back.
FERV_STATUS ShowAllDevices(int verbose)
{
    FervInfoList info = {};
    FERV_STATUS code = FervGetAllInfo(&info);
    if (code != FERV_STATUS_SUCCESS) {
        if (code == FERV_STATUS_ALREADY_ACTIVE)
            FervFreeAllInfoMemory(&info);
        return code;
    }
    const FervDevice *device = info.deviceList;
    for (int32_t i = 0; i < info.deviceCount && device != nullptr; i++, device = device->next)
        PrintDevice(device, verbose);
    FervFreeAllInfoMemory(&info);
    return FERV_STATUS_SUCCESS;
}

// A device reply may link a second device behind the one asked for; it is
// shown too. Anything linked behind that is not.
FERV_STATUS ShowDevice(const FervWwnKey *key, int verbose)
{
    FervDevice *device = nullptr;
    FERV_STATUS code = FervGetDeviceInfo(key, &device);
    if (code != FERV_STATUS_SUCCESS) {
        if (code == FERV_STATUS_ALREADY_ACTIVE && device != nullptr)
            FervFreeDeviceMemory(device);
        return code;
    }
    if (device == nullptr)
        return FERV_STATUS_SUCCESS;
    PrintDevice(device, verbose);
    if (device->next != nullptr)
        PrintDevice(device->next, verbose);
    FervFreeDeviceMemory(device);
    return FERV_STATUS_SUCCESS;
}

FERV_STATUS ShowLun(const FervWwnKey *key, int verbose)
{
    FervLun lun = {};
    FERV_STATUS code = FervGetLunInfo(key, &lun);
    if (code != FERV_STATUS_SUCCESS) {
        if (code == FERV_STATUS_ALREADY_ACTIVE)
            FervFreeLunMemory(&lun);
        return code;
    }
    PrintLun(&lun, verbose);
    FervFreeLunMemory(&lun);
    return FERV_STATUS_SUCCESS;
}

// A path record stands alone and owns no block: nothing to give back.
FERV_STATUS ShowPath(const char *pathName, int verbose)
{
    FervPath path = {};
    FERV_STATUS code = FervGetPathInfo(pathName, &path);
    if (code != FERV_STATUS_SUCCESS)
        return code;
    PrintPathTableHead();
    PrintPathLine(&path, verbose);
    return FERV_STATUS_SUCCESS;
}
