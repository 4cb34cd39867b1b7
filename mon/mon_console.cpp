// fervmon's console sink: the library's lines are collected, not printed.
#include "mon_console.h"

#include <stdarg.h>
#include <stdio.h>

#include "console/ferv_console.h"

static std::string libraryLines;

void FervPrint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n > 0) {
        size_t at = libraryLines.size();
        libraryLines.resize(at + (size_t)n + 1);
        vsnprintf(&libraryLines[at], (size_t)n + 1, format, again);
        libraryLines.resize(at + (size_t)n);
    }
    va_end(again);
}

// Nothing is buffered on the way to the screen: fervmon flushes its own
// output itself.
void FervFlush(void) {}

std::string MonTakeLibraryLines()
{
    std::string lines;
    lines.swap(libraryLines);
    return lines;
}

std::string MonTakeLibraryReason()
{
    std::string lines = MonTakeLibraryLines();
    std::string reason;
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        if (end == std::string::npos)
            end = lines.size();
        if (end > start) {
            if (!reason.empty())
                reason += "; ";
            reason.append(lines, start, end - start);
        }
        start = end + 1;
    }
    return reason;
}
