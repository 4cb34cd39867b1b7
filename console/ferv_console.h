// The one routine through which every line of the programs reaches standard
// output: reports, usage text, status lines, scanner messages and the
// library's diagnostics alike. Nothing is written to standard error.
//
// The programs link console/console.cpp (buffered standard output); the unit
// tests link a capturing version so that they can compare what was printed.
#ifndef FERV_CONSOLE_H
#define FERV_CONSOLE_H

#if defined(__GNUC__)
#define FERV_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define FERV_PRINTF_LIKE(f, a)
#endif

void FervPrint(const char *format, ...) FERV_PRINTF_LIKE(1, 2);

// Has standard output written in blocks of 64 KiB when it goes to a file or
// a pipe; a terminal keeps line buffering. The programs call it first thing,
// before anything is written. The sink itself never changes the buffering:
// a program that links FervLib for itself keeps what it chose.
void FervUseBlockOutput(void);

// Writes whatever is buffered; called before the process blocks in a wait
// so that nothing already printed sits unseen in the buffer.
void FervFlush(void);

// One diagnostic line of the library or its channel:
// "FervLib (WIN32) - <routine>: <message>\n", the message formatted as by
// FervPrint. Every failing library call prints exactly one such line of its
// own before it returns.
#define FERV_DIAGNOSTIC_PREFIX "FervLib (WIN32) - "
#define FervPrintDiagnostic(routine, format, ...) \
    FervPrint(FERV_DIAGNOSTIC_PREFIX "%s: " format "\n", (routine), ##__VA_ARGS__)

#endif
