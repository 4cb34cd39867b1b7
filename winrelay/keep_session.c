/*
 * keep_session: does nothing until it is ended. Under Wine, a prefix's
 * session (and the driver loaded in it) lasts while any Windows program of
 * the prefix runs; test runs start this one first, so the relay stays
 * loaded while emulators come and go.
 */
#include <windows.h>

int main(void)
{
    for (;;)
        Sleep(INFINITE);
}
