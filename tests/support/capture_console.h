// What the programs' one print routine wrote, for tests to compare byte for
// byte. The test build links capture_console.cpp in place of the real
// console, so FervPrint appends here instead of writing to standard output.
#ifndef FERV_CAPTURE_CONSOLE_H
#define FERV_CAPTURE_CONSOLE_H

#include <string>

// Returns everything printed since the last call and starts afresh.
std::string TakeConsoleOutput();

#endif
