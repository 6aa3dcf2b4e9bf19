/* SPDX-License-Identifier: Apache-2.0 */
/* Sessions through the C interface on Windows, against quorvex-server
 * --engine echo, timing each step: the echo engine answers with the byte
 * count and checksum of the audio it got, which must be what was sent. Also a
 * refused connection. Waits on the queue's handle as an application would.
 *   session_check URL [sessions] [refused-url|-] [ca-file|system|-] [silent-url]
 * A negative number of sessions runs that many at once instead, one after
 * the other in each step (start all, send to all, stop all).
 * With a fourth argument wss:// certificates are verified, against that CA
 * file or ("system") the system's trusted roots. A silent URL is a server
 * that accepts and never answers: the start must fail at the connect
 * deadline (1 s here), which the library's own timers enforce.
 * Cross-built with -static (no runtime DLL beside it), run under wine64. */
#include <quorvex/quorvex_c.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static double now_ms(void) {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return (double)counter.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static unsigned fnv1a(const unsigned char* bytes, size_t size, unsigned hash) {
    for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

/* The next event of one of the wanted types within timeout_ms, waiting on the
 * queue's handle; its type, 0 on timeout. Texts are kept in last_text. */
static char last_text[256];
static int wait_for(qv_client* client, int wanted_a, int wanted_b, int timeout_ms, qv_event* event) {
    HANDLE ready = (HANDLE)(INT_PTR)qv_client_event_fd(client);
    double until = now_ms() + timeout_ms;
    for (;;) {
        double left = until - now_ms();
        if (left < 0) return 0;
        if (WaitForSingleObject(ready, (DWORD)left) != WAIT_OBJECT_0) return 0;
        memset(event, 0, sizeof *event);
        event->size = sizeof *event;
        while (qv_client_next_event(client, 0, event) == 1) {
            if (event->type == QV_EVENT_TEXT && event->fin)
                snprintf(last_text, sizeof last_text, "%s", event->text);
            if (event->type == QV_EVENT_START_FAILURE)
                printf("  start failure: category %d: %s\n", event->category, event->text);
            if (event->type == wanted_a || event->type == wanted_b) return event->type;
        }
    }
}

static int one_session(const char* url, int index, int frames) {
    qv_client_options options;
    qv_event event;
    unsigned char frame[640];
    unsigned checksum = 2166136261u;
    int ok = 1;
    memset(&options, 0, sizeof options);
    options.size = sizeof options;
    qv_client* client = qv_client_create(&options);
    if (!client) return 0;
    double t0 = now_ms();
    if (qv_client_start(client, url, "") != QV_OK) return 0;
    int type = wait_for(client, QV_EVENT_START_RESULT, 0, 10000, &event);
    double t1 = now_ms();
    if (type != QV_EVENT_START_RESULT || event.code != 0) {
        printf("session %d: no start (type %d code %d) after %.1f ms\n", index, type, event.code, t1 - t0);
        ok = 0;
    } else {
        for (int f = 0; f < frames; ++f) {
            for (size_t i = 0; i < sizeof frame; ++i) frame[i] = (unsigned char)(i * 7 + (size_t)f * 13 + (size_t)index);
            checksum = fnv1a(frame, sizeof frame, checksum);
            if (qv_client_send_audio(client, frame, (int)sizeof frame) != QV_OK) ok = 0;
        }
        double t2 = now_ms();
        last_text[0] = 0;
        if (qv_client_stop(client) != QV_OK) ok = 0;
        type = wait_for(client, QV_EVENT_STOP_RESULT, QV_EVENT_SESSION_ERROR, 10000, &event);
        double t3 = now_ms();
        char expected[64];
        snprintf(expected, sizeof expected, "bytes=%d fnv1a=%08x", frames * (int)sizeof frame, checksum);
        if (type != QV_EVENT_STOP_RESULT || strcmp(last_text, expected) != 0) ok = 0;
        printf("session %d: start %.1f ms, send %.1f ms, stop %.1f ms; got \"%s\", want \"%s\": %s\n", index,
               t1 - t0, t2 - t1, t3 - t2, last_text, expected, ok ? "ok" : "WRONG");
    }
    double t4 = now_ms();
    int destroyed;
    while ((destroyed = qv_client_destroy(client)) == QV_BUSY) wait_for(client, -1, -1, 100, &event);
    printf("session %d: destroy %.1f ms\n", index, now_ms() - t4);
    return ok && destroyed == QV_OK;
}

#define MAX_AT_ONCE 256
static int at_once(const char* url, int count) {
    static qv_client* clients[MAX_AT_ONCE];
    static unsigned checksums[MAX_AT_ONCE];
    static int running[MAX_AT_ONCE];
    qv_client_options options;
    qv_event event;
    unsigned char frame[640];
    int ok = 0, started = 0;
    if (count > MAX_AT_ONCE) count = MAX_AT_ONCE;
    memset(&options, 0, sizeof options);
    options.size = sizeof options;
    double t0 = now_ms();
    for (int i = 0; i < count; ++i) {
        clients[i] = qv_client_create(&options);
        checksums[i] = 2166136261u;
        if (!clients[i] || qv_client_start(clients[i], url, "") != QV_OK) return 0;
    }
    for (int i = 0; i < count; ++i) {
        running[i] = wait_for(clients[i], QV_EVENT_START_RESULT, 0, 20000, &event) == QV_EVENT_START_RESULT && !event.code;
        started += running[i];
    }
    double t1 = now_ms();
    for (int f = 0; f < 50; ++f)
        for (int i = 0; i < count; ++i) {
            for (size_t b = 0; b < sizeof frame; ++b) frame[b] = (unsigned char)(b * 3 + (size_t)f + (size_t)i * 5);
            checksums[i] = fnv1a(frame, sizeof frame, checksums[i]);
            qv_client_send_audio(clients[i], frame, (int)sizeof frame);
        }
    for (int i = 0; i < count; ++i)
        if (running[i]) qv_client_stop(clients[i]);
    for (int i = 0; i < count; ++i) {
        char expected[64];
        if (!running[i]) continue;
        last_text[0] = 0;
        int type = wait_for(clients[i], QV_EVENT_STOP_RESULT, QV_EVENT_SESSION_ERROR, 20000, &event);
        snprintf(expected, sizeof expected, "bytes=%d fnv1a=%08x", 50 * (int)sizeof frame, checksums[i]);
        int good = type == QV_EVENT_STOP_RESULT && strcmp(last_text, expected) == 0;
        if (!good && count - started + i - ok < 3)
            printf("  client %d: event %d \"%s\", last text \"%s\", want \"%s\" (%.1f ms)\n", i, type,
                   type ? event.text : "", last_text, expected, now_ms() - t0);
        ok += good;
    }
    double t2 = now_ms();
    for (int i = 0; i < count; ++i)
        while (qv_client_destroy(clients[i]) == QV_BUSY) wait_for(clients[i], -1, -1, 100, &event);
    printf("%d at once: %d started in %.1f ms, %d confirmed by %.1f ms, destroyed by %.1f ms\n", count, started,
           t1 - t0, ok, t2 - t0, now_ms() - t0);
    return ok == count;
}

static int refused(const char* url) {
    qv_client_options options;
    qv_event event;
    memset(&options, 0, sizeof options);
    options.size = sizeof options;
    qv_client* client = qv_client_create(&options);
    double t0 = now_ms();
    if (!client || qv_client_start(client, url, "") != QV_OK) return 0;
    int type = wait_for(client, QV_EVENT_START_RESULT, 0, 15000, &event);
    printf("refused: type %d code %d after %.1f ms\n", type, event.code, now_ms() - t0);
    while (qv_client_destroy(client) == QV_BUSY) wait_for(client, -1, -1, 100, &event);
    return type == QV_EVENT_START_RESULT && event.code == -2;
}

static int silent(const char* url) {
    qv_client_limits limits;
    qv_client_options options;
    qv_event event;
    memset(&limits, 0, sizeof limits);
    limits.size = sizeof limits;
    limits.connect_timeout_ms = 1000;
    if (qv_set_client_limits(&limits) != QV_OK) return 0;
    memset(&options, 0, sizeof options);
    options.size = sizeof options;
    qv_client* client = qv_client_create(&options);
    double t0 = now_ms();
    if (!client || qv_client_start(client, url, "") != QV_OK) return 0;
    int type = wait_for(client, QV_EVENT_START_RESULT, 0, 15000, &event);
    double took = now_ms() - t0;
    printf("silent: type %d code %d after %.1f ms\n", type, event.code, took);
    while (qv_client_destroy(client) == QV_BUSY) wait_for(client, -1, -1, 100, &event);
    return type == QV_EVENT_START_RESULT && event.code == -2 && took < 2000;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s URL [sessions] [refused-url|-] [ca-file|system|-] [silent-url]\n", argv[0]);
        return 2;
    }
    int sessions = argc > 2 ? atoi(argv[2]) : 1;
    int failures = 0;
    printf("quorvex %s\n", qv_version());
    double t0 = now_ms();
    if (qv_init(NULL) != QV_OK) return 3;
    printf("init %.1f ms\n", now_ms() - t0);
    if (argc > 4 && strcmp(argv[4], "-") != 0) {
        qv_tls_settings tls;
        memset(&tls, 0, sizeof tls);
        tls.size = sizeof tls;
        tls.verify = 1;
        if (strcmp(argv[4], "system") != 0) tls.ca_file = argv[4];
        if (qv_set_tls_settings(&tls) != QV_OK) return 4;
    }
    if (sessions < 0) failures += !at_once(argv[1], -sessions);
    for (int i = 0; i < sessions; ++i) failures += !one_session(argv[1], i, 50);
    if (argc > 3 && strcmp(argv[3], "-") != 0) failures += !refused(argv[3]);
    if (argc > 5) failures += !silent(argv[5]);
    t0 = now_ms();
    qv_release();
    printf("release %.1f ms; %d failed\n", now_ms() - t0, failures);
    return failures ? 1 : 0;
}
