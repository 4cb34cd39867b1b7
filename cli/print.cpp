// Printing and parsing that every command shares: the status line, the usage
// text, world-wide names in their text form, the public-parameter report and
// the conversion of numbers typed on the command line.
#include "frontend.h"

#include <string.h>

#include "console/ferv_console.h"
#include "proto/ferv_proto.h"

void PrintStatus(FERV_STATUS code)
{
    const char *message = FervStatusMessage(code);
    if (message != nullptr)
        FervPrint("%s (%d)\n", message, (int)code);
    else
        FervPrint("Unknown FERV_STATUS code (%d)!\n", (int)code);
}

static const char *const usageLines[] = {
    "default                display all devices information\n",
    "-v                     display all devices information (verbose)\n",
    "\n",
    "-d <device_wwn>        display device information\n",
    "-d <device_wwn> -v     display device information (verbose)\n",
    "-d <device_wwn> -r     restore all lun's preferred paths\n",
    "                         for this device\n",
    "\n",
    "-l <lun_wwn>           display lun information\n",
    "-l <lun_wwn> -v        display lun information (verbose)\n",
    "-l <lun_wwn> -r        restore preferred path for this lun\n",
    "-l <lun_wwn> -m        display lun statistics\n",
    "\n",
    "-p <name>              query information for this path\n",
    "-p <name> -v           query information for this path (verbose)\n",
    "-p <name> -a           activate this path\n",
    "-p <name> -e           enable this path\n",
    "-p <name> -d           disable this path\n",
    "-p <name> -m           display path statistics\n",
    "\n",
    "-P                     display public parameters\n",
    "-P -p <seconds>        set poll rate\n",
    "                         2 - 60 (seconds)\n",
    "-P -l <hex value>      set log level\n",
    "                         0x00 = no logging\n",
    "                         0x01 = data path changes\n",
    "                         0x02 = internal errors\n",
    "                         0x04 = critical errors\n",
    "                         0x08 = informational messages\n",
    "                         0x10 = caution messages\n",
    "-P -a <integer>        enable/disable auto failback\n",
    "                         1 = enable\n",
    "                         0 = disable\n",
    "\n",
    "-S                     suspend command return until a state\n",
    "                         change occurs (path up/down/etc)\n",
    "\n",
};
static_assert(sizeof usageLines / sizeof usageLines[0] == 37, "the usage text has 37 lines");

void PrintUsage(void)
{
    for (const char *line : usageLines)
        FervPrint("%s", line);
}

void FormatWwnKey(const FervWwnKey *key, char text[FERV_WWN_TEXT_SIZE])
{
    static const char digits[] = "0123456789abcdef";
    size_t at = 0;
    for (uint8_t byte : key->bytes) {
        text[at++] = digits[byte >> 4];
        text[at++] = digits[byte & 15];
    }
    text[at] = '\0';
}

void PrintWwnKey(const FervWwnKey *key)
{
    char text[FERV_WWN_TEXT_SIZE];
    FormatWwnKey(key, text);
    FervPrint("%s ", text);
}

// Each byte is the character pair at 2i, 2i+1 read as one hexadecimal number:
// the digits from the pair's first character up to the first character that
// is not a hexadecimal digit. So "1f" is 0x1f, "1g" is 0x01, "0x" is 0, and a
// pair that does not begin with a digit ("g1", " 1", "-1") is 0: unlike the
// runtime's conversion, no blank, sign or prefix is taken inside a key, which
// is a run of bare digits.
void ParseWwnKey(const char *text, FervWwnKey *key)
{
    memset(key->bytes, 0, sizeof key->bytes);
    size_t pairs = strlen(text) / 2;
    if (pairs > sizeof key->bytes)
        pairs = sizeof key->bytes;
    for (size_t i = 0; i < pairs; i++) {
        int value = 0;
        for (size_t j = 0; j < 2; j++) {
            int digit = FervHexDigitValue(text[2 * i + j]);
            if (digit < 0)
                break;
            value = value * 16 + digit;
        }
        key->bytes[i] = (uint8_t)value;
    }
}

static bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Works on 64-bit magnitudes so that it behaves alike where long is 32 bits
// (Windows) and 64 bits (Linux); the magnitude stops growing once it is past
// the 32-bit range, which keeps any number of digits from overflowing.
int32_t ConvertNumber(const char *text, int base)
{
    const int64_t limit = (int64_t)1 << 31; // one past INT32_MAX
    const char *p = text;
    while (IsSpace(*p))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && FervHexDigitValue(p[2]) >= 0)
        p += 2;

    int64_t magnitude = 0;
    for (;; p++) {
        int digit = FervHexDigitValue(*p);
        if (digit < 0 || digit >= base)
            break;
        if (magnitude <= limit)
            magnitude = magnitude * base + digit;
    }
    if (negative)
        return magnitude >= limit ? INT32_MIN : (int32_t)-magnitude;
    return magnitude >= limit ? INT32_MAX : (int32_t)magnitude;
}

// Names of the log-level bits 0x01 to 0x10, in bit order; each ends in two
// blanks, which the report keeps between and after the names.
static const char *const logLevelNames[] = {
    "data path changes  ",      "internal errors  ",  "critical errors  ",
    "informational messages  ", "caution messages  ",
};
static_assert(sizeof logLevelNames / sizeof logLevelNames[0] == 5, "one name per log-level bit");

void PrintPublicParameters(const FervPublicParameters *params)
{
    FervPrint("Driver Public Parameters\n");
    FervPrint("  Driver Version: %d.%d.%d.%d\n", (int)params->driverVersion[0], (int)params->driverVersion[1],
              (int)params->driverVersion[2], (int)params->driverVersion[3]);
    FervPrint("  Auto FailBack: %d", (int)params->autoFailBack);
    FervPrint(params->autoFailBack != 0 ? "(on)\n" : "(off)\n");
    FervPrint("  Poll Rate:      %d(seconds)\n", (int)params->pollRate);
    FervPrint("  Log Level:      0x%02x", (unsigned)params->logLevel);
    if (params->logLevel == 0) {
        FervPrint("(none)\n");
        return;
    }
    FervPrint("(");
    for (size_t bit = 0; bit < sizeof logLevelNames / sizeof logLevelNames[0]; bit++) {
        if (params->logLevel & (1u << bit))
            FervPrint("%s", logLevelNames[bit]);
    }
    FervPrint(")\n");
}
