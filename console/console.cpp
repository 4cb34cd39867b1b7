#include "ferv_console.h"

#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

// Output that goes to a file or a pipe is written in blocks of this size: a
// report of 100,000 paths is 14 MB, and the C library's default block (often
// 4 KiB) would cost thousands of write calls. A terminal keeps the library's
// line buffering, so a person sees each line as it comes.
enum { FILE_BUFFER_SIZE = 1 << 16 };

void FervUseBlockOutput(void)
{
    // The block is given: asked for without one, the GNU C library keeps its
    // own size (the file's block size, 4 KiB) and takes only the mode.
    static char block[FILE_BUFFER_SIZE];
    if (!isatty(fileno(stdout)))
        setvbuf(stdout, block, _IOFBF, sizeof block);
}

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
