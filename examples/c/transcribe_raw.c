/* SPDX-License-Identifier: Apache-2.0 */
/* quorvex from C: streams raw 16 kHz 16-bit mono PCM from standard input
 * to the server named on the command line and prints the final texts. The
 * events are taken from the client's queue on this thread; the library's
 * loop never calls this program.
 *   arecord -q -f S16_LE -r 16000 -c 1 -t raw | transcribe_raw ws://host:port/asr [token] */
#include <quorvex/quorvex_c.h>

#include <stdio.h>
#include <string.h>
#ifdef _WIN32
#  include <fcntl.h>
#  include <io.h>
#endif

/* Prints what has come, waiting at most timeout_ms for the first event.
 * Returns 0 while the session goes on, 1 once it started (start result 0),
 * 2 once it ended, -1 when it failed. */
static int drain(qv_client* client, int timeout_ms) {
    qv_event event;
    memset(&event, 0, sizeof event);
    event.size = sizeof event;
    while (qv_client_next_event(client, timeout_ms, &event) == 1) {
        timeout_ms = 0;
        switch (event.type) {
        case QV_EVENT_START_FAILURE: fprintf(stderr, "cannot start: %s\n", event.text); break;
        case QV_EVENT_START_RESULT: return event.code == 0 ? 1 : -1;
        case QV_EVENT_TEXT:
            if (event.fin) printf("%s\n", event.text);
            break;
        case QV_EVENT_SESSION_ERROR: fprintf(stderr, "session error: %s\n", event.text); return -1;
        case QV_EVENT_STOP_RESULT: return 2;
        default: break;
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    unsigned char frame[640]; /* 20 ms */
    qv_client_options options;
    size_t got;
    int state = 0;
    if (argc < 2) {
        fprintf(stderr, "usage: %s ws://host:port/asr [token] < audio.raw\n", argv[0]);
        return 2;
    }
#ifdef _WIN32
    /* Standard input is opened in text mode there: CR LF pairs and a 0x1A
     * byte, both common in PCM, would be changed or end the input. */
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    if (qv_init(NULL) != QV_OK) return 3;
    memset(&options, 0, sizeof options);
    options.size = sizeof options;
    qv_client* client = qv_client_create(&options);
    if (!client || qv_client_start(client, argv[1], argc > 2 ? argv[2] : "") != QV_OK) return 3;
    /* The start result (audio is taken only once it is 0): the library's
     * connect and start deadlines bound the wait. */
    while ((state = drain(client, 10000)) == 0) {
    }
    while (state == 1 && (got = fread(frame, 1, sizeof frame, stdin)) > 0) {
        if (qv_client_send_audio(client, frame, (int)got) != QV_OK) state = -1;
        if (drain(client, 0) < 0) state = -1;
    }
    if (state == 1 && qv_client_stop(client) == QV_OK)
        while ((state = drain(client, 10000)) == 0) {
        }
    while (qv_client_destroy(client) == QV_BUSY) { /* a session still running is stopped first */
        qv_client_stop(client);
        drain(client, 100);
    }
    qv_release();
    return state == 2 ? 0 : 5;
}
