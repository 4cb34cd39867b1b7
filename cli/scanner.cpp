// The program's own option scanner. It never reorders words, stops at the
// first word that is not an option, lets several letters share one word, and
// takes the whole next word as an option argument even when it begins with
// '-'. Its messages go to standard output like every other line.
#include "frontend.h"

#include <string.h>

#include "console/ferv_console.h"

OptionScanState optionScan = {1, 1, nullptr};

void ResetOptionScan(void)
{
    optionScan.scanIndex = 1;
    optionScan.scanPosition = 1;
    optionScan.scanArgument = nullptr;
}

// Moves past the letter just read; at the end of its word, on to the next word.
static void StepPastLetter(char **argv)
{
    optionScan.scanPosition++;
    if (argv[optionScan.scanIndex][optionScan.scanPosition] == '\0') {
        optionScan.scanIndex++;
        optionScan.scanPosition = 1;
    }
}

int ScanOption(int argc, char **argv, const char *optionLetters)
{
    OptionScanState *s = &optionScan;
    bool quiet = optionLetters[0] == ':';

    if (s->scanIndex < 1 || s->scanIndex >= argc || argv[s->scanIndex] == nullptr)
        return -1;
    const char *word = argv[s->scanIndex];
    if (s->scanPosition == 1) {
        if (word[0] != '-' || word[1] == '\0')
            return -1;
        if (strcmp(word, "--") == 0) {
            s->scanIndex++;
            return -1;
        }
    }

    char c = word[s->scanPosition];
    // A position on the terminator only arises if the words changed under the
    // scanner; treat it as the end of the options rather than read past it.
    if (c == '\0')
        return -1;

    const char *letter = c == ':' ? nullptr : strchr(optionLetters, c);
    if (letter == nullptr) {
        if (!quiet)
            FervPrint("getopt: illegal option -- %c\n", c);
        StepPastLetter(argv);
        return '?';
    }

    if (letter[1] != ':') {
        StepPastLetter(argv);
        s->scanArgument = nullptr;
        return c;
    }

    // The letter takes an argument: the rest of this word, or the next word.
    if (word[s->scanPosition + 1] != '\0') {
        s->scanArgument = argv[s->scanIndex] + s->scanPosition + 1;
        s->scanIndex++;
        s->scanPosition = 1;
        return c;
    }
    s->scanIndex++;
    if (s->scanIndex >= argc) {
        if (!quiet)
            FervPrint("getopt: option requires an argument -- %c\n", c);
        s->scanPosition = 1;
        s->scanArgument = nullptr;
        return quiet ? ':' : '?';
    }
    s->scanArgument = argv[s->scanIndex];
    s->scanIndex++;
    s->scanPosition = 1;
    return c;
}
