/* SPDX-License-Identifier: Apache-2.0 */
/* A whole session through the C interface, compiled as C: start, audio cut
 * into odd pieces, stop, destroy, release. Prints the echo engine's last
 * final text, then what it should say. Built twice: against the header of
 * today and against an older one whose records are shorter.
 *   session_c URL
 * Exit 0 when every step went as documented; otherwise the step's number. */
#include <quorvex/quorvex_c.h>

#include <stdio.h>
#include <string.h>

#define CANARY 0xC0FFEEu

/* An older caller's record, then memory the library must not write. */
struct guarded_event {
    qv_event event;
    unsigned canary;
};

static int next_event(qv_client* client, struct guarded_event* got) {
    got->event.size = sizeof got->event;
    return qv_client_next_event(client, 10000, &got->event);
}

static unsigned fnv1a(const unsigned char* bytes, size_t size) {
    unsigned hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

static int stream(qv_client* client, const unsigned char* pcm, size_t size) {
    for (size_t at = 0; at < size; at += 641) {
        size_t piece = size - at < 641 ? size - at : 641;
        if (qv_client_send_audio(client, pcm + at, (int)piece) != QV_OK) return 0;
    }
    return 1;
}

int main(int argc, char** argv) {
    static unsigned char pcm[32000];
    struct guarded_event got;
    qv_client_options options;
    char last[128] = "";
    if (argc < 2) return 2;
    if (qv_init(NULL) != QV_OK) return 3;
    memset(&options, 0, sizeof options);
    options.size = sizeof options;
    qv_client* client = qv_client_create(&options);
    if (!client || qv_client_event_fd(client) < 0) return 4;
    if (qv_client_start(client, argv[1], "token") != QV_OK) return 5;
    got.canary = CANARY;
    do {
        if (next_event(client, &got) != 1) return 6;
    } while (got.event.type == QV_EVENT_START_FAILURE);
    if (got.event.type != QV_EVENT_START_RESULT || got.event.code != 0) return 7;
    for (size_t i = 0; i < sizeof pcm; ++i) pcm[i] = (unsigned char)(i * 7 + 3);
    if (!stream(client, pcm, sizeof pcm) || qv_client_stop(client) != QV_OK) return 8;
    for (;;) {
        if (next_event(client, &got) != 1) return 9;
        if (got.event.type == QV_EVENT_TEXT && got.event.fin) snprintf(last, sizeof last, "%s", got.event.text);
        if (got.event.type == QV_EVENT_SESSION_ERROR) return 10;
        if (got.event.type == QV_EVENT_STOP_RESULT) break;
    }
    if (got.canary != CANARY) return 11;
    if (qv_client_destroy(client) != QV_OK) return 12;
    qv_release();
    printf("%s\nbytes=%u fnv1a=%08x\n", last, (unsigned)sizeof pcm, fnv1a(pcm, sizeof pcm));
    return 0;
}
