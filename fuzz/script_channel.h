// The channel and console of the fuzz targets that drive the library's
// calls: each request is answered by the next reply of a script the
// fuzzer wrote, as a driver would answer it.
//
// The script is a sequence of replies, each a 16-bit little-endian length
// and that many bytes, written over the front of the request buffer. A
// length of 0xFFFF fails the send instead, the next byte picking how (its
// value modulo the channel's failures, in their order: 0 is IO_FAILED).
// When the script runs out, the send fails with IO_FAILED. Sizes a reply names in a growing request's size word are
// kept under 64 KiB, so that a run stays fast; sizes beyond the library's limit go through unchanged, to exercise
// its refusal.
#ifndef FERV_FUZZ_SCRIPT_CHANNEL_H
#define FERV_FUZZ_SCRIPT_CHANNEL_H

#include <stddef.h>
#include <stdint.h>

#include "fuzz/require.h"

// Starts a script; the bytes must outlive every request of the run.
void FuzzScriptStart(const uint8_t *script, size_t size);

#endif
