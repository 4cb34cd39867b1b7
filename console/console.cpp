#include "ferv_console.h"

#include <stdarg.h>
#include <stdio.h>

void FervPrint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
}

void FervFlush(void)
{
    fflush(stdout);
}
