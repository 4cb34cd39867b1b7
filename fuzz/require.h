// A check of a fuzz target's own: a failure is a finding, and stops the run
// where libFuzzer and the sanitizers report it.
#ifndef FERV_FUZZ_REQUIRE_H
#define FERV_FUZZ_REQUIRE_H

static inline void Require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

#endif
