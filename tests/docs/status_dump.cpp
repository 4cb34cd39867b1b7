// Prints the library's status table, "code message" per line, for the check
// that compares it with the manual pages.
#include "lib/fervlib.h"

#include <stdio.h>

int main()
{
    for (FERV_STATUS code = 0; FervStatusMessage(code) != nullptr; ++code)
        printf("%u %s\n", (unsigned)code, FervStatusMessage(code));
    return 0;
}
