// Where the library's diagnostic lines go in fervmon.
//
// FervLib prints a line of its own ("FervLib (WIN32) - <call>: ...") through
// the console sink whenever a call fails. fervmon links mon_console.cpp as
// that sink: the lines are kept in memory instead of reaching standard
// output, and each command puts them where its readers look for them: into
// the plugin output of check, on standard error beside a metrics file, into
// the driver-lost line of watch. Standard output carries only what fervmon
// itself prints, so a metrics file or a JSON stream is never corrupted.
#ifndef FERV_MON_CONSOLE_H
#define FERV_MON_CONSOLE_H

#include <string>

// Returns every library line printed since the last call (each ending in a
// line end) and forgets them.
std::string MonTakeLibraryLines();

// The library lines as one line: each without its line end, joined by
// "; ". Empty when there are none. Forgets them like MonTakeLibraryLines.
std::string MonTakeLibraryReason();

#endif
