// The topology displays: all devices, one device, one LUN, one path, plain
// or verbose. A report is printed depth first (device block, then each LUN
// block with its path table) and only after the query has succeeded, so a
// failed query leaves no partial report behind.
//
// Text fields are printed within their spans only: a driver that fills a
// span without a zero byte still gets a bounded read.
#include "frontend.h"

#include <string.h>

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
static_assert(sizeof pathLineColumns / sizeof pathLineColumns[0] == FERV_PATH_STATE_COUNT, "one row per path state");

// A state the tables do not know is neither enabled nor active.
static const PathLineColumns unnamedStateColumns = {' ', ' ', "no", "no"};

static const char *const pathingModeNames[] = {"Single Path", "Symmetric", "Asymmetric"};
static_assert(sizeof pathingModeNames / sizeof pathingModeNames[0] == FERV_PATHING_ASYMMETRIC + 1,
              "one name per pathing mode");

// Precision for "%.*s": the text's length within its span.
#define TEXT_ARG(field) (int)FervTextLength((field), sizeof(field)), (field)

// The head of a path table.
static const char pathTableHead[] = "    * Path                  HBA                   Enabled Active\n"
                                    "    - --------------------- --------------------- ------- ------\n";

void PrintPathTableHead(void)
{
    FervPrint("%s", pathTableHead);
}

// ---- text put together in memory ----------------------------------------------------
//
// A LUN's block and its path table are put together in memory and printed in
// one piece: a verbose report of 100,000 paths has more than 200,000 lines,
// and a formatted print per line, or per field, costs more than fetching and
// decoding the whole topology. The text is exactly what the format strings
// in the comments below print.
enum {
    REPORT_TEXT_SIZE = 16384,
    // Room that any one line needs at most: two names of at most 84
    // characters with the columns and blanks between them, a path's state
    // line, or a fixed line of a LUN's block with its name.
    REPORT_LINE_MAX = 256
};

typedef struct ReportText {
    size_t used;
    char bytes[REPORT_TEXT_SIZE];
} ReportText;

static void TextFlush(ReportText *text)
{
    if (text->used > 0)
        FervPrint("%.*s", (int)text->used, text->bytes);
    text->used = 0;
}

// Makes room for one more line.
static void TextReserveLine(ReportText *text)
{
    if (REPORT_TEXT_SIZE - text->used < REPORT_LINE_MAX)
        TextFlush(text);
}

static void PutText(ReportText *text, const char *chars, size_t length)
{
    memcpy(text->bytes + text->used, chars, length);
    text->used += length;
}

static void PutString(ReportText *text, const char *chars)
{
    PutText(text, chars, strlen(chars));
}

// "%-<width>.*s": the text, then blanks up to `width` characters; a longer
// text is not cut.
static void PutColumn(ReportText *text, const char *chars, size_t length, size_t width)
{
    PutText(text, chars, length);
    for (; length < width; length++)
        text->bytes[text->used++] = ' ';
}

// "%u" (base 10) or "%x" (base 16).
static void PutNumber(ReportText *text, uint32_t value, uint32_t base)
{
    char digits[10];
    size_t count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    while (count > 0)
        text->bytes[text->used++] = digits[--count];
}

// A text field within its span.
#define PUT_FIELD(text, field) PutText((text), (field), FervTextLength((field), sizeof(field)))

// "    %c %-21.*s %-21.*s %-7s %-7s\n", and when verbose
// "        state:%s flags:0x%x\n" (the state in decimal when it has no name).
static void PutPathLine(ReportText *text, const FervPath *path, int verbose)
{
    TextReserveLine(text);
    const PathLineColumns *columns =
        path->state < FERV_PATH_STATE_COUNT ? &pathLineColumns[path->state] : &unnamedStateColumns;
    char marker = (path->flags & FERV_PATH_FLAG_PREFERRED) ? columns->preferredMarker : columns->marker;
    // Names are padded to their column and never cut: a longer one pushes
    // the rest of the line to the right.
    PutText(text, "    ", 4);
    text->bytes[text->used++] = marker;
    PutText(text, " ", 1);
    PutColumn(text, path->pathName, FervTextLength(path->pathName, sizeof path->pathName), 21);
    PutText(text, " ", 1);
    PutColumn(text, path->hbaName, FervTextLength(path->hbaName, sizeof path->hbaName), 21);
    PutText(text, " ", 1);
    PutColumn(text, columns->enabled, strlen(columns->enabled), 7);
    PutText(text, " ", 1);
    PutColumn(text, columns->active, strlen(columns->active), 7);
    PutText(text, "\n", 1);
    if ((verbose & 1) == 0)
        return;
    PutString(text, "        state:");
    const char *stateName = FervPathStateName(path->state);
    if (stateName != nullptr)
        PutString(text, stateName);
    else
        PutNumber(text, path->state, 10);
    PutString(text, " flags:0x");
    PutNumber(text, path->flags, 16);
    PutText(text, "\n", 1);
}

// "  LUN: %.*s\n", "    WWN:            <key> \n", "    Pathing Mode:   %s\n"
// (the mode in decimal when it has no name), "    Load Balancing: %s\n",
// "    Preferred Paths: " with "%.*s " per preferred path or "na", "\n\n",
// "    Paths to this LUN:\n" and the table head.
static void PutLunBlock(ReportText *text, const FervLun *lun)
{
    TextReserveLine(text);
    PutString(text, "  LUN: ");
    PUT_FIELD(text, lun->lunName);
    PutString(text, "\n    WWN:            ");
    char key[FERV_WWN_TEXT_SIZE];
    FormatWwnKey(&lun->wwn, key);
    PutString(text, key);
    PutString(text, " \n");
    TextReserveLine(text);
    PutString(text, "    Pathing Mode:   ");
    if (lun->pathingMode <= FERV_PATHING_ASYMMETRIC)
        PutString(text, pathingModeNames[lun->pathingMode]);
    else
        PutNumber(text, lun->pathingMode, 10);
    PutString(text, "\n    Load Balancing: ");
    PutString(text, lun->loadBalancing == 1 ? "Enabled\n" : "Disabled\n");

    // The preferred paths are found along the links, whatever pathCount says.
    PutString(text, "    Preferred Paths: ");
    bool anyPreferred = false;
    for (const FervPath *path = lun->pathList; path != nullptr; path = path->next) {
        if (path->flags & FERV_PATH_FLAG_PREFERRED) {
            TextReserveLine(text);
            PUT_FIELD(text, path->pathName);
            PutText(text, " ", 1);
            anyPreferred = true;
        }
    }
    TextReserveLine(text);
    if (!anyPreferred)
        PutString(text, "na");
    PutString(text, "\n\n    Paths to this LUN:\n");
    TextReserveLine(text);
    PutString(text, pathTableHead);
}

void PrintPathLine(const FervPath *path, int verbose)
{
    ReportText text;
    text.used = 0;
    PutPathLine(&text, path, verbose);
    TextFlush(&text);
}

void PrintLunBlock(const FervLun *lun)
{
    ReportText text;
    text.used = 0;
    PutLunBlock(&text, lun);
    TextFlush(&text);
}

// Lists are walked by their counts (0 or less is empty). A link that ends
// before its count does ends the walk too, rather than be followed into null.
void PrintLun(const FervLun *lun, int verbose)
{
    ReportText text;
    text.used = 0;
    PutLunBlock(&text, lun);
    const FervPath *path = lun->pathList;
    for (int32_t i = 0; i < lun->pathCount && path != nullptr; i++, path = path->next)
        PutPathLine(&text, path, verbose);
    PutText(&text, "\n", 1);
    TextFlush(&text);
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
