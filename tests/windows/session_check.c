/* SPDX-License-Identifier: Apache-2.0 */
/* Sessions through the C interface on Windows, against quorvex-server
 * --engine echo, timing each step: the echo engine answers with the byte
 * count and checksum of the audio it got, which must be what was sent. Waits
 * on the queue's handle as an application would. Each option is one check:
 *   session_check [--ca FILE|system] [--proxy URL] [--token T] CHECK...
 *     --sessions N URL   N sessions one after the other
 *     --at-once N URL    N sessions at once (start all, send to all, stop all);
 *                        after --real-time S each sends S seconds of audio in real time
 *     --refused URL      a refused connection: start result -2, category refused
 *     --silent URL       a server that accepts and never answers: start result -2
 *                        at the connect deadline (1 s here), from the library's timers
 *     --rejected URL CAT a start that fails with qv_failure_category CAT
 *     --vanish URL       a session whose server goes: prints "streaming" and then
 *                        needs the session error within 15 s (the caller kills the server)
 * --ca verifies wss:// certificates against a CA file or ("system") the
 * system's trusted roots; --proxy sends ws:// and wss:// through an HTTP proxy.
 * session_check --install-root FILE adds a PEM CA to the current user's trusted
 * roots (the store crypt32 calls "ROOT") and exits, for the checks that follow.
 * Cross-built with -static (no runtime DLL beside it), run under wine64. */
#include <quorvex/quorvex_c.h>

#include <windows.h>
#include <wincrypt.h>

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
static const char* token = "";
static int paced = 0, frames_at_once = 50;
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

/* A client whose events queue for qv_client_next_event; null when refused. */
static qv_client* queue_client(void) {
    qv_client_options options;
    memset(&options, 0, sizeof options);
    options.size = sizeof options;
    return qv_client_create(&options);
}

static int one_session(const char* url, int index, int frames) {
    qv_event event;
    unsigned char frame[640];
    unsigned checksum = 2166136261u;
    int ok = 1;
    qv_client* client = queue_client();
    if (!client) return 0;
    double t0 = now_ms();
    if (qv_client_start(client, url, token) != QV_OK) return 0;
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
    qv_event event;
    unsigned char frame[640];
    int ok = 0, started = 0;
    if (count > MAX_AT_ONCE) count = MAX_AT_ONCE;
    double t0 = now_ms();
    for (int i = 0; i < count; ++i) {
        clients[i] = queue_client();
        checksums[i] = 2166136261u;
        if (!clients[i] || qv_client_start(clients[i], url, token) != QV_OK) return 0;
    }
    for (int i = 0; i < count; ++i) {
        running[i] = wait_for(clients[i], QV_EVENT_START_RESULT, 0, 20000, &event) == QV_EVENT_START_RESULT && !event.code;
        started += running[i];
    }
    double t1 = now_ms();
    double sending = now_ms();
    for (int f = 0; f < frames_at_once; ++f) {
        /* Real time: one 20 ms frame per session every 20 ms, as from microphones. */
        double due = sending + 20.0 * f;
        if (paced && now_ms() < due) Sleep((DWORD)(due - now_ms()));
        for (int i = 0; i < count; ++i) {
            for (size_t b = 0; b < sizeof frame; ++b) frame[b] = (unsigned char)(b * 3 + (size_t)f + (size_t)i * 5);
            checksums[i] = fnv1a(frame, sizeof frame, checksums[i]);
            qv_client_send_audio(clients[i], frame, (int)sizeof frame);
        }
    }
    for (int i = 0; i < count; ++i)
        if (running[i]) qv_client_stop(clients[i]);
    for (int i = 0; i < count; ++i) {
        char expected[64];
        if (!running[i]) continue;
        last_text[0] = 0;
        int type = wait_for(clients[i], QV_EVENT_STOP_RESULT, QV_EVENT_SESSION_ERROR, 20000, &event);
        snprintf(expected, sizeof expected, "bytes=%d fnv1a=%08x", frames_at_once * (int)sizeof frame, checksums[i]);
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
    qv_event event;
    qv_client* client = queue_client();
    double t0 = now_ms();
    if (!client || qv_client_start(client, url, token) != QV_OK) return 0;
    int type = wait_for(client, QV_EVENT_START_RESULT, 0, 15000, &event);
    printf("refused: type %d code %d after %.1f ms\n", type, event.code, now_ms() - t0);
    while (qv_client_destroy(client) == QV_BUSY) wait_for(client, -1, -1, 100, &event);
    return type == QV_EVENT_START_RESULT && event.code == -2;
}

static int silent(const char* url) {
    qv_client_limits limits;
    qv_event event;
    memset(&limits, 0, sizeof limits);
    limits.size = sizeof limits;
    limits.connect_timeout_ms = 1000;
    if (qv_set_client_limits(&limits) != QV_OK) return 0;
    qv_client* client = queue_client();
    double t0 = now_ms();
    if (!client || qv_client_start(client, url, token) != QV_OK) return 0;
    int type = wait_for(client, QV_EVENT_START_RESULT, 0, 15000, &event);
    double took = now_ms() - t0;
    printf("silent: type %d code %d after %.1f ms\n", type, event.code, took);
    while (qv_client_destroy(client) == QV_BUSY) wait_for(client, -1, -1, 100, &event);
    return type == QV_EVENT_START_RESULT && event.code == -2 && took < 2000;
}

/* A start that must fail with the given category. */
static int rejected(const char* url, int category) {
    qv_event event;
    int heard = -1;
    qv_client* client = queue_client();
    double t0 = now_ms();
    if (!client || qv_client_start(client, url, token) != QV_OK) return 0;
    int type;
    while ((type = wait_for(client, QV_EVENT_START_RESULT, QV_EVENT_START_FAILURE, 15000, &event)) ==
           QV_EVENT_START_FAILURE)
        heard = event.category;
    printf("rejected: type %d code %d, category %d (want %d) after %.1f ms\n", type, event.code, heard, category,
           now_ms() - t0);
    while (qv_client_destroy(client) == QV_BUSY) wait_for(client, -1, -1, 100, &event);
    return type == QV_EVENT_START_RESULT && event.code != 0 && heard == category;
}

/* A session whose server goes away while it streams: the session error names
 * the state, and the client can be destroyed at once. */
static int vanish(const char* url) {
    qv_event event;
    unsigned char frame[640] = {0};
    qv_client* client = queue_client();
    if (!client || qv_client_start(client, url, token) != QV_OK) return 0;
    if (wait_for(client, QV_EVENT_START_RESULT, 0, 10000, &event) != QV_EVENT_START_RESULT || event.code) return 0;
    qv_client_send_audio(client, frame, (int)sizeof frame);
    printf("streaming\n");
    fflush(stdout);
    double t0 = now_ms();
    int type = wait_for(client, QV_EVENT_SESSION_ERROR, 0, 15000, &event);
    printf("vanish: type %d \"%s\" after %.1f ms\n", type, type ? event.text : "", now_ms() - t0);
    int good = type == QV_EVENT_SESSION_ERROR && strstr(event.text, "state:4");
    int destroyed;
    for (int tries = 0; (destroyed = qv_client_destroy(client)) == QV_BUSY && tries < 100; ++tries)
        wait_for(client, -1, -1, 100, &event);
    return good && destroyed == QV_OK;
}

static int usage(const char* program) {
    fprintf(stderr, "usage: %s [--ca FILE|system] [--proxy URL] [--token T] [--real-time S] --sessions N URL | --at-once N URL |"
                    " --refused URL | --silent URL | --rejected URL CATEGORY | --vanish URL ...\n", program);
    return 2;
}

/* The CA in the PEM file, into the ROOT store; 0 on success. */
static int install_root(const char* path) {
    char pem[16384];
    FILE* file = fopen(path, "rb");
    size_t size = file ? fread(pem, 1, sizeof pem - 1, file) : 0;
    if (file) fclose(file);
    BYTE der[16384];
    DWORD der_size = sizeof der;
    if (size == 0 || !CryptStringToBinaryA(pem, (DWORD)size, CRYPT_STRING_BASE64HEADER, der, &der_size, NULL, NULL)) {
        fprintf(stderr, "install-root: %s is not a PEM certificate\n", path);
        return 1;
    }
    HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
    BOOL added = store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, der_size,
                                                           CERT_STORE_ADD_REPLACE_EXISTING, NULL);
    if (store) CertCloseStore(store, 0);
    printf("install-root: %s\n", added ? "added" : "failed");
    return added ? 0 : 1;
}

int main(int argc, char** argv) {
    int failures = 0, checks = 0;
    if (argc == 3 && strcmp(argv[1], "--install-root") == 0) return install_root(argv[2]);
    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("quorvex %s\n", qv_version());
    double t0 = now_ms();
    if (qv_init(NULL) != QV_OK) return 3;
    printf("init %.1f ms\n", now_ms() - t0);
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : NULL;
        const char* third = i + 2 < argc ? argv[i + 2] : NULL;
        if (!value) return usage(argv[0]);
        if (strcmp(option, "--ca") == 0) {
            qv_tls_settings tls;
            memset(&tls, 0, sizeof tls);
            tls.size = sizeof tls;
            tls.verify = 1;
            if (strcmp(value, "system") != 0) tls.ca_file = value;
            if (qv_set_tls_settings(&tls) != QV_OK) return 4;
        } else if (strcmp(option, "--proxy") == 0) {
            qv_proxy_settings proxy;
            memset(&proxy, 0, sizeof proxy);
            proxy.size = sizeof proxy;
            proxy.ws_proxy = proxy.wss_proxy = value;
            if (qv_set_proxy_settings(&proxy) != QV_OK) return 4;
        } else if (strcmp(option, "--real-time") == 0) {
            paced = 1; /* the sessions of --at-once send SECONDS of audio in real time */
            frames_at_once = atoi(value) * 50;
        } else if (strcmp(option, "--token") == 0) {
            token = value;
        } else if (strcmp(option, "--refused") == 0) {
            failures += !refused(value);
        } else if (strcmp(option, "--silent") == 0) {
            failures += !silent(value);
        } else if (strcmp(option, "--vanish") == 0) {
            failures += !vanish(value);
        } else if (third && strcmp(option, "--sessions") == 0) {
            for (int n = 0; n < atoi(value); ++n) failures += !one_session(third, n, 50);
            ++i;
        } else if (third && strcmp(option, "--at-once") == 0) {
            failures += !at_once(third, atoi(value));
            ++i;
        } else if (third && strcmp(option, "--rejected") == 0) {
            failures += !rejected(value, atoi(third));
            ++i;
        } else {
            return usage(argv[0]);
        }
        checks += strcmp(option, "--ca") && strcmp(option, "--proxy") && strcmp(option, "--token") &&
                  strcmp(option, "--real-time");
        ++i;
    }
    t0 = now_ms();
    qv_release();
    printf("release %.1f ms; %d checks, %d failed\n", now_ms() - t0, checks, failures);
    return failures || !checks ? 1 : 0;
}
