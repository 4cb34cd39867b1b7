// Routines shared inside the front end of fervadm and fervadmctl: the option
// scanner, the grammar table and its command choice, the status line and
// usage text, world-wide names, number conversion, and the reports.
//
// Everything here prints through FervPrint only; nothing reaches stderr.
#ifndef FERV_FRONTEND_H
#define FERV_FRONTEND_H

#include <stdint.h>

#include "lib/fervlib.h"

// ---- option scanner ----------------------------------------------------------
// The scanner's process-wide state, kept from one call of ScanOption to the
// next. Nothing here takes the C library's names (getopt, optind, optarg):
// this scanner is our own and must not be confused with, or link against,
// the runtime's. Its messages still begin "getopt:", as users know them.
typedef struct OptionScanState {
    int scanIndex;      // next word to look at; 1 at start
    int scanPosition;   // character within that word; 0 is its leading '-'
    char *scanArgument; // option argument of the last letter that takes one
} OptionScanState;

extern OptionScanState optionScan;

// Puts the scanner back at its start: word 1, position 1, no argument.
void ResetOptionScan(void);

// Returns the next option letter of argv, '?' for an illegal letter or a
// missing argument (':' for the latter when optionLetters begins with ':'),
// or -1 when no option follows. Prints the scanner's messages itself.
// A letter followed by ':' in optionLetters takes an argument, which is then
// in optionScan.scanArgument. Word 0 is never scanned; words are never
// reordered.
int ScanOption(int argc, char **argv, const char *optionLetters);

// ---- command choice ------------------------------------------------------------
typedef enum FervCommand {
    FERV_CMD_SHOW_ALL,
    FERV_CMD_SHOW_ALL_VERBOSE,
    FERV_CMD_SHOW_DEVICE,
    FERV_CMD_SHOW_DEVICE_VERBOSE,
    FERV_CMD_RESTORE_DEVICE,
    FERV_CMD_SHOW_LUN,
    FERV_CMD_SHOW_LUN_VERBOSE,
    FERV_CMD_RESTORE_LUN,
    FERV_CMD_LUN_STATISTICS,
    FERV_CMD_SHOW_PATH,
    FERV_CMD_SHOW_PATH_VERBOSE,
    FERV_CMD_ACTIVATE_PATH,
    FERV_CMD_ENABLE_PATH,
    FERV_CMD_DISABLE_PATH,
    FERV_CMD_PATH_STATISTICS,
    FERV_CMD_SHOW_PUBLIC,
    FERV_CMD_SET_POLL_RATE,
    FERV_CMD_SET_AUTO_FAILBACK,
    FERV_CMD_SET_LOG_LEVEL,
    FERV_CMD_WAIT_FOR_CHANGE,
    FERV_CMD_SET_PARAM_R,
    FERV_CMD_SET_PARAM_T,
    FERV_CMD_SET_PARAM_D,
    FERV_CMD_USAGE,
    FERV_CMD_COUNT
} FervCommand;

// How a command ends the run.
typedef enum FervEnding {
    FERV_ENDING_DISPLAY, // status line only when the code is not 0
    FERV_ENDING_ACTION,  // status line whatever the code
    FERV_ENDING_USAGE    // usage text, exit status 0
} FervEnding;

typedef struct FervCommandChoice {
    FervCommand command;
    FervEnding ending;
    FervWwnKey key;       // parsed -d / -l argument (all zero otherwise)
    const char *pathName; // -p argument as typed, or null
    const char *value;    // argument of the -P / -Z sub-option, or null
} FervCommandChoice;

// Scans argv (from its first word, with at most two scans) and fills *choice
// from the grammar table. Prints what the choice itself prints: the scanner's
// messages and the -d key echo. Calls no library function.
void ChooseCommand(int argc, char **argv, FervCommandChoice *choice);

// Runs the chosen command and its ending. Returns the exit status code.
FERV_STATUS RunCommand(const FervCommandChoice *choice);

// The program: choose, run, end. Returns the process exit status.
int FervAdmMain(int argc, char **argv);

// ---- shared printing and parsing -------------------------------------------------
// Prints "<message> (<code>)\n", or the unknown-code line for 23 and above.
void PrintStatus(FERV_STATUS code);
// Prints the usage text (the hidden -Z option is not listed).
void PrintUsage(void);
// A key's text form: 32 lower-case hex digits and a terminating zero.
enum { FERV_WWN_TEXT_SIZE = 2 * sizeof(FervWwnKey) + 1 };
void FormatWwnKey(const FervWwnKey *key, char text[FERV_WWN_TEXT_SIZE]);
// Prints the 16 bytes as 32 lower-case hex digits and one blank, no line end.
void PrintWwnKey(const FervWwnKey *key);
// Fills *key from its text form; bytes the text does not reach stay 0.
void ParseWwnKey(const char *text, FervWwnKey *key);
// Converts text like the runtime's signed conversion in base 10 or 16 and
// clamps the result to the signed 32-bit range. A text without digits is 0.
int32_t ConvertNumber(const char *text, int base);
// Prints the public-parameter report.
void PrintPublicParameters(const FervPublicParameters *params);

// A parameter word that asks the driver to keep its value.
static const int32_t FERV_KEEP_PARAMETER = (int32_t)FERV_PARAM_UNCHANGED;

// ---- parameter commands (-P, -Z, -S) ------------------------------------------------
// Each returns the decisive code: the library's, or 1 for a refused value.
FERV_STATUS ApplyPublicParameters(int32_t pollRate, int32_t autoFailBack, int32_t logLevel);
FERV_STATUS ApplyPrivateParameters(int32_t r, int32_t t, int32_t d);
FERV_STATUS ShowPublicParameters(void);
FERV_STATUS SetPollRate(const char *text);
FERV_STATUS SetAutoFailBack(const char *text);
FERV_STATUS SetLogLevel(const char *text);
FERV_STATUS WaitForChange(void);

// ---- topology display --------------------------------------------------------------
// The display commands print their report on 0 and nothing on any other code,
// which they return for the caller's status line.
FERV_STATUS ShowAllDevices(int verbose);
FERV_STATUS ShowDevice(const FervWwnKey *key, int verbose);
FERV_STATUS ShowLun(const FervWwnKey *key, int verbose);
FERV_STATUS ShowPath(const char *pathName, int verbose);

void PrintDevice(const FervDevice *device, int verbose);
void PrintDeviceBlock(const FervDevice *device);
void PrintLun(const FervLun *lun, int verbose);
void PrintLunBlock(const FervLun *lun);
void PrintPathTableHead(void);
void PrintPathLine(const FervPath *path, int verbose);

// ---- actions and statistics -----------------------------------------------------------
FERV_STATUS RestoreDevice(const FervWwnKey *key);
FERV_STATUS RestoreLun(const FervWwnKey *key);
FERV_STATUS IssuePathAction(const char *pathName, uint8_t command);
FERV_STATUS ShowLunStatistics(const FervWwnKey *key);
FERV_STATUS ShowPathStatistics(const char *pathName);

void PrintLunStatistics(const FervWwnKey *key, const FervStatistics *counters);
void PrintPathStatistics(const char *pathName, const FervStatistics *counters);

#endif
