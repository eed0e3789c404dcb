/* async_glue: the host's asynchronous socket context, through which the pool,
 * the domain map, certificate mapping and administrator recognition run their
 * directory work without blocking the host's threads.
 *
 * The host fills (or lends) one `async_glue` record: a 32-bit label, then one
 * function per slot in slot order; slot n sits at position n of the record
 * (the label is slot 0). Slots the library never calls are kept as padding so
 * that the numbers hold.
 *
 * Objects:
 * - GDisp: a dispatcher. Every callback started for a dispatcher runs later on
 *   one of the host's threads, never two of the same dispatcher at a time, and
 *   never inside the call that started it. A "handle" (slot 2) is a GDisp too:
 *   it carries timers and user slots, and it may serve as a dispatcher of its
 *   own; attached to a dispatcher (slot 14) its timers run on that dispatcher.
 * - async_engine: the event loop a dispatcher lives on.
 * - async_stream: one TCP connection, optionally with TLS.
 * - Blocks (slot 9): memory bound to a dispatcher, zero-filled, with the
 *   caller's completion callback and event function. The blocks of one
 *   dispatcher nest: slots 10 and 11 end the newest outstanding block.
 *
 * Results: 0 for success, -1 for failure unless a slot says otherwise.
 * Ownership: blocks belong to their dispatcher and are freed by slots 10 and
 * 11 (or when the handle goes); a stream belongs to its caller until slot 18.
 * Threading: every slot may be called from any thread; the functions a slot
 * takes run on the dispatcher's thread of the moment. */
#ifndef VEXCORE_ASYNC_GLUE_H
#define VEXCORE_ASYNC_GLUE_H

#include <stddef.h>
#include <stdint.h>
#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

/* Labels. A context with a label of ASYNC_SOCKETCTX_LABEL_SECURE or above can
 * start TLS (slot 41); one of ASYNC_SOCKETCTX_LABEL_ERRTEXT or above provides
 * slots 43 and 44. */
#define ASYNC_SOCKETCTX_LABEL_V1 0x654321u
#define ASYNC_SOCKETCTX_LABEL_SECURE 0x654323u
#define ASYNC_SOCKETCTX_LABEL_ERRTEXT 0x654324u
#define ASYNC_SOCKETCTX_LABEL_COMPAT 0x654421u

/* Connect statuses stored by slot 24. */
enum {
    ASYNC_CONNECT_OK = 0,
    ASYNC_CONNECT_CANCELLED = 1,    /* cancelled or timed out */
    ASYNC_CONNECT_LOOKUP_FAILED = 2,
    ASYNC_CONNECT_SOCKET_FAILED = 3
};

/* Failed reads (slots 29, 31) and writes (slots 28, 30). */
enum {
    ASYNC_IO_FAILED = -2,   /* error or time-out */
    ASYNC_IO_CLOSED = -3    /* the peer closed before anything was read */
};

/* Values an event function (slot 9) receives other than cookies. Cookies
 * from slot 13 are always at least ASYNC_COOKIE_MIN. */
enum {
    ASYNC_EVENT_RELEASED = 1,  /* the block's handle was released (slot 3) */
    ASYNC_EVENT_DISPOSE = 2,   /* slot 11 is disposing of the block */
    ASYNC_EVENT_SHUTDOWN = 3,  /* the handle's engine went away */
    ASYNC_COOKIE_MIN = 16
};

/* A block of this size asks for a one-word user slot; it always has room for
 * one pointer. */
#define ASYNC_USER_SLOT_SIZE 4

/* Name lookup failures, reported as the last error (slot 8) after a connect
 * stored ASYNC_CONNECT_LOOKUP_FAILED. */
enum {
    ASYNC_ELOOKUP_CONFIG = -2,   /* DNS configuration error */
    ASYNC_ELOOKUP_TIMEDOUT = -3, /* lookup timed out / try again */
    ASYNC_ELOOKUP_NOTFOUND = -4, /* domain name not found */
    ASYNC_ELOOKUP_BADNAME = -5   /* bad domain name request */
};

typedef struct GDisp GDisp;
typedef struct async_engine async_engine;
typedef struct async_stream async_stream;

/* A function started through a slot: runs once with its argument. */
typedef void (*async_glue_fn)(void *arg);
/* A block's event function: receives the block and a cookie or an
 * ASYNC_EVENT_ value. Its result is the owner's business. */
typedef int (*async_glue_event_fn)(void *block, intptr_t value);
/* Padding for slot numbers no caller uses. */
typedef void (*async_glue_unused_fn)(void);

/* 1: the engine `disp` lives on. */
typedef async_engine *(*async_glue_disp_engine_fn)(GDisp *disp);
/* 2: a new handle on `engine`, or null. Released with slot 3. */
typedef GDisp *(*async_glue_handle_new_fn)(async_engine *engine);
/* 3: releases a handle: its timer is cancelled, its pending scheduled
 * functions are dropped, and each of its blocks still outstanding gets
 * ASYNC_EVENT_RELEASED and is freed (completion callbacks do not run). */
typedef void (*async_glue_handle_release_fn)(GDisp *handle);
/* 5: runs fn(arg) later on `disp`. */
typedef int (*async_glue_schedule_fn)(GDisp *disp, async_glue_fn fn, void *arg);
/* 6: arms the handle's timer: fn(arg) runs on the handle's dispatcher after
 * `ms` milliseconds. A handle has one timer; arming again replaces it. On
 * expiry, connects pending on that dispatcher (slot 24) are abandoned first. */
typedef int (*async_glue_timer_fn)(GDisp *handle, int32_t ms, async_glue_fn fn, void *arg);
/* 8: the last error number recorded for `disp` by a failed connect, read or
 * write whose function it ran; 0 for none. */
typedef int (*async_glue_last_error_fn)(GDisp *disp);
/* 9: a zero-filled block of `size` bytes bound to `disp`, or null. callback
 * (may be null) runs with `arg` when the block is completed (slots 10, 11);
 * event (may be null) receives cookies and ASYNC_EVENT_ values. */
typedef void *(*async_glue_block_fn)(GDisp *disp, size_t size, async_glue_fn callback, void *arg,
                                      async_glue_event_fn event);
/* 10: completes the newest outstanding block of `disp`: later, on `disp`,
 * its callback runs and the block is freed; the event function is not
 * called. -1 when `disp` has no block. */
typedef int (*async_glue_complete_fn)(GDisp *disp);
/* 11: as slot 10, and after the callback the event function receives
 * ASYNC_EVENT_DISPOSE before the block is freed. */
typedef int (*async_glue_complete_dispose_fn)(GDisp *disp);
/* 12: if `target` has an armed timer, cancels it (its function does not
 * run). Otherwise delivers `cookie` later, on `target`, to the event
 * function of the block that owns it (see slot 13), if it is still there. */
typedef int (*async_glue_cookie_fn)(GDisp *target, intptr_t cookie);
/* 13: a new cookie, owned by the newest outstanding block of `disp` that has
 * an event function (or, with none, by whichever such block is newest when
 * the cookie is delivered). */
typedef intptr_t (*async_glue_cookie_new_fn)(GDisp *disp);
/* 14: attaches `handle` to `disp`: the handle's timer functions run on
 * `disp` from now on. */
typedef int (*async_glue_attach_fn)(GDisp *disp, GDisp *handle);
/* 16: a new unconnected stream, or null. */
typedef async_stream *(*async_glue_stream_new_fn)(void);
/* 17: a stream that owns the connected socket `sock`, or null (the socket
 * stays the caller's then). */
typedef async_stream *(*async_glue_stream_wrap_fn)(int sock);
/* 18: with `free_it` 1 closes and frees the stream; pending operations are
 * abandoned (their cells are not written, their functions do not run).
 * REQUIRES: called on the dispatcher of its pending operations, or with
 * none pending. */
typedef int (*async_glue_stream_close_fn)(async_stream *stream, int free_it);
/* 19, 20: read and write time-outs in milliseconds; 0 waits without limit.
 * The write time-out also bounds a connect. */
typedef int (*async_glue_stream_timeout_fn)(async_stream *stream, int32_t ms);
/* 24: resolves `host` (`hostlen` bytes) and connects to `port`; stores a
 * connect status in *status, records the error for slot 8, then runs
 * fn(arg) on `disp`. When a timer of a handle attached to `disp` expires
 * first, status 1 is stored before the timer's function runs and fn does not
 * run. -1 (nothing started) on bad arguments. */
typedef int (*async_glue_connect_fn)(async_stream *stream, const char *host, int hostlen, int port,
                                      int *status, GDisp *disp, async_glue_fn fn, void *arg);
/* 28: writes all `len` bytes; stores the count or ASYNC_IO_FAILED in
 * *result, then runs fn(arg) on `disp`. */
typedef int (*async_glue_write_async_fn)(async_stream *stream, const void *buf, int len, int *result,
                                          GDisp *disp, async_glue_fn fn, void *arg);
/* 29: reads at least `minimum` and at most `room` bytes; stores the count,
 * ASYNC_IO_FAILED, or ASYNC_IO_CLOSED (peer closed with nothing read; a
 * close after some bytes stores their count), then runs fn(arg) on `disp`. */
typedef int (*async_glue_read_async_fn)(async_stream *stream, void *buf, int room, int minimum,
                                         int *result, GDisp *disp, async_glue_fn fn, void *arg);
/* 30: writes all `len` bytes within the write time-out: the count, or
 * ASYNC_IO_FAILED. */
typedef int (*async_glue_write_fn)(async_stream *stream, const void *buf, int len);
/* 31: reads what is there (at least 1 byte) within the read time-out: the
 * count, ASYNC_IO_FAILED or ASYNC_IO_CLOSED. */
typedef int (*async_glue_read_fn)(async_stream *stream, void *buf, int room);
/* 36, 42: notifications after TLS started (argument 0) and after a socket was
 * wrapped (argument 1). */
typedef int (*async_glue_stream_hook_fn)(async_stream *stream, int what);
/* 41: TLS handshake on a connected stream, checking the server's certificate
 * for `host` unless the context was told not to; non-zero on success. */
typedef int (*async_glue_tls_start_fn)(async_stream *stream, int reserved, const char *host);
/* 43: the stream's last error number, 0 for none. */
typedef int (*async_glue_stream_error_fn)(async_stream *stream);
/* 44: the constant text of an error number of slots 8 and 43. `reserved`
 * must be null. */
typedef const char *(*async_glue_error_text_fn)(void *reserved, int error);

typedef struct async_glue async_glue;

struct async_glue {
    uint32_t label;                                   /* 0 */
    async_glue_disp_engine_fn disp_engine;            /* 1 */
    async_glue_handle_new_fn handle_new;              /* 2 */
    async_glue_handle_release_fn handle_release;      /* 3 */
    async_glue_unused_fn unused4;                     /* 4 */
    async_glue_schedule_fn schedule;                  /* 5 */
    async_glue_timer_fn timer;                        /* 6 */
    async_glue_unused_fn unused7;                     /* 7 */
    async_glue_last_error_fn last_error;              /* 8 */
    async_glue_block_fn block;                        /* 9 */
    async_glue_complete_fn complete;                  /* 10 */
    async_glue_complete_dispose_fn complete_dispose;  /* 11 */
    async_glue_cookie_fn cookie;                      /* 12 */
    async_glue_cookie_new_fn cookie_new;              /* 13 */
    async_glue_attach_fn attach;                      /* 14 */
    async_glue_unused_fn unused15;                    /* 15 */
    async_glue_stream_new_fn stream_new;              /* 16 */
    async_glue_stream_wrap_fn stream_wrap;            /* 17 */
    async_glue_stream_close_fn stream_close;          /* 18 */
    async_glue_stream_timeout_fn read_timeout;        /* 19 */
    async_glue_stream_timeout_fn write_timeout;       /* 20 */
    async_glue_unused_fn unused21;                    /* 21 */
    async_glue_unused_fn unused22;                    /* 22 */
    async_glue_unused_fn unused23;                    /* 23 */
    async_glue_connect_fn connect;                    /* 24 */
    async_glue_unused_fn unused25;                    /* 25 */
    async_glue_unused_fn unused26;                    /* 26 */
    async_glue_unused_fn unused27;                    /* 27 */
    async_glue_write_async_fn write_async;            /* 28 */
    async_glue_read_async_fn read_async;              /* 29 */
    async_glue_write_fn write;                        /* 30 */
    async_glue_read_fn read;                          /* 31 */
    async_glue_unused_fn unused32;                    /* 32 */
    async_glue_unused_fn unused33;                    /* 33 */
    async_glue_unused_fn unused34;                    /* 34 */
    async_glue_unused_fn unused35;                    /* 35 */
    async_glue_stream_hook_fn tls_started;            /* 36 */
    async_glue_unused_fn unused37;                    /* 37 */
    async_glue_unused_fn unused38;                    /* 38 */
    async_glue_unused_fn unused39;                    /* 39 */
    async_glue_unused_fn unused40;                    /* 40 */
    async_glue_tls_start_fn tls_start;                /* 41 */
    async_glue_stream_hook_fn wrapped;                /* 42 */
    async_glue_stream_error_fn stream_error;          /* 43 */
    async_glue_error_text_fn error_text;              /* 44 */
};

VEXCORE_END_DECLS

#endif
