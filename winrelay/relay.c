/*
 * relay.sys: a kernel-mode driver that stands in for the multipath-failover
 * driver and relays every request to a user-mode service (relay_service.h).
 *
 * Devices:
 *   - the control device \Device\ZEL_HA_CONTROL (endpoint 0), reachable as
 *     \\.\ZEL_HA_CONTROL while a service is attached;
 *   - one function device per root-enumerated instance ROOT\<service>\<i>
 *     (endpoint 1 + i), whose device interface of the driver's class is
 *     enabled while a service is attached;
 *   - the service device \Device\FervRelayService (\\.\FervRelayService):
 *     opening it attaches the service, closing it detaches the service.
 *
 * The service decides which of the control device and the instances are
 * present (SHOW); while no service is attached the driver looks absent: the
 * control device's name does not exist and no interface is present. Every
 * handle a client opens on them is announced to the service (OPEN, CLOSE), so
 * that the service can give each handle a connection of its own.
 *
 * A device control request on the control device or an interface is written
 * to the service's pipe, and the dispatch routine waits for the service's
 * first answer, which completes the request at once (success or an outright
 * refusal) or makes it pending. A reader thread owns the reading side of the
 * pipe and hands each answer to its request, so held requests never keep
 * other requests from going on, and a later answer finishes a held request
 * whenever it comes.
 *
 * Per-request state lives in the client's IRP itself (no allocation):
 *   Tail.Overlay.ListEntry         link in the list of requests in flight
 *   Tail.Overlay.DriverContext[0]  request id
 *   Tail.Overlay.DriverContext[1]  REQ_AWAITING, REQ_DELIVERING or REQ_HELD
 *   Tail.Overlay.DriverContext[2]  the dispatch routine's struct first_answer,
 *                                  while it waits
 *
 * Per-handle state lives in the file object: FsContext holds the handle id
 * the service knows it by, FsContext2 the connection generation it was opened
 * under.
 *
 * Locking: the list of requests, the connection flag, generation and the
 * handle numbering are kept under the I/O manager's cancel spin lock, which
 * also serialises the cancel routine, so whoever takes a held IRP out of the
 * list under that lock (after clearing its cancel routine) owns it.
 * g_pipe_lock, a mutex, serialises attaching and detaching; the reader thread
 * never takes it, since detaching waits for the reader to end. g_write_lock
 * serialises writing messages to the pipe (dispatch routines and the reader's
 * SHOWN), and closing it. g_present_lock guards the names the driver shows
 * (control link, interfaces). Order: g_pipe_lock, then g_present_lock or
 * g_write_lock; never both of the last two.
 *
 * Liveness: a service that promised keepalives (SHOW) and then says nothing
 * for ten times the promised period, or does not take a message for as long,
 * is dropped as stalled, so that no client waits for it for ever.
 */
#include <ntifs.h>

#include "relay_service.h"

/* Exported by the kernel, absent from the DDK headers. */
NTSYSAPI NTSTATUS NTAPI ZwCancelIoFile(HANDLE file, PIO_STATUS_BLOCK iosb);

#ifdef RELAY_TRACE
#define TRACE(...) DbgPrint(__VA_ARGS__)
#else
#define TRACE(...) ((void)0)
#endif

/* How often the reader thread, while it waits for the pipe, looks whether it
 * has been asked to stop. */
#define READER_POLL_MS 200

/* Pipe writes go in pieces of this size, so that a write that stalls is
 * noticed after one silence period. */
#define WRITE_CHUNK 65536u

enum { REQ_AWAITING = 1, REQ_DELIVERING, REQ_HELD };
enum { ROLE_CONTROL = 1, ROLE_INSTANCE, ROLE_SERVICE };

/* Device extension of every device the relay creates. */
struct relay_device {
    ULONG role;
    ULONG endpoint;
    PDEVICE_OBJECT lower;         /* instances: the device below */
    UNICODE_STRING interfaceName; /* instances: the registered interface */
    LIST_ENTRY started;           /* instances: link in g_started, once started */
    BOOLEAN isStarted;
    BOOLEAN shown; /* instances: the interface is enabled */
};

/* What the service answered first, handed from the reader thread to the
 * dispatch routine that waits for it (on its own stack). */
struct first_answer {
    KEVENT done;
    BOOLEAN pended;
    NTSTATUS status;
    ULONG information;
};

static const GUID g_interface_class = FERV_RELAY_INTERFACE_GUID_INIT;

static PDEVICE_OBJECT g_control, g_service;
static LONG g_instances; /* numbering for instances whose id has no number */

/* Under the cancel spin lock. */
static LIST_ENTRY g_requests;
static ULONG g_next_id;
static ULONG g_next_handle;
static BOOLEAN g_connected;
static ULONG g_generation; /* one per connection; a handle keeps the one it opened under */

/* Under g_pipe_lock. */
static KMUTEX g_pipe_lock;
static HANDLE g_read_event, g_write_event, g_reader;
static volatile LONG g_stop_reader;
static PFILE_OBJECT g_service_file; /* the attached service's handle */

/* Under g_write_lock; the reader reads it without, as it ends before the
 * handle closes. */
static KMUTEX g_write_lock;
static HANDLE g_pipe;

/* The promised keepalive period in ms (0: none); set by the reader, read by
 * writers. */
static volatile LONG g_keepalive_ms;

/* Under g_present_lock. */
static KMUTEX g_present_lock;
static LIST_ENTRY g_started;                     /* instances that have started */
static UCHAR g_wanted[FERV_RELAY_MAX_ENDPOINTS]; /* what the service wants present */
static BOOLEAN g_control_shown;                  /* the control link exists */
static ULONG g_shown_seq;                        /* sequence of the last SHOW applied */
static ULONG g_started_count;

#define REQ_ID(irp) ((ULONG)(ULONG_PTR)(irp)->Tail.Overlay.DriverContext[0])
#define REQ_STATE(irp) ((ULONG)(ULONG_PTR)(irp)->Tail.Overlay.DriverContext[1])
#define REQ_WAITER(irp) ((struct first_answer *)(irp)->Tail.Overlay.DriverContext[2])
#define SET_REQ(irp, slot, value) ((irp)->Tail.Overlay.DriverContext[slot] = (PVOID)(ULONG_PTR)(value))

static NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static PIRP irp_of(PLIST_ENTRY entry)
{
    return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
}

/* Finds a request in flight by id; caller holds the cancel spin lock. */
static PIRP find_request(ULONG id)
{
    PLIST_ENTRY e;
    for (e = g_requests.Flink; e != &g_requests; e = e->Flink)
        if (REQ_ID(irp_of(e)) == id)
            return irp_of(e);
    return NULL;
}

/* A fresh non-zero id that no request in flight carries; caller holds the
 * cancel spin lock. */
static ULONG new_id(void)
{
    do {
        if (++g_next_id == 0)
            g_next_id = 1;
    } while (find_request(g_next_id));
    return g_next_id;
}

/* Hands the first answer to the dispatch routine waiting for it; caller holds
 * the cancel spin lock. */
static void answer_waiter(PIRP irp, BOOLEAN pended, NTSTATUS status, ULONG information)
{
    struct first_answer *w = REQ_WAITER(irp);
    irp->Tail.Overlay.DriverContext[2] = NULL;
    w->pended = pended;
    w->status = status;
    w->information = information;
    KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
}

/* Cancel routine of a held request. Only held requests carry one, and they
 * are in the list until someone clears it under the lock, so the IRP is ours
 * to complete here. */
static VOID NTAPI cancel_held(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    TRACE("relay: cancel %lu\n", REQ_ID(irp));
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    finish(irp, STATUS_CANCELLED, 0);
}

/* Completes every IRP in `done` (IRPs taken out of the request list) with
 * `status`. */
static void finish_all(PLIST_ENTRY done, NTSTATUS status)
{
    while (!IsListEmpty(done))
        finish(irp_of(RemoveHeadList(done)), status, 0);
}

/* Takes a held request out of the list into `done` if its cancel routine has
 * not run; caller holds the cancel spin lock. */
static void take_held(PIRP irp, PLIST_ENTRY done)
{
    if (IoSetCancelRoutine(irp, NULL)) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    }
}

/* ---- the pipe ---------------------------------------------------------- */

/* Milliseconds of silence after which the service is taken for stalled;
 * 0 while it promised nothing. */
static ULONG silence_limit_ms(void)
{
    return (ULONG)g_keepalive_ms * FERV_RELAY_SILENCE_FACTOR;
}

/* Waits for one pipe operation. The reader polls so that it can be stopped,
 * and counts the time the service has been silent; a writer waits until the
 * operation ends, the pipe breaks, or the service has not taken anything for
 * the silence limit. Either gives up on a stalled service. */
static NTSTATUS pipe_wait(HANDLE event, IO_STATUS_BLOCK *iosb, NTSTATUS status, BOOLEAN reader, ULONG *silent_ms)
{
    LARGE_INTEGER poll;
    IO_STATUS_BLOCK cancel;
    ULONG limit = silence_limit_ms();

    if (status != STATUS_PENDING)
        return status;
    poll.QuadPart = -10000LL * (reader || !limit ? READER_POLL_MS : limit);
    for (;;) {
        status = ZwWaitForSingleObject(event, FALSE, reader || limit ? &poll : NULL);
        if (status != STATUS_TIMEOUT)
            break;
        limit = silence_limit_ms();
        if (reader)
            *silent_ms += READER_POLL_MS;
        if (g_stop_reader && reader) {
            status = STATUS_CANCELLED;
        } else if (limit && (!reader || *silent_ms >= limit)) {
            TRACE("relay: the service is stalled\n");
            status = STATUS_IO_TIMEOUT;
        } else {
            continue;
        }
        /* Cancels the operation this thread started, and waits for it to end
         * so that the I/O status block on our stack is no longer used. */
        ZwCancelIoFile(g_pipe, &cancel);
        ZwWaitForSingleObject(event, FALSE, NULL);
        return status;
    }
    return NT_SUCCESS(status) ? iosb->Status : status;
}

/* The reader's silence count: reset by every byte the service sends. */
static ULONG g_silent_ms;

/* Moves exactly `length` bytes through the pipe (a byte-mode pipe may move
 * fewer per call). Reading belongs to the reader thread, writing to holders of
 * g_write_lock. */
static NTSTATUS pipe_transfer(BOOLEAN reading, void *buffer, ULONG length)
{
    UCHAR *p = buffer;
    ULONG writer_silence = 0;
    while (length) {
        IO_STATUS_BLOCK iosb;
        /* A busy pipe might never let the reader's wait time out. */
        if (reading && g_stop_reader)
            return STATUS_CANCELLED;
        HANDLE event = reading ? g_read_event : g_write_event;
        ULONG piece = reading || length < WRITE_CHUNK ? length : WRITE_CHUNK;
        NTSTATUS status;

        iosb.Status = STATUS_SUCCESS;
        iosb.Information = 0;
        if (reading)
            status = ZwReadFile(g_pipe, event, NULL, NULL, &iosb, p, piece, NULL, NULL);
        else
            status = ZwWriteFile(g_pipe, event, NULL, NULL, &iosb, p, piece, NULL, NULL);
        status = pipe_wait(event, &iosb, status, reading, reading ? &g_silent_ms : &writer_silence);
        if (!NT_SUCCESS(status))
            return status;
        if (iosb.Information == 0 || iosb.Information > piece)
            return STATUS_PIPE_BROKEN;
        if (reading)
            g_silent_ms = 0;
        p += iosb.Information;
        length -= (ULONG)iosb.Information;
    }
    return STATUS_SUCCESS;
}

/* Writes one message (header and body) whole, or fails; the service sees
 * messages from several threads one after another, never mixed. A failed
 * write ends the connection: the reader is told to stop, and its ending
 * answers every request in flight. */
static NTSTATUS pipe_send(const void *header, ULONG headerSize, const void *body, ULONG bodySize)
{
    NTSTATUS status = STATUS_PIPE_BROKEN;
    BOOLEAN failed = FALSE;

    KeWaitForSingleObject(&g_write_lock, Executive, KernelMode, FALSE, NULL);
    if (g_pipe) {
        status = pipe_transfer(FALSE, (void *)header, headerSize);
        if (NT_SUCCESS(status) && bodySize)
            status = pipe_transfer(FALSE, (void *)body, bodySize);
        failed = !NT_SUCCESS(status);
    }
    KeReleaseMutex(&g_write_lock, FALSE);
    /* (With the pipe closed already the connection has ended anyway.) */
    if (failed)
        InterlockedExchange(&g_stop_reader, 1);
    return status;
}

/* Sends a relay message with no body. */
static void send_event(ULONG kind, ULONG id, ULONG code, ULONG endpoint)
{
    UCHAR header[FERV_RELAY_REQ_SIZE];
    RtlZeroMemory(header, sizeof header);
    FervRelayStore32(header, FERV_RELAY_REQ_MAGIC, FERV_RELAY_MAGIC);
    FervRelayStore32(header, FERV_RELAY_REQ_KIND, kind);
    FervRelayStore32(header, FERV_RELAY_REQ_ID, id);
    FervRelayStore32(header, FERV_RELAY_REQ_CODE, code);
    FervRelayStore32(header, FERV_RELAY_REQ_ENDPOINT, endpoint);
    pipe_send(header, sizeof header, NULL, 0);
}

/* Reads and drops `length` bytes: the reply of an answer nobody waits for. */
static NTSTATUS pipe_skip(ULONG length)
{
    UCHAR scrap[256];
    while (length) {
        ULONG n = length < sizeof scrap ? length : (ULONG)sizeof scrap;
        NTSTATUS status = pipe_transfer(TRUE, scrap, n);
        if (!NT_SUCCESS(status))
            return status;
        length -= n;
    }
    return STATUS_SUCCESS;
}

/* Brings the control link and the interfaces of started instances in line
 * with g_wanted; caller holds g_present_lock. */
static void apply_presence(void)
{
    UNICODE_STRING name, link;
    PLIST_ENTRY e;
    BOOLEAN control = g_wanted[FERV_RELAY_ENDPOINT_CONTROL] != 0;

    if (g_control_shown != control) {
        g_control_shown = control;
        RtlInitUnicodeString(&name, FERV_RELAY_CONTROL_DEVICE_NAME);
        RtlInitUnicodeString(&link, FERV_RELAY_CONTROL_LINK_NAME);
        if (control)
            IoCreateSymbolicLink(&link, &name);
        else
            IoDeleteSymbolicLink(&link);
    }
    for (e = g_started.Flink; e != &g_started; e = e->Flink) {
        struct relay_device *rd = CONTAINING_RECORD(e, struct relay_device, started);
        BOOLEAN on = rd->endpoint < FERV_RELAY_MAX_ENDPOINTS && g_wanted[rd->endpoint] != 0;
        if (rd->shown != on) {
            rd->shown = on;
            IoSetDeviceInterfaceState(&rd->interfaceName, on);
        }
    }
}

/* Makes present exactly the endpoints whose byte in `flags` is non-zero
 * (count bytes; NULL hides everything), and records the SHOW's sequence.
 * Returns the number of started instances. */
static ULONG present(const UCHAR *flags, ULONG count, ULONG seq)
{
    ULONG i, started;

    KeWaitForSingleObject(&g_present_lock, Executive, KernelMode, FALSE, NULL);
    for (i = 0; i < FERV_RELAY_MAX_ENDPOINTS; i++)
        g_wanted[i] = flags && i < count ? flags[i] : 0;
    apply_presence();
    g_shown_seq = seq;
    started = g_started_count;
    KeReleaseMutex(&g_present_lock, FALSE);
    return started;
}

static ULONG shown_seq(void)
{
    ULONG seq;
    KeWaitForSingleObject(&g_present_lock, Executive, KernelMode, FALSE, NULL);
    seq = g_shown_seq;
    KeReleaseMutex(&g_present_lock, FALSE);
    return seq;
}

/* The connection has ended: requests waiting for a first answer are refused,
 * held requests complete as cancelled, and handles opened on this connection
 * stay dead. */
static void drop_connection(void)
{
    LIST_ENTRY done;
    PLIST_ENTRY e, next;
    KIRQL irql;

    InitializeListHead(&done);
    IoAcquireCancelSpinLock(&irql);
    g_connected = FALSE;
    for (e = g_requests.Flink; e != &g_requests; e = next) {
        PIRP irp = irp_of(e);
        next = e->Flink;
        if (REQ_STATE(irp) == REQ_HELD) {
            take_held(irp, &done);
        } else {
            RemoveEntryList(e);
            answer_waiter(irp, FALSE, STATUS_UNSUCCESSFUL, 0);
        }
    }
    IoReleaseCancelSpinLock(irql);
    finish_all(&done, STATUS_CANCELLED);
}

/* Applies one answer whose header has been read. Returns a failure only when
 * the pipe itself failed. */
static NTSTATUS take_answer(const UCHAR *header)
{
    ULONG kind = FervRelayLoad32(header, FERV_RELAY_ANS_KIND);
    ULONG id = FervRelayLoad32(header, FERV_RELAY_ANS_ID);
    NTSTATUS status = (NTSTATUS)FervRelayLoad32(header, FERV_RELAY_ANS_STATUS);
    ULONG size = FervRelayLoad32(header, FERV_RELAY_ANS_DATA);
    ULONG skip = 0, state;
    BOOLEAN valid, cancelled = FALSE;
    NTSTATUS io;
    KIRQL irql;
    PIRP irp;

    IoAcquireCancelSpinLock(&irql);
    irp = find_request(id);
    if (!irp) {
        /* The client went away (or the id is wrong): nobody to answer. */
        IoReleaseCancelSpinLock(irql);
        return pipe_skip(size);
    }
    state = REQ_STATE(irp);
    if (kind == FERV_RELAY_KIND_PEND) {
        valid = state == REQ_AWAITING && size == 0 && status == 0;
    } else {
        ULONG outSize = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
        /* An error that maps to ERROR_IO_PENDING would tell the client to
         * wait for a completion that never comes. */
        valid = kind == FERV_RELAY_KIND_COMPLETE && size <= outSize &&
                (status == STATUS_SUCCESS || (NT_ERROR(status) && size == 0)) &&
                (ULONG)status != FERV_RELAY_STATUS_FROM_WIN32(997);
    }
    if (!valid) {
        /* Fails this request and keeps the connection: the frame is intact. */
        kind = FERV_RELAY_KIND_COMPLETE;
        status = STATUS_UNSUCCESSFUL;
        skip = size;
        size = 0;
    }

    if (kind == FERV_RELAY_KIND_PEND) {
        /* Held from now on: the dispatch routine returns STATUS_PENDING, and
         * the IRP may complete (answer, cancel) before it has. */
        IoMarkIrpPending(irp);
        SET_REQ(irp, 1, REQ_HELD);
        IoSetCancelRoutine(irp, cancel_held);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            cancelled = TRUE;
        }
        answer_waiter(irp, TRUE, STATUS_PENDING, 0);
        IoReleaseCancelSpinLock(irql);
        if (cancelled)
            finish(irp, STATUS_CANCELLED, 0);
        return STATUS_SUCCESS;
    }

    /* A completion: make the IRP ours before reading the reply into its
     * buffer. A held IRP leaves the list (its cancel routine cleared); a
     * waiting one stays, marked, and its dispatch routine keeps waiting. */
    if (state == REQ_HELD) {
        if (!IoSetCancelRoutine(irp, NULL)) {
            IoReleaseCancelSpinLock(irql);
            return pipe_skip(size + skip);
        }
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    } else {
        SET_REQ(irp, 1, REQ_DELIVERING);
    }
    IoReleaseCancelSpinLock(irql);

    io = size ? pipe_transfer(TRUE, irp->AssociatedIrp.SystemBuffer, size) : STATUS_SUCCESS;
    if (NT_SUCCESS(io))
        io = pipe_skip(skip);
    if (!NT_SUCCESS(io)) {
        /* The pipe broke in the middle of this answer. */
        status = state == REQ_HELD ? STATUS_CANCELLED : STATUS_UNSUCCESSFUL;
        size = 0;
    }

    if (state == REQ_HELD) {
        finish(irp, status, size);
    } else {
        IoAcquireCancelSpinLock(&irql);
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        answer_waiter(irp, FALSE, status, size);
        IoReleaseCancelSpinLock(irql);
    }
    return io;
}

/* Applies a SHOW whose header has been read, and acknowledges it. Returns a
 * failure when the pipe failed or the SHOW is too long. */
static NTSTATUS take_show(const UCHAR *header)
{
    UCHAR flags[FERV_RELAY_MAX_ENDPOINTS];
    ULONG seq = FervRelayLoad32(header, FERV_RELAY_ANS_ID);
    ULONG count = FervRelayLoad32(header, FERV_RELAY_ANS_DATA);
    ULONG keepalive = FervRelayLoad32(header, FERV_RELAY_ANS_STATUS);
    NTSTATUS status;
    ULONG started;

    if (count > FERV_RELAY_MAX_ENDPOINTS)
        return STATUS_INVALID_PARAMETER;
    status = count ? pipe_transfer(TRUE, flags, count) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    /* A promise over a minute would never let a stall show. */
    InterlockedExchange(&g_keepalive_ms, (LONG)(keepalive > 60000 ? 60000 : keepalive));
    started = present(flags, count, seq);
    TRACE("relay: show %lu (%lu endpoints)\n", seq, count);
    send_event(FERV_RELAY_KIND_SHOWN, seq, started, 0);
    return STATUS_SUCCESS;
}

/* The reader thread: takes the service's messages until the pipe breaks, a
 * message cannot be framed, the service stalls, or it is asked to stop; then
 * ends the connection. */
static VOID NTAPI reader_main(PVOID context)
{
    UCHAR header[FERV_RELAY_ANS_SIZE];
    UNREFERENCED_PARAMETER(context);

    g_silent_ms = 0;
    for (;;) {
        ULONG kind;
        NTSTATUS status;
        if (!NT_SUCCESS(pipe_transfer(TRUE, header, sizeof header)))
            break;
        if (FervRelayLoad32(header, FERV_RELAY_ANS_MAGIC) != FERV_RELAY_MAGIC ||
            FervRelayLoad32(header, FERV_RELAY_ANS_DATA) > FERV_RELAY_MAX_DATA)
            break;
        kind = FervRelayLoad32(header, FERV_RELAY_ANS_KIND);
        if (kind == FERV_RELAY_KIND_SHOW)
            status = take_show(header);
        else if (kind == FERV_RELAY_KIND_KEEPALIVE)
            status = pipe_skip(FervRelayLoad32(header, FERV_RELAY_ANS_DATA));
        else
            status = take_answer(header);
        if (!NT_SUCCESS(status))
            break;
    }
    TRACE("relay: reader ends\n");
    /* The driver looks absent before any client learns that its request
     * failed, so that a client that tries again finds it gone. */
    present(NULL, 0, 0);
    drop_connection();
    /* Closing our end tells the service at once (a stalled one once it goes
     * on), so that it attaches again instead of talking to nobody. */
    KeWaitForSingleObject(&g_write_lock, Executive, KernelMode, FALSE, NULL);
    if (g_pipe) {
        ZwClose(g_pipe);
        g_pipe = NULL;
    }
    KeReleaseMutex(&g_write_lock, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* Stops the reader thread (if any) and closes the pipe; caller holds
 * g_pipe_lock. */
static void close_pipe(void)
{
    if (g_reader) {
        InterlockedExchange(&g_stop_reader, 1);
        ZwWaitForSingleObject(g_reader, FALSE, NULL);
        ZwClose(g_reader);
        g_reader = NULL;
    }
    KeWaitForSingleObject(&g_write_lock, Executive, KernelMode, FALSE, NULL);
    if (g_pipe) {
        ZwClose(g_pipe);
        g_pipe = NULL;
    }
    KeReleaseMutex(&g_write_lock, FALSE);
    InterlockedExchange(&g_keepalive_ms, 0);
    if (g_read_event) {
        ZwClose(g_read_event);
        g_read_event = NULL;
    }
    if (g_write_event) {
        ZwClose(g_write_event);
        g_write_event = NULL;
    }
}

/* Connects to the service's pipe and starts the reader; caller holds
 * g_pipe_lock and has closed any earlier connection. */
static NTSTATUS connect_pipe(void)
{
    OBJECT_ATTRIBUTES oa;
    UNICODE_STRING name;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status;
    HANDLE pipe;
    KIRQL irql;

    RtlInitUnicodeString(&name, FERV_RELAY_PIPE_KERNEL_NAME);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    /* No FILE_SYNCHRONOUS_IO_* option: the reader's read and a dispatch
     * routine's write must be able to run on the handle at once. */
    status = ZwCreateFile(&pipe, GENERIC_READ | GENERIC_WRITE, &oa, &iosb, NULL, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                          FILE_NON_DIRECTORY_FILE, NULL, 0);
    TRACE("relay: pipe open %08lx\n", (unsigned long)status);
    if (!NT_SUCCESS(status))
        return status;
    KeWaitForSingleObject(&g_write_lock, Executive, KernelMode, FALSE, NULL);
    g_pipe = pipe;
    KeReleaseMutex(&g_write_lock, FALSE);
    InitializeObjectAttributes(&oa, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwCreateEvent(&g_read_event, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE);
    if (NT_SUCCESS(status))
        status = ZwCreateEvent(&g_write_event, EVENT_ALL_ACCESS, &oa, NotificationEvent, FALSE);
    if (!NT_SUCCESS(status))
        return status;
    /* Connected before the reader starts, so that a reader that ends at once
     * leaves the flag cleared. */
    IoAcquireCancelSpinLock(&irql);
    g_connected = TRUE;
    if (++g_generation == 0) /* 0 marks a handle opened while disconnected */
        g_generation = 1;
    g_next_handle = 0;
    IoReleaseCancelSpinLock(irql);
    g_stop_reader = 0;
    status = PsCreateSystemThread(&g_reader, THREAD_ALL_ACCESS, &oa, NULL, NULL, reader_main, NULL);
    if (!NT_SUCCESS(status)) {
        g_reader = NULL;
        IoAcquireCancelSpinLock(&irql);
        g_connected = FALSE;
        IoReleaseCancelSpinLock(irql);
    }
    return status;
}

/* Ends the attachment of the service: its pipe closes (which fails every
 * request in flight) and the driver looks absent. Caller holds g_pipe_lock. */
static void detach_service(void)
{
    if (!g_service_file)
        return;
    TRACE("relay: service detaches\n");
    g_service_file = NULL;
    close_pipe();
    present(NULL, 0, 0);
}

/* Opening the service device attaches the service that serves the pipe.
 * One service at a time. */
static NTSTATUS service_create(PIO_STACK_LOCATION sp, PIRP irp)
{
    NTSTATUS status = STATUS_SUCCESS;

    KeWaitForSingleObject(&g_pipe_lock, Executive, KernelMode, FALSE, NULL);
    if (g_service_file) {
        status = STATUS_SHARING_VIOLATION;
    } else {
        close_pipe(); /* what is left of an earlier connection */
        status = connect_pipe();
        if (NT_SUCCESS(status)) {
            /* Nothing is present until the service says what it serves. */
            TRACE("relay: service attaches\n");
            g_service_file = sp->FileObject;
        } else {
            close_pipe();
        }
    }
    KeReleaseMutex(&g_pipe_lock, FALSE);
    return finish(irp, status, 0);
}

/* Closing the attached service's handle detaches it. Some hosts send only a
 * close, no cleanup, when a handle goes: both are handled alike. */
static NTSTATUS service_close(PIO_STACK_LOCATION sp, PIRP irp)
{
    KeWaitForSingleObject(&g_pipe_lock, Executive, KernelMode, FALSE, NULL);
    if (sp->FileObject == g_service_file)
        detach_service();
    KeReleaseMutex(&g_pipe_lock, FALSE);
    return finish(irp, STATUS_SUCCESS, 0);
}

/* ---- client requests --------------------------------------------------- */

/* A handle keeps the generation of the connection it was opened under, so
 * that it stays dead once that service has gone, as a connection to the
 * driver would, and the id the service knows it by. Opening a device that is
 * not present fails (on Windows; Wine opens the handle all the same, and its
 * requests then fail). */
static NTSTATUS client_create(struct relay_device *rd, PIO_STACK_LOCATION sp, PIRP irp)
{
    ULONG generation = 0, handle = 0;
    KIRQL irql;

    IoAcquireCancelSpinLock(&irql);
    if (g_connected) {
        generation = g_generation;
        if (++g_next_handle == 0)
            g_next_handle = 1;
        handle = g_next_handle;
    }
    IoReleaseCancelSpinLock(irql);
    sp->FileObject->FsContext = (PVOID)(ULONG_PTR)handle;
    sp->FileObject->FsContext2 = (PVOID)(ULONG_PTR)generation;
    if (!generation)
        return finish(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    send_event(FERV_RELAY_KIND_OPEN, handle, shown_seq(), rd->endpoint);
    return finish(irp, STATUS_SUCCESS, 0);
}

/* The client's handle is going: its held requests complete as cancelled, and
 * the service hears of it once. On Windows this comes as the cleanup request
 * and then the close; some hosts send only the close. */
static NTSTATUS client_close(PIO_STACK_LOCATION sp, PIRP irp)
{
    LIST_ENTRY done;
    PLIST_ENTRY e, next;
    ULONG handle = (ULONG)(ULONG_PTR)sp->FileObject->FsContext;
    BOOLEAN tell;
    KIRQL irql;

    InitializeListHead(&done);
    IoAcquireCancelSpinLock(&irql);
    for (e = g_requests.Flink; e != &g_requests; e = next) {
        PIRP held = irp_of(e);
        next = e->Flink;
        if (REQ_STATE(held) == REQ_HELD && IoGetCurrentIrpStackLocation(held)->FileObject == sp->FileObject)
            take_held(held, &done);
    }
    tell = handle && g_connected && (ULONG)(ULONG_PTR)sp->FileObject->FsContext2 == g_generation;
    sp->FileObject->FsContext = NULL;
    IoReleaseCancelSpinLock(irql);
    finish_all(&done, STATUS_CANCELLED);
    if (tell)
        send_event(FERV_RELAY_KIND_CLOSE, handle, 0, 0);
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS client_ioctl(struct relay_device *rd, PIO_STACK_LOCATION sp, PIRP irp)
{
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG inSize = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outSize = sp->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR header[FERV_RELAY_REQ_SIZE];
    struct first_answer w;
    ULONG id = 0;
    KIRQL irql;

    /* The driver's requests share one system buffer for input and output;
     * other transfer methods would need buffers this relay never sees. */
    if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED)
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (inSize > FERV_RELAY_MAX_DATA || outSize > FERV_RELAY_MAX_DATA)
        return finish(irp, STATUS_INVALID_PARAMETER, 0);

    KeInitializeEvent(&w.done, NotificationEvent, FALSE);
    w.pended = FALSE;
    w.status = STATUS_UNSUCCESSFUL;
    w.information = 0;

    /* In the list before the request is written, so that the reader finds it
     * however soon the answer comes. */
    IoAcquireCancelSpinLock(&irql);
    if (g_connected && (ULONG)(ULONG_PTR)sp->FileObject->FsContext2 == g_generation && sp->FileObject->FsContext) {
        id = new_id();
        SET_REQ(irp, 0, id);
        SET_REQ(irp, 1, REQ_AWAITING);
        irp->Tail.Overlay.DriverContext[2] = &w;
        InsertTailList(&g_requests, &irp->Tail.Overlay.ListEntry);
    }
    IoReleaseCancelSpinLock(irql);
    if (!id) /* The service this handle was opened on has gone. */
        return finish(irp, STATUS_UNSUCCESSFUL, 0);

    FervRelayStore32(header, FERV_RELAY_REQ_MAGIC, FERV_RELAY_MAGIC);
    FervRelayStore32(header, FERV_RELAY_REQ_KIND, FERV_RELAY_KIND_REQUEST);
    FervRelayStore32(header, FERV_RELAY_REQ_ID, id);
    FervRelayStore32(header, FERV_RELAY_REQ_CODE, code);
    FervRelayStore32(header, FERV_RELAY_REQ_ENDPOINT, rd->endpoint);
    FervRelayStore32(header, FERV_RELAY_REQ_IN_SIZE, inSize);
    FervRelayStore32(header, FERV_RELAY_REQ_OUT_SIZE, outSize);
    FervRelayStore32(header, FERV_RELAY_REQ_HANDLE, (ULONG)(ULONG_PTR)sp->FileObject->FsContext);
    /* A failed write ends the connection, which answers this request too. */
    pipe_send(header, sizeof header, irp->AssociatedIrp.SystemBuffer, inSize);

    KeWaitForSingleObject(&w.done, Executive, KernelMode, FALSE, NULL);
    if (w.pended)
        return STATUS_PENDING; /* marked pending by the reader; may be complete already */
    return finish(irp, w.status, w.information);
}

/* ---- Plug and Play ----------------------------------------------------- */

/* The instance number i of ROOT\<service>\<i>, asked of the bus driver; the
 * order of AddDevice calls when the instance id is not a plain number. */
static ULONG instance_number(PDEVICE_OBJECT pdo)
{
    IO_STATUS_BLOCK iosb;
    KEVENT event;
    NTSTATUS status;
    ULONG n = 0;
    BOOLEAN numeric = FALSE;
    PIRP irp;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, NULL, 0, NULL, &event, &iosb);
    if (irp) {
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MinorFunction = IRP_MN_QUERY_ID;
        sp->Parameters.QueryId.IdType = BusQueryInstanceID;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        iosb.Information = 0;
        status = IoCallDriver(pdo, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = iosb.Status;
        }
        if (NT_SUCCESS(status) && iosb.Information) {
            const WCHAR *id = (const WCHAR *)iosb.Information;
            const WCHAR *p;
            numeric = *id != 0;
            for (p = id; *p && numeric; p++) {
                if (*p < L'0' || *p > L'9' || n > 99999)
                    numeric = FALSE;
                else
                    n = n * 10 + (ULONG)(*p - L'0');
            }
            ExFreePool((PVOID)iosb.Information);
        }
    }
    if (!numeric)
        n = (ULONG)InterlockedIncrement(&g_instances) - 1;
    TRACE("relay: instance %lu (from its id: %d)\n", n, numeric);
    return n;
}

static NTSTATUS NTAPI add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    struct relay_device *rd;
    PDEVICE_OBJECT fdo;
    NTSTATUS status;

    status = IoCreateDevice(driver, sizeof *rd, NULL, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    rd = fdo->DeviceExtension;
    RtlZeroMemory(rd, sizeof *rd);
    rd->role = ROLE_INSTANCE;
    rd->endpoint = 1 + instance_number(pdo);
    status = IoRegisterDeviceInterface(pdo, &g_interface_class, NULL, &rd->interfaceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    rd->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!rd->lower) {
        RtlFreeUnicodeString(&rd->interfaceName);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI start_done(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* A started instance joins g_started, and its interface is enabled while the
 * service wants it present; a removed one leaves and its interface goes. */
static void set_started(struct relay_device *rd, BOOLEAN started)
{
    KeWaitForSingleObject(&g_present_lock, Executive, KernelMode, FALSE, NULL);
    if (started && !rd->isStarted) {
        InsertTailList(&g_started, &rd->started);
        g_started_count++;
        rd->isStarted = TRUE;
        apply_presence();
    } else if (!started && rd->isStarted) {
        RemoveEntryList(&rd->started);
        g_started_count--;
        rd->isStarted = FALSE;
        if (rd->shown)
            IoSetDeviceInterfaceState(&rd->interfaceName, FALSE);
        rd->shown = FALSE;
    }
    KeReleaseMutex(&g_present_lock, FALSE);
}

static NTSTATUS instance_pnp(PDEVICE_OBJECT device, struct relay_device *rd, PIO_STACK_LOCATION sp, PIRP irp)
{
    NTSTATUS status;

    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        /* The bus driver starts the device first. */
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, start_done, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(rd->lower, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = irp->IoStatus.Status;
        if (NT_SUCCESS(status))
            set_started(rd, TRUE);
        return finish(irp, status, 0);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        set_started(rd, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        PDEVICE_OBJECT lower = rd->lower;
        set_started(rd, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        RtlFreeUnicodeString(&rd->interfaceName);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(rd->lower, irp);
}

/* ---- dispatch ---------------------------------------------------------- */

static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    struct relay_device *rd = device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = sp->MajorFunction;

    if (rd->role == ROLE_INSTANCE && major == IRP_MJ_PNP)
        return instance_pnp(device, rd, sp, irp);
    if (rd->role == ROLE_INSTANCE && major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(rd->lower, irp);
    }
    if (rd->role == ROLE_SERVICE) {
        if (major == IRP_MJ_CREATE)
            return service_create(sp, irp);
        if (major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE)
            return service_close(sp, irp);
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    switch (major) {
    case IRP_MJ_CREATE:
        return client_create(rd, sp, irp);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        return client_close(sp, irp);
    case IRP_MJ_DEVICE_CONTROL:
        return client_ioctl(rd, sp, irp);
    case IRP_MJ_PNP:
    case IRP_MJ_POWER:
        /* The control device has no bus: left as the sender set it. */
        return finish(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    default:
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS create_device(PDRIVER_OBJECT driver, const WCHAR *nameText, ULONG role, ULONG endpoint,
                              PDEVICE_OBJECT *device)
{
    UNICODE_STRING name;
    struct relay_device *rd;
    NTSTATUS status;

    RtlInitUnicodeString(&name, nameText);
    status = IoCreateDevice(driver, sizeof *rd, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, device);
    if (!NT_SUCCESS(status))
        return status;
    rd = (*device)->DeviceExtension;
    RtlZeroMemory(rd, sizeof *rd);
    rd->role = role;
    rd->endpoint = endpoint;
    (*device)->Flags |= DO_BUFFERED_IO;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI unload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    UNREFERENCED_PARAMETER(driver);

    KeWaitForSingleObject(&g_pipe_lock, Executive, KernelMode, FALSE, NULL);
    detach_service();
    close_pipe();
    KeReleaseMutex(&g_pipe_lock, FALSE);
    RtlInitUnicodeString(&link, FERV_RELAY_SERVICE_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_service);
    IoDeleteDevice(g_control);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING name, link;
    NTSTATUS status;
    int i;
    UNREFERENCED_PARAMETER(registryPath);

    InitializeListHead(&g_requests);
    InitializeListHead(&g_started);
    KeInitializeMutex(&g_pipe_lock, 0);
    KeInitializeMutex(&g_write_lock, 0);
    KeInitializeMutex(&g_present_lock, 0);

    /* The control device's link appears only while a service is attached. */
    status =
        create_device(driver, FERV_RELAY_CONTROL_DEVICE_NAME, ROLE_CONTROL, FERV_RELAY_ENDPOINT_CONTROL, &g_control);
    if (!NT_SUCCESS(status))
        return status;
    status = create_device(driver, FERV_RELAY_SERVICE_DEVICE_NAME, ROLE_SERVICE, 0, &g_service);
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&name, FERV_RELAY_SERVICE_DEVICE_NAME);
        RtlInitUnicodeString(&link, FERV_RELAY_SERVICE_LINK_NAME);
        status = IoCreateSymbolicLink(&link, &name);
        if (!NT_SUCCESS(status))
            IoDeleteDevice(g_service);
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_control);
        return status;
    }

    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver->MajorFunction[i] = dispatch;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
