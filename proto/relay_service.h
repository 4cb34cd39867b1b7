/*
 * relay_service.h: the contract between the relay driver (relay.sys) and the
 * user-mode service that answers for it.
 *
 * The relay exposes the driver's client-facing devices (the control device and
 * one device interface per root-enumerated instance) but decides nothing: the
 * service says which of them are present, hears of every handle a client opens
 * and closes on them, and answers every device control request a client sends;
 * its answer becomes the result of the client's request.
 *
 * Transport: one duplex, byte-mode named pipe that the service creates
 * (FERV_RELAY_PIPE_PATH, a single instance), and the service device. The
 * service attaches in three steps:
 *   1. CreateNamedPipe(FERV_RELAY_PIPE_PATH, PIPE_ACCESS_DUPLEX, byte mode,
 *      one instance);
 *   2. CreateFile(FERV_RELAY_SERVICE_PATH): during this open the relay
 *      connects to the pipe;
 *   3. ConnectNamedPipe, which then reports ERROR_PIPE_CONNECTED.
 * Then it sends SHOW to make the devices it serves present. Closing the
 * service device's handle (or ending the process) detaches the service: the
 * pipe is closed and the driver looks absent again (opening the control device
 * fails with ERROR_FILE_NOT_FOUND, no interface is present). When the pipe
 * breaks while the service is attached, the service closes the service device
 * and attaches again. One service is attached at a time.
 *
 * Why a pipe and not device control requests on the service device: a
 * kernel-mode driver under Wine receives its requests one at a time, so a
 * client request that waited in the driver for the service's answer would
 * block the very request that carries the answer. The relay reads the pipe on
 * a thread of its own instead, which lets it wait for the service's first
 * answer inside the client's request and so complete it at once when the
 * service says so, exactly as a driver does.
 *
 * Messages (all integers 32-bit little-endian, fixed-size headers). Every
 * message from the relay has a header of FERV_RELAY_REQ_SIZE bytes, every
 * message from the service one of FERV_RELAY_ANS_SIZE bytes; the header's
 * size field says how many bytes follow.
 *
 *   relay -> service
 *     REQUEST  a client's device control request: request id, control code,
 *              endpoint, the handle it came on, inSize bytes of input (the
 *              client's buffer as sent) and the client's output length.
 *     OPEN     a client opened a handle on an endpoint: handle id, endpoint,
 *              and in the code field the sequence number of the last SHOW
 *              applied, so the service knows what the client could see.
 *     CLOSE    the handle is gone; the relay has already completed its held
 *              requests as cancelled.
 *     SHOWN    a SHOW has been applied: its sequence number, and in the code
 *              field the number of instances the relay has (endpoints 1 to
 *              that number).
 *
 *   service -> relay
 *     PEND, COMPLETE  the answer to a REQUEST (below).
 *     SHOW     which endpoints are present: id = a sequence number, then one
 *              byte per endpoint from 0 (the control device) up, non-zero for
 *              present; endpoints past the last byte are absent. The status
 *              field is the service's keepalive promise in milliseconds: when
 *              it is not 0, the service sends some message at least that
 *              often, and a service silent for FERV_RELAY_SILENCE_FACTOR
 *              times as long (or whose messages the relay cannot write for as
 *              long) is taken for stalled and dropped.
 *     KEEPALIVE  nothing but a sign of life.
 *
 * Handle ids are non-zero and unique among the handles of one attachment;
 * request ids are non-zero and unique among requests in flight. A REQUEST
 * always follows the OPEN of its handle and precedes its CLOSE.
 *
 * Every REQUEST gets exactly one first ANSWER, in any order relative to other
 * requests, and the service must give it promptly (the relay's client-facing
 * side waits for it):
 *
 *   - kind COMPLETE, status 0: the client's request completes at once with
 *     success; the reply bytes (at most outSize) are copied to the start of
 *     the client's output buffer, the rest of that buffer is left as it was.
 *     DeviceIoControl returns TRUE.
 *   - kind COMPLETE, status an NTSTATUS error (0xC0000000 and up), size 0: the
 *     request is refused outright; DeviceIoControl returns FALSE with the
 *     mapped Win32 error (STATUS_INVALID_DEVICE_REQUEST -> 1,
 *     STATUS_UNSUCCESSFUL -> 31, FERV_RELAY_STATUS_FROM_WIN32(e) -> e).
 *   - kind PEND: the relay holds the request; DeviceIoControl on an overlapped
 *     handle returns FALSE with ERROR_IO_PENDING (997). A later ANSWER of kind
 *     COMPLETE with the same id finishes it: GetOverlappedResult then returns
 *     TRUE with the bytes, or FALSE with the mapped error.
 *
 * The relay never serialises held requests: other requests go on while any
 * number of them are held. Under Wine the relay takes the next request only
 * once the current one has its first answer, so the service must not wait for
 * anything of the relay's (opening or closing its devices) between reading a
 * REQUEST and writing its first ANSWER.
 *
 * Failures the service sees or causes:
 *   - A held request whose client went away (handle closed, I/O cancelled,
 *     process ended) is completed as cancelled by the relay; its later ANSWER
 *     for that id is read and dropped.
 *   - An ANSWER whose content is wrong (unknown kind, size above outSize, a
 *     reply with an error status, a status that is neither 0 nor an error, or
 *     one that maps to ERROR_IO_PENDING) fails that request with
 *     STATUS_UNSUCCESSFUL; its bytes are skipped.
 *   - A message with a wrong magic or a size over FERV_RELAY_MAX_DATA cannot
 *     be framed, and a SHOW with more than FERV_RELAY_MAX_ENDPOINTS bytes is
 *     refused: the relay drops the connection. So it does with a service
 *     that stalls after promising keepalives.
 *   - When the connection drops (pipe broken, service detached or stalled),
 *     the driver looks absent, requests waiting for a first answer fail with
 *     STATUS_UNSUCCESSFUL (Win32 31), held requests complete with
 *     STATUS_CANCELLED (GetOverlappedResult fails with 995), and handles
 *     opened before fail every request with 31: what a client of the POSIX
 *     emulator sees when its connection breaks.
 */
#ifndef FERV_RELAY_SERVICE_H
#define FERV_RELAY_SERVICE_H

#include "ferv_proto.h"

/* The pipe, as the service names it and as the relay opens it. */
#define FERV_RELAY_PIPE_PATH "\\\\.\\pipe\\FervRelay"
#define FERV_RELAY_PIPE_KERNEL_NAME L"\\Device\\NamedPipe\\FervRelay"

/* The service device: opening it attaches the service that serves the pipe
 * (the relay connects to the pipe during the open), closing it detaches the
 * service. */
#define FERV_RELAY_SERVICE_DEVICE_NAME L"\\Device\\FervRelayService"
#define FERV_RELAY_SERVICE_LINK_NAME L"\\DosDevices\\FervRelayService"
#define FERV_RELAY_SERVICE_PATH "\\\\.\\FervRelayService"

/* The client-facing control device and its link (\\.\<control device name>). */
#define FERV_RELAY_CONTROL_DEVICE_NAME L"\\Device\\" FERV_CONTROL_DEVICE_NAME
#define FERV_RELAY_CONTROL_LINK_NAME L"\\DosDevices\\" FERV_CONTROL_DEVICE_NAME
#define FERV_RELAY_CONTROL_PATH FERV_CONTROL_DEVICE_PATH

/* The device interface class each instance registers. */
#define FERV_RELAY_INTERFACE_GUID_INIT FERV_INTERFACE_CLASS_GUID_INIT

/* The second form of the protocol (handles, presence, keepalives). */
#define FERV_RELAY_MAGIC FERV_FOURCC('F', 'R', 'L', '2')

/* Message kinds, service -> relay. */
#define FERV_RELAY_KIND_PEND 1u
#define FERV_RELAY_KIND_COMPLETE 2u
#define FERV_RELAY_KIND_SHOW 7u
#define FERV_RELAY_KIND_KEEPALIVE 8u
/* Message kinds, relay -> service. */
#define FERV_RELAY_KIND_REQUEST 3u
#define FERV_RELAY_KIND_OPEN 4u
#define FERV_RELAY_KIND_CLOSE 5u
#define FERV_RELAY_KIND_SHOWN 6u

/* Endpoint numbers: 0 is the control device, 1 + i is the instance
 * ROOT\<service>\<i>, so endpoint 1 + i is also the interface that SetupDi
 * enumerates at member index i when every instance before it is present. */
#define FERV_RELAY_ENDPOINT_CONTROL 0u
/* The control device and up to 64 instances. */
#define FERV_RELAY_MAX_ENDPOINTS 65u

/* A service that promised keepalives every N ms is dropped after this many
 * times N ms of silence. */
#define FERV_RELAY_SILENCE_FACTOR 10u
/* The keepalive period the project's services promise. */
#define FERV_RELAY_KEEPALIVE_MS 500u

/* Header of every message from the relay. */
#define FERV_RELAY_REQ_MAGIC 0     /* FERV_RELAY_MAGIC */
#define FERV_RELAY_REQ_KIND 4      /* REQUEST, OPEN, CLOSE or SHOWN */
#define FERV_RELAY_REQ_ID 8        /* request id, handle id, or SHOW sequence */
#define FERV_RELAY_REQ_CODE 12     /* REQUEST: control code; OPEN: SHOW sequence; SHOWN: instances */
#define FERV_RELAY_REQ_ENDPOINT 16 /* REQUEST, OPEN: which device */
#define FERV_RELAY_REQ_IN_SIZE 20  /* bytes that follow (REQUEST: input) */
#define FERV_RELAY_REQ_OUT_SIZE 24 /* REQUEST: the client's output buffer length */
#define FERV_RELAY_REQ_HANDLE 28   /* REQUEST: the handle id it came on */
#define FERV_RELAY_REQ_SIZE 32

/* Header of every message from the service. */
#define FERV_RELAY_ANS_MAGIC 0     /* FERV_RELAY_MAGIC */
#define FERV_RELAY_ANS_KIND 4      /* PEND, COMPLETE, SHOW or KEEPALIVE */
#define FERV_RELAY_ANS_ID 8        /* the REQUEST's id; SHOW: sequence number */
#define FERV_RELAY_ANS_STATUS 12   /* COMPLETE: 0 or an NTSTATUS error; SHOW: keepalive ms */
#define FERV_RELAY_ANS_DATA 16     /* bytes that follow: reply, or SHOW's presence bytes */
#define FERV_RELAY_ANS_RESERVED 20 /* 0 */
#define FERV_RELAY_ANS_SIZE 24

/* Input, output and reply lengths are at most this (256 MiB). */
#define FERV_RELAY_MAX_DATA FERV_SIZE_LIMIT

/* NTSTATUS values a service typically answers with. */
#define FERV_RELAY_STATUS_SUCCESS 0x00000000u
#define FERV_RELAY_STATUS_UNSUCCESSFUL 0xC0000001u           /* Win32 31 */
#define FERV_RELAY_STATUS_INVALID_DEVICE_REQUEST 0xC0000010u /* Win32 1 */
#define FERV_RELAY_STATUS_BUFFER_TOO_SMALL 0xC0000023u       /* Win32 122 */
#define FERV_RELAY_STATUS_CANCELLED 0xC0000120u              /* Win32 995 */
/* Any Win32 error e as an NTSTATUS error that maps back to exactly e. */
#define FERV_RELAY_STATUS_FROM_WIN32(e) (0xC0070000u | ((e)&0xFFFFu))

/* Little-endian access to message fields: messages are byte buffers, never
 * cast to structures. */
#define FervRelayLoad32(buffer, offset) FervLoad32((const unsigned char *)(buffer) + (offset))
#define FervRelayStore32(buffer, offset, value) FervStore32((unsigned char *)(buffer) + (offset), (value))

/* Writes an ANSWER header; header holds FERV_RELAY_ANS_SIZE bytes. */
static inline void FervRelayStoreAnswer(unsigned char *header, unsigned int kind, unsigned int id,
                                        unsigned int status, unsigned int size)
{
    FervRelayStore32(header, FERV_RELAY_ANS_MAGIC, FERV_RELAY_MAGIC);
    FervRelayStore32(header, FERV_RELAY_ANS_KIND, kind);
    FervRelayStore32(header, FERV_RELAY_ANS_ID, id);
    FervRelayStore32(header, FERV_RELAY_ANS_STATUS, status);
    FervRelayStore32(header, FERV_RELAY_ANS_DATA, size);
    FervRelayStore32(header, FERV_RELAY_ANS_RESERVED, 0);
}

#endif
