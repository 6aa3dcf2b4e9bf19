/* SPDX-License-Identifier: Apache-2.0 */
#ifndef QUORVEX_QUORVEX_C_H
#define QUORVEX_QUORVEX_C_H

/*
 * quorvex's C interface (C99; usable from C++), for applications in C, for
 * other compilers than the library's and for bindings (Python, C#, Rust).
 * It is the C++ interface of quorvex.h underneath: the same results, the
 * same listener codes and texts, the same threads.
 *
 * Results: QV_OK (0) success; QV_ERROR (-1) a missing or bad argument, a log
 * file that cannot be opened or a request refused; QV_BUSY (-5) not allowed
 * in the current state.
 *
 * Threads: every function may be called from any application thread, and
 * none waits for the network. None waits for an event loop but
 * qv_client_destroy (a loop pass, or the close of a session that has ended)
 * and qv_release (until the loops have stopped); qv_client_next_event waits
 * only as long as its caller asks.
 *
 * Records that may grow carry their size as their first member: set it to
 * sizeof the record as your header declares it. A newer library reads only
 * that many bytes of yours (later members count as zero), and writes only
 * that many into a record it fills. Zero-initialise records ({0} or memset)
 * before setting members.
 *
 * Memory: the library frees what it allocates; texts it hands over belong to
 * it (see each). No C++ type or exception crosses this interface.
 */

#include <stddef.h>
#include <stdint.h>

#include "quorvex/export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QV_OK 0
#define QV_ERROR (-1)
#define QV_BUSY (-5)

/* ---- the library ----------------------------------------------------- */

/* Receives every log text. module is "quorvex"; both strings are valid only
 * during the call. Called on any thread, the event-loop threads included,
 * and by several at once: it must return quickly and take nothing that a
 * thread calling into the library may hold. */
typedef void (*qv_log_fn)(void* user, const char* module, const char* text);

typedef struct qv_log_settings {
    size_t size;          /* sizeof(qv_log_settings) */
    int enable;           /* 0: no log output at all */
    const char* path;     /* an existing file, overwritten from its start; NULL: none */
    qv_log_fn callback;   /* replaces standard output when set */
    void* user;           /* handed to callback */
    int no_stdout;        /* non-zero: nothing on standard output, so that a file alone
                             is written without a callback (which runs on the loop) */
} qv_log_settings;

/* "v1.0.0"; static. */
QUORVEX_API const char* qv_version(void);

/* Before qv_init: event-loop threads of the next qv_init, 1 to 16 (1, the
 * default, makes every event of every client on one thread). QV_OK;
 * QV_ERROR out of range; QV_BUSY while initialised. */
QUORVEX_API int qv_set_loop_threads(int count);

/* NULL log: logging off. QV_OK; QV_ERROR a record of size 0, a log file
 * that cannot be opened or an event loop that cannot start (printed on
 * standard output; call qv_release before trying again); QV_BUSY already
 * initialised, or being initialised on another thread (at once: it waits
 * for nothing; the log settings given are not used). */
QUORVEX_API int qv_init(const qv_log_settings* log);

/* Ends every connection and stops the loops. Clients that still exist can
 * only be destroyed afterwards. Calls that overlap it still return. Does
 * nothing in an event or log callback on a loop thread. */
QUORVEX_API void qv_release(void);

/* Bounds of sessions started afterwards; a member of 0 keeps its default.
 * The members and defaults are those of QvAsrClientLimits in quorvex.h. */
typedef struct qv_client_limits {
    size_t size;
    int connect_timeout_ms;    /* name lookup, TCP, TLS and upgrade (10000) */
    int start_timeout_ms;      /* the start answer after the upgrade (10000) */
    int stop_timeout_ms;       /* silence after qv_client_stop without the stop answer (10000) */
    int ping_after_seconds;    /* nothing received for this long: the server is pinged (10) */
    int hang_up_after_seconds; /* still nothing: the session ends (20) */
    int send_queue_bytes;      /* audio not yet taken by the network (2 MiB) */
} qv_client_limits;

/* QV_OK; QV_ERROR NULL, a negative member, seconds over 65535, or a
 * hang-up that does not come after the ping. */
QUORVEX_API int qv_set_client_limits(const qv_client_limits* limits);

/* Proxies of sessions started afterwards (HTTP proxies that tunnel with
 * CONNECT; credentials are sent as Proxy-Authorization, never logged). */
typedef struct qv_proxy_settings {
    size_t size;
    const char* ws_proxy;  /* "http://[user:password@]host:port" for ws://; NULL: none */
    const char* wss_proxy; /* the same for wss:// */
    const char* no_proxy;  /* hosts that go direct, as curl's no_proxy; NULL: none */
    int use_environment;   /* non-zero: what is not set comes from http_proxy,
                              https_proxy and no_proxy as curl reads them */
} qv_proxy_settings;

/* NULL: every connection direct, no environment read (the default). QV_OK;
 * QV_ERROR a proxy URL that does not parse. */
QUORVEX_API int qv_set_proxy_settings(const qv_proxy_settings* settings);

/* Certificate checks of wss:// sessions started afterwards. */
typedef struct qv_tls_settings {
    size_t size;
    int verify;          /* 0 (the default): any server certificate is accepted */
    const char* ca_file; /* PEM file of trusted CAs, read by this call; NULL: none */
    const char* ca_path; /* folder of CAs hashed by openssl rehash; NULL: none */
} qv_tls_settings;

/* NULL: back to the default. QV_OK; QV_ERROR a CA file that cannot be read
 * or holds no PEM certificate, a folder that does not exist, or CAs given
 * with verify 0 (the log says why; the previous settings stay). */
QUORVEX_API int qv_set_tls_settings(const qv_tls_settings* settings);

/* Resumption of sessions started afterwards; a member of 0 keeps its
 * default. The members, defaults and behaviour are those of
 * QvAsrResumeSettings in quorvex.h: a started session whose connection is
 * lost, or whose server goes away, is carried over to a new session with the
 * audio after the last final result replayed; QV_EVENT_RESUMED tells. */
typedef struct qv_resume_settings {
    size_t size;
    int enabled;        /* 0: off (the default) */
    int attempts;       /* connections tried after one loss (5); a session lost again before
                           it got past the audio replayed to it counts on from there */
    int backoff_ms;     /* wait before the first attempt (200), doubled each time ... */
    int backoff_max_ms; /* ... up to this (2000) */
    int jitter_percent; /* each wait drawn within this share below it (20) */
    int replay_ms;      /* audio kept for replay (30000, at most half of send_queue_bytes), allocated at start */
} qv_resume_settings;

/* NULL: off. QV_OK; QV_ERROR a record of size 0, a negative member, jitter
 * over 100, a maximum below the back-off, over 100 attempts, a back-off over
 * 60000 ms or a replay buffer over 600000 ms. */
QUORVEX_API int qv_set_resume_settings(const qv_resume_settings* settings);

/* ---- clients and their events --------------------------------------- */

typedef struct qv_client qv_client; /* opaque */

/* What a client hears, in the order the C++ listener hears it. */
typedef enum qv_event_type {
    QV_EVENT_START_RESULT = 1,  /* code 0 with text the session id; -4 refused; -2 connection failed */
    QV_EVENT_START_FAILURE = 2, /* right before a start result -2 or -4: why (category, status,
                                   retry_after_seconds; text: what failed, never credentials) */
    QV_EVENT_TEXT = 3,          /* a recognised text: bg, ed (ms of the session's audio), fin */
    QV_EVENT_SESSION_ERROR = 4, /* code 1: "disconnect from server! state:N", the server's description,
                                   or "send queue full, server not reading! state:N" */
    QV_EVENT_MESSAGE_ERROR = 5, /* code 1: "the msg is not json!" or "the msg is not for asr!" */
    QV_EVENT_STOP_RESULT = 6,   /* code 0: the server answered the stop request */
    QV_EVENT_DESTROYED = 7,     /* code 0: inside qv_client_destroy (callback clients only) */
    QV_EVENT_LOST = 8,          /* queue clients: code events were dropped at the queue's cap */
    QV_EVENT_RESUMED = 9        /* a lost session carried over: code the attempt, text the new session
                                   id, previous_session_id, replayed_ms, unreplayable_ms */
} qv_event_type;

/* Why a start failed; the values of QvAsrStartFailureCategory. */
typedef enum qv_failure_category {
    QV_FAILURE_OTHER = 0,
    QV_FAILURE_CONNECTION_REFUSED = 1,
    QV_FAILURE_NAME_NOT_RESOLVED = 2,
    QV_FAILURE_CONNECT_TIMEOUT = 3,
    QV_FAILURE_ANSWER_TIMEOUT = 4,
    QV_FAILURE_TLS_HANDSHAKE_FAILED = 5,
    QV_FAILURE_CERTIFICATE_REJECTED = 6,
    QV_FAILURE_PROXY_FAILED = 7,
    QV_FAILURE_UPGRADE_REFUSED = 8,
    QV_FAILURE_SESSION_REFUSED = 9
} qv_failure_category;

typedef struct qv_event {
    size_t size;      /* qv_client_next_event: the caller sets sizeof(qv_event) */
    int type;         /* a qv_event_type */
    int code;         /* the listener's code */
    const char* text; /* never NULL ("" when the C++ listener gets null) */
    int bg;           /* QV_EVENT_TEXT */
    int ed;
    int fin;
    int category;            /* QV_EVENT_START_FAILURE: a qv_failure_category */
    int status;              /* its HTTP status or msg_code, 0 where none */
    int retry_after_seconds; /* the server's Retry-After, 0 when none */
    const char* previous_session_id; /* QV_EVENT_RESUMED: the session lost ("" otherwise) */
    int replayed_ms;                 /* audio sent again, from the last final result's end */
    int unreplayable_ms;             /* audio after that end no longer kept (0 normally) */
} qv_event;

/* Called on the client's event-loop thread, one call at a time per client;
 * event and its text are valid only during the call. Must not call
 * qv_client_destroy, and should return quickly: it holds up the loop. */
typedef void (*qv_event_fn)(void* user, const qv_event* event);

typedef struct qv_client_options {
    size_t size;
    /* Set: events are delivered by calling it on the loop thread. NULL: they
     * are queued for qv_client_next_event, and the loop never calls the
     * application. */
    qv_event_fn callback;
    void* user;
    /* Queue clients: the most texts and message errors held at once (0:
     * 1024). Beyond it they are dropped, never waited for, and a
     * QV_EVENT_LOST event queued where they would have been says how many
     * (code; later drops add to it until it is taken). Start, failure,
     * session-error, stop and resumption events are never dropped;
     * qv_client_start refuses while 16 of them wait to be taken. */
    int queue_capacity;
} qv_client_options;

/* A new client, or NULL: not initialised, NULL options or a size of 0. */
QUORVEX_API qv_client* qv_client_create(const qv_client_options* options);

/* Connects and opens a session; both strings are copied. QV_OK requested
 * (the outcome comes as QV_EVENT_START_RESULT); QV_ERROR refused (NULL, a
 * malformed URL, not initialised); QV_BUSY not idle, or (queue clients) 16
 * session events not yet taken. */
QUORVEX_API int qv_client_start(qv_client* client, const char* url, const char* token);

/* One frame of 16-bit, 16 kHz, mono PCM, copied: length bytes at pcm. The
 * server receives exactly the bytes given, in whole samples (an odd byte
 * waits for the next frame; one left at stop is dropped). Several threads
 * may call it at once; it never waits for the network or the loop. QV_OK;
 * QV_ERROR NULL client or data, or a negative length; QV_BUSY no session
 * running. */
QUORVEX_API int qv_client_send_audio(qv_client* client, const void* pcm, int length);

/* Asks the server to end the session. QV_OK (QV_EVENT_STOP_RESULT follows);
 * QV_BUSY not running. */
QUORVEX_API int qv_client_stop(qv_client* client);

/* Frees the client; no other call on it may be running or follow (a send or
 * a qv_client_next_event waiting on another thread). QV_OK: freed (a callback client hears QV_EVENT_DESTROYED
 * first); QV_BUSY: it is connecting, starting, streaming or stopping, and
 * stays allocated: end the session and call again; QV_ERROR NULL. After
 * qv_release any client may be destroyed. */
QUORVEX_API int qv_client_destroy(qv_client* client);

/* What a client's session has done so far (see QvAsrSessionStats). Each
 * member is current when read; the record is no snapshot. */
typedef struct qv_session_stats {
    size_t size;
    long long audio_ms_sent;      /* audio accepted since start */
    long long bytes_queued;       /* waiting for the network now */
    long long queue_cap_bytes;    /* the send queue's cap */
    long long texts_received;     /* texts delivered since start */
    int resumptions;              /* sessions carried over since start */
    int last_ping_round_trip_ms;  /* -1 before any */
    int last_final_latency_ms;    /* from the send of the audio at a final's ed to its event (within a frame);
                                     -1 before any, or for audio sent over 12.8 s of audio earlier */
} qv_session_stats;

/* Any thread, at any time; never waits for the loop. QV_OK; QV_ERROR NULL
 * or a record of size 0. */
QUORVEX_API int qv_client_stats(qv_client* client, qv_session_stats* stats);

/* Queue clients. Waits up to timeout_ms (0: not at all) for the next event
 * and fills *event with at most event->size bytes. 1: an event; 0: none in
 * time; QV_ERROR bad arguments or a negative timeout; QV_BUSY a callback
 * client. The event's text is valid until the next call on this client or
 * its destruction; call it from one thread at a time per client. */
QUORVEX_API int qv_client_next_event(qv_client* client, int timeout_ms, qv_event* event);

/* Queue clients: a descriptor that is readable while events are queued, for
 * poll, select, epoll or an event loop (asyncio's add_reader). Read nothing
 * from it yourself; qv_client_next_event does. -1 for a callback client. It
 * stays valid until qv_client_destroy frees the client. */
QUORVEX_API int qv_client_event_fd(qv_client* client);

#ifdef __cplusplus
}
#endif

#endif
