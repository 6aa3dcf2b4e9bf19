/* SPDX-License-Identifier: Apache-2.0 */
/* An application built with Microsoft's ABI (clang --target=x86_64-pc-windows-msvc,
 * lld-link, no C run-time: kernel32 and quorvex.dll only) running a session
 * through the C interface against quorvex-server --engine echo, which must
 * confirm every byte sent.
 *   msvc_session URL          built with QV_IMPORT_LIBRARY: quorvex.dll through
 *                             its import library
 *   msvc_session URL load     built without: LoadLibrary, a session, qv_release,
 *                             FreeLibrary, and then the DLL gone and no thread
 *                             beyond those before the load
 * Exit 0 when all went as documented; otherwise the failed step's number. */
#include <quorvex/quorvex_c.h>

/* The few kernel32 functions used, declared here: no Windows SDK is needed. */
typedef void* HANDLE;
typedef void* HMODULE;
typedef int BOOL;
typedef unsigned long DWORD;
typedef struct {
    DWORD dwSize, cntUsage, th32ThreadID, th32OwnerProcessID;
    long tpBasePri, tpDeltaPri;
    DWORD dwFlags;
} THREADENTRY32;
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
__declspec(dllimport) HMODULE __stdcall LoadLibraryA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(HMODULE module, const char* name);
__declspec(dllimport) BOOL __stdcall FreeLibrary(HMODULE module);
__declspec(dllimport) HANDLE __stdcall CreateToolhelp32Snapshot(DWORD flags, DWORD process);
__declspec(dllimport) BOOL __stdcall Thread32First(HANDLE snapshot, THREADENTRY32* entry);
__declspec(dllimport) BOOL __stdcall Thread32Next(HANDLE snapshot, THREADENTRY32* entry);
__declspec(dllimport) BOOL __stdcall CloseHandle(HANDLE handle);
__declspec(dllimport) DWORD __stdcall GetCurrentProcessId(void);
__declspec(dllimport) BOOL __stdcall GetModuleHandleExA(DWORD flags, const char* name, HMODULE* module);
__declspec(dllimport) char* __stdcall GetCommandLineA(void);

/* What the compiler may call for structure copies and zeroing. */
void* memset(void* to, int value, size_t size);
void* memset(void* to, int value, size_t size) {
    unsigned char* bytes = (unsigned char*)to;
    while (size--) *bytes++ = (unsigned char)value;
    return to;
}

static void say(const char* text) {
    DWORD length = 0, written;
    while (text[length]) ++length;
    WriteFile(GetStdHandle((DWORD)-11), text, length, &written, 0);
}

static void say_number(unsigned long long value) {
    char digits[24];
    int at = 23;
    digits[at] = 0;
    do digits[--at] = (char)('0' + value % 10); while ((value /= 10) != 0);
    say(digits + at);
}

static void to_hex(unsigned value, char* out) {
    for (int i = 7; i >= 0; --i, value >>= 4) out[i] = "0123456789abcdef"[value & 15];
    out[8] = 0;
}

static int same(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

/* The interface, taken from the import library or from GetProcAddress. */
static struct {
    int (*init)(const qv_log_settings*);
    void (*release)(void);
    qv_client* (*create)(const qv_client_options*);
    int (*start)(qv_client*, const char*, const char*);
    int (*send_audio)(qv_client*, const void*, int);
    int (*stop)(qv_client*);
    int (*destroy)(qv_client*);
    int (*next_event)(qv_client*, int, qv_event*);
} qv;

#ifdef QV_IMPORT_LIBRARY
static void from_import_library(void) {
    qv.init = qv_init;
    qv.release = qv_release;
    qv.create = qv_client_create;
    qv.start = qv_client_start;
    qv.send_audio = qv_client_send_audio;
    qv.stop = qv_client_stop;
    qv.destroy = qv_client_destroy;
    qv.next_event = qv_client_next_event;
}
#else
static int from_loaded(HMODULE dll) {
    void** slots[] = {(void**)&qv.init, (void**)&qv.release, (void**)&qv.create, (void**)&qv.start,
                      (void**)&qv.send_audio, (void**)&qv.stop, (void**)&qv.destroy, (void**)&qv.next_event};
    const char* names[] = {"qv_init", "qv_release", "qv_client_create", "qv_client_start",
                           "qv_client_send_audio", "qv_client_stop", "qv_client_destroy", "qv_client_next_event"};
    for (int i = 0; i < 8; ++i)
        if ((*slots[i] = GetProcAddress(dll, names[i])) == 0) return 0;
    return 1;
}
#endif

static int threads_of_this_process(void) {
    THREADENTRY32 entry;
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(4 /* TH32CS_SNAPTHREAD */, 0);
    if (snapshot == (HANDLE)-1) return -1;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

/* The next event of the wanted type within 10 s; the last final text is kept. */
static char last_text[128];
static int wait_for(qv_client* client, int wanted, qv_event* event) {
    for (int waited = 0; waited < 100; ++waited) {
        memset(event, 0, sizeof *event);
        event->size = sizeof *event;
        while (qv.next_event(client, 100, event) == 1) {
            if (event->type == QV_EVENT_TEXT && event->fin) {
                int i = 0;
                for (; event->text[i] && i < (int)sizeof last_text - 1; ++i) last_text[i] = event->text[i];
                last_text[i] = 0;
            }
            if (event->type == wanted) return 1;
            if (event->type == QV_EVENT_START_FAILURE || event->type == QV_EVENT_SESSION_ERROR) {
                say(event->text);
                say("\n");
            }
        }
    }
    return 0;
}

static int session(const char* url) {
    qv_client_options options;
    qv_event event;
    unsigned char frame[640];
    unsigned checksum = 2166136261u;
    memset(&options, 0, sizeof options);
    options.size = sizeof options;
    qv_client* client = qv.create(&options);
    if (!client || qv.start(client, url, "") != QV_OK) return 11;
    if (!wait_for(client, QV_EVENT_START_RESULT, &event) || event.code != 0) return 12;
    for (int f = 0; f < 25; ++f) {
        for (int i = 0; i < (int)sizeof frame; ++i) frame[i] = (unsigned char)(i * 5 + f);
        for (int i = 0; i < (int)sizeof frame; ++i) checksum = (checksum ^ frame[i]) * 16777619u;
        if (qv.send_audio(client, frame, (int)sizeof frame) != QV_OK) return 13;
    }
    if (qv.stop(client) != QV_OK || !wait_for(client, QV_EVENT_STOP_RESULT, &event)) return 14;
    char expected[48] = "bytes=16000 fnv1a=";
    to_hex(checksum, expected + 18);
    say("echo engine: \"");
    say(last_text);
    say("\", sent: \"");
    say(expected);
    say("\"\n");
    if (!same(last_text, expected)) return 15;
    while (qv.destroy(client) == QV_BUSY) wait_for(client, -1, &event);
    return 0;
}

static int run(const char* url, int load) {
    HMODULE dll = 0;
    int before = threads_of_this_process();
#ifdef QV_IMPORT_LIBRARY
    if (load) return 2; /* an imported DLL stays for the process's life */
    from_import_library();
#else
    if (!load) return 2;
    if ((dll = LoadLibraryA("quorvex.dll")) == 0) return 2;
    if (!from_loaded(dll)) return 3;
#endif
    if (qv.init(0) != QV_OK) return 4;
    int failed = session(url);
    qv.release();
    if (failed || !load) return failed;
    if (!FreeLibrary(dll)) return 5;
    HMODULE still;
    int unloaded = !GetModuleHandleExA(2 /* UNCHANGED_REFCOUNT */, "quorvex.dll", &still);
    int after = threads_of_this_process();
    say("threads before LoadLibrary ");
    say_number((unsigned long long)before);
    say(", after FreeLibrary ");
    say_number((unsigned long long)after);
    say(unloaded ? "; quorvex.dll unloaded\n" : "; quorvex.dll still loaded\n");
    return !unloaded ? 6 : after != before ? 7 : 0;
}

/* No C run-time: the arguments come from the command line as Windows keeps it
 * (the program's name, the URL, then "load" or nothing; no quoting needed). */
void mainCRTStartup(void);
void mainCRTStartup(void) {
    static char line[1024];
    char* words[4] = {0};
    int count = 0;
    const char* raw = GetCommandLineA();
    int at = 0;
    for (; raw[at] && at < (int)sizeof line - 1; ++at) line[at] = raw[at];
    line[at] = 0;
    for (char* p = line; *p && count < 4;) {
        while (*p == ' ') *p++ = 0;
        if (!*p) break;
        if (*p == '"') {
            words[count++] = ++p;
            while (*p && *p != '"') ++p;
            if (*p) *p++ = 0;
        } else {
            words[count++] = p;
            while (*p && *p != ' ') ++p;
        }
    }
    if (count < 2) {
        say("usage: msvc_session URL [load]\n");
        ExitProcess(2);
    }
    int failed = run(words[1], count > 2 && same(words[2], "load"));
    say(failed ? "msvc_session: failed at step " : "msvc_session: ok\n");
    if (failed) {
        say_number((unsigned long long)failed);
        say("\n");
    }
    ExitProcess((unsigned)failed);
}
