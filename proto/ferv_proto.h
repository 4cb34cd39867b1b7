/*
 * ferv_proto.h: the names and numbers that every side of the driver's
 * protocol shares: the channels and the platform layer of the programs, the
 * emulator, the relay driver and its service, the benchmarks and the test
 * servers. Plain C, so the relay (built as C) includes it as it is.
 *
 * Each fact is written once; whatever follows from it is computed here and
 * checked with FERV_STATIC_ASSERT.
 */
#ifndef FERV_PROTO_H
#define FERV_PROTO_H

#include <stdint.h>

#if defined(__cplusplus)
#define FERV_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define FERV_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

/* ---- integers on the wire ------------------------------------------------------
 * Every integer of a request, a reply or a frame is 32-bit little-endian and
 * goes through these helpers: buffers are never cast to structures, so the
 * layouts hold on any host. */
static inline uint32_t FervLoad32(const void *p)
{
    const uint8_t *b = (const uint8_t *)p;
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

static inline int32_t FervLoadS32(const void *p)
{
    return (int32_t)FervLoad32(p);
}

static inline void FervStore32(void *p, uint32_t v)
{
    uint8_t *b = (uint8_t *)p;
    b[0] = (uint8_t)v;
    b[1] = (uint8_t)(v >> 8);
    b[2] = (uint8_t)(v >> 16);
    b[3] = (uint8_t)(v >> 24);
}

/* A magic word whose bytes, in memory order, are the four characters. */
#define FERV_FOURCC(a, b, c, d)                                                                \
    ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16) | \
     ((uint32_t)(uint8_t)(d) << 24))

/* ---- the driver's identity -------------------------------------------------------
 * The device interface class the driver registers. Its parts are written
 * once; the GUID initialiser and the text form are both made from them. */
#define FERV_INTERFACE_CLASS_PARTS(make) make(a8987d25, df6e, 4a51, 97, 27, 49, fb, 6f, 14, 79, a2)

/* The initialiser reads best on one line. */
/* clang-format off */
#define FERV_GUID_INIT_(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    {0x##d1, 0x##d2, 0x##d3, {0x##b0, 0x##b1, 0x##b2, 0x##b3, 0x##b4, 0x##b5, 0x##b6, 0x##b7}}
#define FERV_GUID_TEXT_(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    "{" #d1 "-" #d2 "-" #d3 "-" #b0 #b1 "-" #b2 #b3 #b4 #b5 #b6 #b7 "}"
/* clang-format on */

/* An initialiser of a GUID record, and the class in lower-case text with
 * braces, as the device namespace names its folder. */
#define FERV_INTERFACE_CLASS_GUID_INIT FERV_INTERFACE_CLASS_PARTS(FERV_GUID_INIT_)
#define FERV_INTERFACE_CLASS_TEXT FERV_INTERFACE_CLASS_PARTS(FERV_GUID_TEXT_)
FERV_STATIC_ASSERT(sizeof FERV_INTERFACE_CLASS_TEXT == 39, "a GUID's text is 38 characters");

/* The Win32 device namespace ("\\.\"), the driver's one control device in it,
 * and the control device's full name as a program opens it. */
#define FERV_DEVICE_NAMESPACE "\\\\.\\"
#define FERV_CONTROL_DEVICE_NAME "ZEL_HA_CONTROL"
#define FERV_CONTROL_DEVICE_PATH FERV_DEVICE_NAMESPACE FERV_CONTROL_DEVICE_NAME

/* ---- the POSIX device namespace -----------------------------------------------
 * Under the root R: R/<FERV_CONTROL_DEVICE_NAME> is the control device and
 * R/<FERV_INTERFACES_DIR>/<FERV_INTERFACE_CLASS_TEXT>/ holds one socket per
 * device interface. */
#define FERV_INTERFACES_DIR "interfaces"
#define FERV_INTERFACE_CLASS_DIR FERV_INTERFACES_DIR "/" FERV_INTERFACE_CLASS_TEXT

/* ---- limits ------------------------------------------------------------------- */
/* The largest size a driver may name, a request may carry or a frame may
 * hold: 256 MiB. */
#define FERV_SIZE_LIMIT (1u << 28)
FERV_STATIC_ASSERT(FERV_SIZE_LIMIT == 268435456u, "256 MiB");

/* ---- socket frames -------------------------------------------------------------
 * How a request and its replies travel over a Unix-domain stream socket
 * between a client (the POSIX platform layer) and whatever stands in the
 * driver's place (the emulator, a test's own server).
 *
 * A request: a header, then inSize bytes of input. A reply: a header, then
 * information bytes for the caller's output buffer. A server answers PENDING
 * first when it holds a request; the COMPLETE reply follows later on the same
 * connection. inSize, outSize and information never exceed FERV_SIZE_LIMIT. */
#define FERV_FRAME_MAGIC FERV_FOURCC('F', 'E', 'R', 'V')
#define FERV_FRAME_VERSION 1u

/* Reply types. */
#define FERV_FRAME_PENDING 1u
#define FERV_FRAME_COMPLETE 2u

/* Request header, client to server. */
enum {
    FERV_FRAME_REQ_MAGIC = 0,
    FERV_FRAME_REQ_VERSION = 4,
    FERV_FRAME_REQ_CODE = 8,      /* ioControlCode */
    FERV_FRAME_REQ_IN_SIZE = 12,  /* input bytes that follow */
    FERV_FRAME_REQ_OUT_SIZE = 16, /* the caller's output buffer length */
    FERV_FRAME_REQ_RESERVED = 20, /* 0 */
    FERV_FRAME_REQ_HEADER_SIZE = FERV_FRAME_REQ_RESERVED + 4
};

/* Reply header, server to client. */
enum {
    FERV_FRAME_REP_MAGIC = 0,
    FERV_FRAME_REP_TYPE = 4,
    FERV_FRAME_REP_ERROR = 8,        /* Win32 error code, 0 = success */
    FERV_FRAME_REP_INFORMATION = 12, /* bytes that follow; at most outSize; 0 for PENDING */
    FERV_FRAME_REP_RESERVED = 16,    /* 0 */
    FERV_FRAME_REP_HEADER_SIZE = FERV_FRAME_REP_RESERVED + 4
};
FERV_STATIC_ASSERT(FERV_FRAME_REQ_HEADER_SIZE == 24 && FERV_FRAME_REP_HEADER_SIZE == 20, "frame header sizes");

/* Writes a request header; header holds FERV_FRAME_REQ_HEADER_SIZE bytes. */
static inline void FervFrameStoreRequest(uint8_t *header, uint32_t ioControlCode, uint32_t inSize, uint32_t outSize)
{
    FervStore32(header + FERV_FRAME_REQ_MAGIC, FERV_FRAME_MAGIC);
    FervStore32(header + FERV_FRAME_REQ_VERSION, FERV_FRAME_VERSION);
    FervStore32(header + FERV_FRAME_REQ_CODE, ioControlCode);
    FervStore32(header + FERV_FRAME_REQ_IN_SIZE, inSize);
    FervStore32(header + FERV_FRAME_REQ_OUT_SIZE, outSize);
    FervStore32(header + FERV_FRAME_REQ_RESERVED, 0);
}

/* Writes a reply header; header holds FERV_FRAME_REP_HEADER_SIZE bytes. */
static inline void FervFrameStoreReply(uint8_t *header, uint32_t type, uint32_t error, uint32_t information)
{
    FervStore32(header + FERV_FRAME_REP_MAGIC, FERV_FRAME_MAGIC);
    FervStore32(header + FERV_FRAME_REP_TYPE, type);
    FervStore32(header + FERV_FRAME_REP_ERROR, error);
    FervStore32(header + FERV_FRAME_REP_INFORMATION, information);
    FervStore32(header + FERV_FRAME_REP_RESERVED, 0);
}

/* Whether a request header can be served: the right magic and version, and
 * sizes within FERV_SIZE_LIMIT. */
static inline int FervFrameRequestIsValid(const uint8_t *header)
{
    return FervLoad32(header + FERV_FRAME_REQ_MAGIC) == FERV_FRAME_MAGIC &&
           FervLoad32(header + FERV_FRAME_REQ_VERSION) == FERV_FRAME_VERSION &&
           FervLoad32(header + FERV_FRAME_REQ_IN_SIZE) <= FERV_SIZE_LIMIT &&
           FervLoad32(header + FERV_FRAME_REQ_OUT_SIZE) <= FERV_SIZE_LIMIT;
}

/* ---- text ----------------------------------------------------------------------- */
/* The value of one hexadecimal digit of either case, or -1. */
static inline int FervHexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

#endif
