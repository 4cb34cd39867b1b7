#include "capture_console.h"

#include <stdarg.h>
#include <stdio.h>

#include "console/ferv_console.h"

static std::string captured;

void FervPrint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n > 0) {
        size_t at = captured.size();
        captured.resize(at + (size_t)n + 1);
        vsnprintf(&captured[at], (size_t)n + 1, format, again);
        captured.resize(at + (size_t)n);
    }
    va_end(again);
}

void FervFlush(void) {}

std::string TakeConsoleOutput()
{
    std::string out;
    out.swap(captured);
    return out;
}
