// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_QUORVEX_H
#define QUORVEX_QUORVEX_H

// quorvex: streaming speech-recognition client.
//
// Call QUORVEX::init once, create clients with createAsrInstance, bind a
// listener with QvAsrClient::init, then start / sendAudio / stop. Every
// listener call is made on the library's event-loop thread (one unless
// setLoopThreads asks for more); texts handed to a listener are valid only
// during the call. Results: 0 success, -1 bad argument or refused request,
// -5 not allowed in the current state.
//
// Threads: every entry point may be called from any application thread.
// None waits for the network; none waits for the event loop except
// destroyAsrInstance (until the loop has checked the client, and closed
// the connection of a session that has ended), deleting a client (a loop
// pass) and release (until the loop threads
// have closed every connection and stopped). Never call those two from a
// listener. sendAudio may be called by several threads at once and from an
// audio callback: it copies the frame and makes at most one system call (the
// loop's wake-up; none while audio flows, when the loop looks for frames
// every millisecond on its own). It takes no lock: its hand-off to the loop is atomic
// operations only, so no other thread, the loop's included, can make it wait.

// The library's version at compile time; getVersion() gives it at run time.
#define QUORVEX_VERSION_MAJOR 1
#define QUORVEX_VERSION_MINOR 0
#define QUORVEX_VERSION_PATCH 0
#define QUORVEX_VERSION_STRING "v1.0.0"

#include "quorvex/export.h"

namespace QUORVEX {

// Receives every log text: module name ("quorvex") and the text, both
// NUL-terminated and valid only during the call. May be entered by several
// threads at once.
typedef void (*QvAsrSdkLogCallback)(const char* module, const char* text);

struct QvAsrSdkLogParam {
    bool enableLog;                  // false: no log output at all
    const char* logPath;             // existing file, overwritten from its start; null: none
    QvAsrSdkLogCallback logCallback; // replaces standard output when set
};

// Reserved for future settings; the library reads nothing from it.
struct QvAsrSdkInitParam {
    int reserved;
};

struct QvAsrStartParam {
    const char* url;   // ws://host[:port][/path] or wss://...
    const char* token; // access token sent with the session start request
};

// One frame of PCM audio: 16 bits per sample, 16000 Hz, one channel.
struct QvAsrAudioFrame {
    const unsigned char* data;
    int length; // bytes at data
    int channels;
    int sampleRate;
    int bitsPerSample;
};

struct QvAsrRecognitionResult {
    int bg; // start of the text, in milliseconds of audio from the session's start
    int ed; // end of the text, in milliseconds from the same point
    int fin;
    const char* text;
};

// Implemented by the application. All calls arrive on the event-loop thread.
// A listener must not call destroyAsrInstance.
class QvAsrClientListener {
public:
    virtual ~QvAsrClientListener() {}
    // code 1; "the msg is not json!" or "the msg is not for asr!"
    virtual void onMessageError(int code, const char* text) = 0;
    // code 1; "disconnect from server! state:N" or the server's description
    virtual void onSessionError(int code, const char* text) = 0;
    // code 0; called while the library's destruction lock is held
    virtual void onDestroyed(int code) = 0;
    // 0 with the session id; -4 session refused; -2 connection failed (id null)
    virtual void onStartResult(int code, const char* sessionId) = 0;
    virtual void onRecognitionText(const QvAsrRecognitionResult* result) = 0;
    // 0 when the server answered the stop request
    virtual void onStopResult(int code) = 0;
};

// Why a start ended in onStartResult(-2) or onStartResult(-4).
enum class QvAsrStartFailureCategory : int {
    Other = 0,               // none below: a handshake broken off, a server that speaks no WebSocket,
                             // the library shutting down
    ConnectionRefused = 1,   // TCP refused: nothing listens there (or, where the system does not
                             // tell them apart, the address cannot be reached)
    NameNotResolved = 2,     // the server's host name does not resolve
    ConnectTimeout = 3,      // no connection within connectTimeoutMs: nothing answered, or the
                             // name lookup did not end
    AnswerTimeout = 4,       // connected, but the proxy's tunnel, TLS or the upgrade did not complete
                             // within connectTimeoutMs, or the start answer within startTimeoutMs
    TlsHandshakeFailed = 5,  // TLS failed for another reason than the certificate; the text says
                             // what in words: a plain server behind a wss:// URL, a certificate
                             // chain over 100 KiB, no TLS version or cipher in common
    CertificateRejected = 6, // verification (setTlsSettings) refused the server's certificate:
                             // unknown issuer, expired, name mismatch (the text says which)
    ProxyFailed = 7,         // the proxy cannot be reached or resolved, refused the tunnel
                             // (407 credentials, 403), or did not answer in HTTP; status: its
                             // answer, 0 when none came
    UpgradeRefused = 8,      // the server answered the WebSocket upgrade with an HTTP status
                             // (404: wrong path; 503: draining, retry elsewhere)
    SessionRefused = 9,      // the server refused the session: status is its msg_code (401 wrong
                             // token, 429 too many attempts or too fast, 503 busy: retry later)
};

struct QvAsrStartFailure {
    QvAsrStartFailureCategory category;
    int status;            // the HTTP status or msg_code the category names; 0 where there is none
    int retryAfterSeconds; // the server's Retry-After with a refused upgrade; 0 when it gave none
    const char* text;      // SessionRefused: the server's msg_desc as sent (maybe ""); otherwise what
                           // failed and where, a proxy by its address; never credentials
};

// Optional: registered with setStartFailureListener, or implemented by the
// application on the object it gives QvAsrClient::init, next to
// QvAsrClientListener, where init finds it when the application is built
// with RTTI. Called on the event-loop thread right before each
// onStartResult(-2) or onStartResult(-4), which it explains. failure and its
// text are valid only during the call. Like the listener, it must not call
// destroyAsrInstance.
class QUORVEX_API QvAsrStartFailureListener {
public:
    virtual ~QvAsrStartFailureListener();
    virtual void onStartFailure(const QvAsrStartFailure* failure) = 0;
};

class QvAsrClient {
public:
    // Call destroyAsrInstance (result 0) before deleting a client. Deleting
    // waits for the client's loop to let go of it (a loop pass).
    virtual ~QvAsrClient() {}
    // Binds the listener, and its QvAsrStartFailureListener when the same
    // object implements one and its class has type information (an
    // application built with -fno-rtti registers it with
    // setStartFailureListener instead; init never reads type information
    // that is not there). A listener without one unbinds what a previous init
    // found, never what was registered. 0, or -1 for null (the previous one stays).
    virtual int init(QvAsrClientListener* listener) = 0;
    // Connects and opens a session; 0 requested, -1 refused, -5 busy.
    // The outcome arrives through onStartResult.
    virtual int start(const QvAsrStartParam* param) = 0;
    // Sends one frame while the session runs; 0, -1 wrong format (in every
    // state, tested first) or a null or negative-length frame, -5 not running.
    // The server receives exactly the bytes given, in whole 16-bit samples: a
    // frame of odd length leaves its last byte to lead the next frame's, and
    // one still waiting at stop() is dropped (and logged).
    // Any thread, several at once: the frame is copied and handed to the loop,
    // which writes it within its next passes. Never waits for the network or the
    // loop; no allocation once audio flows; at most one system call.
    virtual int sendAudio(const QvAsrAudioFrame* frame) = 0;
    // Asks the server to end the session; 0, or -5 not running.
    virtual int stop() = 0;
};

// Registers a client's failure listener (see QvAsrStartFailureListener):
// the way for an application built without RTTI, and for a failure
// listener on an object of its own. Any thread; heard from the next failure
// on; null unregisters. Later optional listeners are registered the same
// way. 0; -1 null client.
QUORVEX_API int setStartFailureListener(QvAsrClient* client, QvAsrStartFailureListener* listener);

// Bounds on every session started after setClientLimits, so that a dead,
// silent or non-reading server ends a session instead of holding it. A field
// of 0 keeps its default; the defaults change nothing with a healthy server.
struct QvAsrClientLimits {
    int connectTimeoutMs;   // name lookup, TCP, TLS and upgrade (10000): onStartResult(-2)
    int startTimeoutMs;     // the start answer after the upgrade (10000): onStartResult(-2)
    int stopTimeoutMs;      // silence after stop() without the stop answer (10000): the connection
                            // closes, onSessionError(1, "disconnect from server! state:5")
    int pingAfterSeconds;   // nothing received for this long: the server is pinged (10)
    int hangUpAfterSeconds; // still nothing: onSessionError(1, "disconnect from server! state:N") (20)
    int sendQueueBytes;     // audio not yet taken by the network (2 MiB, about a minute); beyond
                            // it onSessionError(1, "send queue full, server not reading! state:N")
                            // and sendAudio returns -5
};

// Any thread. 0; -1 null record, a negative field, seconds over 65535, or a
// hang-up that does not come after the ping.
QUORVEX_API int setClientLimits(const QvAsrClientLimits* limits);

// Resumption of sessions started after setResumeSettings (off by default).
// With it, a started or stopping session whose connection is lost without
// the session having ended (a reset, a close without the stop answer, the
// dead-peer hang-up) or whose server goes away (EXCEPTION_NTF 503, close
// 1001) is carried over to a new session: the client connects again to the
// same URL (behind a balancer, likely another server), starts a session with
// the same token, replays the audio kept since the end of the last final
// result, and goes on with what the application sends, in order. Never after
// an answer the client caused (400, 401, 409, 413), a full send queue, or a
// session that ended. Meanwhile sendAudio returns 0 and keeps what it is
// given (up to the send queue's cap, and what the replay buffer holds beyond
// the audio waiting for replay; past that it returns -5 and the session ends
// as a full queue does). A stop() called before or during the loss stops
// the new session once the audio is replayed, so the last final result and
// onStopResult(0) still come. The listener hears the same calls as for an
// unbroken session: texts of the new session have bg/ed shifted onto the
// first session's timeline, and no final result comes twice. When every
// attempt fails, onStartFailure explains the last one, then
// onSessionError(1, "disconnect from server! state:N") ends the session as
// without resumption. Audio in the replay buffer is in the order the
// writers' calls reserved it: with several threads calling sendAudio at once
// their frames may be replayed in another interleaving than first sent.
// A field of 0 keeps its default.
struct QvAsrResumeSettings {
    bool enabled;      // false: sessions end on a loss, as specified (the default)
    int attempts;      // connections tried after one loss before giving up (5); a session lost
                       // again before it got past the audio replayed to it counts on from there
    int backoffMs;     // wait before the first attempt (200), doubled before each next one ...
    int backoffMaxMs;  // ... up to this (2000)
    int jitterPercent; // each wait drawn at random within this share below it (20; 0 to 100)
    int replayMs;      // audio kept for replay, allocated when the session starts (30000;
                       // 32 bytes a millisecond; at most half of sendQueueBytes, which the
                       // replay goes into); older audio is lost on a resumption
};

// Any thread; sessions started afterwards. Null: off. 0; -1 a negative
// field, jitter over 100, a back-off maximum below the back-off, more than
// 100 attempts, a back-off over 60000 ms or a replay buffer over 600000 ms.
QUORVEX_API int setResumeSettings(const QvAsrResumeSettings* settings);

struct QvAsrResumeInfo {
    const char* previousSessionId; // the session that was lost
    const char* newSessionId;      // the session that carries on
    int attempt;                   // 1 for the first attempt after the loss (see attempts)
    int replayedMs;                // audio sent again: from the last final result's end on
    int unreplayableMs;            // audio after that end that was no longer kept (0 normally)
};

// Optional, registered with setResumeListener. Called on the event-loop
// thread once a lost session has been carried over to a new one and its
// kept audio handed to the new connection. info and its texts are valid
// only during the call. Like the listener, it must not call destroyAsrInstance.
class QUORVEX_API QvAsrResumeListener {
public:
    virtual ~QvAsrResumeListener();
    virtual void onResumed(const QvAsrResumeInfo* info) = 0;
};

// Any thread; heard from the next resumption on; null unregisters. 0; -1 null client.
QUORVEX_API int setResumeListener(QvAsrClient* client, QvAsrResumeListener* listener);

// What a client's session has done so far. Set size to sizeof the record as
// your header declares it: a newer library fills that many bytes, so fields
// may be added at the end. Each field is current when read, but the record
// is no snapshot: fields are read one by one while the session runs.
struct QvAsrSessionStats {
    int size;
    long long audioMsSent;     // audio accepted by sendAudio since start (32 bytes a millisecond)
    long long bytesQueued;     // audio and messages waiting for the network now
    long long queueCapBytes;   // the send queue's cap (sendQueueBytes)
    long long textsReceived;   // recognition texts delivered since start
    int resumptions;           // sessions carried over since start
    int lastPingRoundTripMs;   // the last ping's answer, -1 before any
    int lastFinalLatencyMs;    // the last final result: from sendAudio's call that gave the audio at
                               // its ed to the listener's call (within a frame); -1 before any, or
                               // when that audio was sent more than 12.8 s of audio earlier
};

// Any thread, at any time; never waits for the loop. 0; -1 null client or
// record, or a size below the size field's end.
QUORVEX_API int getSessionStats(QvAsrClient* client, QvAsrSessionStats* stats);

// Proxies for sessions started after setProxySettings. Each connection
// decides on its own whether it goes through a proxy: an HTTP proxy that
// tunnels with CONNECT, its credentials (any length, any bytes once
// percent-decoded, %00 too) sent as Proxy-Authorization and never logged.
// A connection given a proxy goes through it or not at all: a proxy that
// refuses, cannot be reached or answers in something else than HTTP ends
// the attempt with onStartResult(-2) (ProxyFailed), and the log names the
// proxy and its answer. The answer is read as it comes, in any pieces at
// any pace, within connectTimeoutMs.
struct QvAsrProxySettings {
    const char* wsProxy;    // for ws://: "http://[user:password@]host:port"; null or "": none set
    const char* wssProxy;   // the same for wss://
    const char* noProxy;    // hosts that go direct, as curl's no_proxy; null: none set
    bool ignoreEnvironment; // true: the environment is never read, whatever useEnvironment says
    // true: what is not set above comes from the environment as curl reads it:
    // http_proxy for ws://, https_proxy for wss:// (lower case first, then upper
    // case), and no_proxy / NO_PROXY. False (the default): the library reads no
    // environment variable. This field sits where older versions of the record
    // had padding, so the record's size is unchanged; an older caller that
    // value-initialised its record (QvAsrProxySettings p{};) reads as false.
    bool useEnvironment;
};

// Any thread. Without it, or with null, every connection goes direct: the
// environment is read only when a record asks for it (useEnvironment). A
// no-proxy list, set or read, as curl reads it: entries separated by commas
// or blanks, case-insensitive; "*" (every host); host names, which their
// subdomains match too, a dot at either end of an entry or at the end of the
// URL's host not counting ("localhost." and ".example.com"); IP addresses,
// matched by value or within a CIDR range ("127.0.0.0/8", "::1/128"; IPv6
// with or without brackets), which only a URL with that address matches,
// never a name that resolves to it. The URL's port plays no part, and an
// entry with a port of its own ("host:8080") matches nothing, as in curl.
// Settings that are set win over
// the environment. 0; -1 a proxy URL that does not parse.
QUORVEX_API int setProxySettings(const QvAsrProxySettings* settings);

// Certificate checks of wss:// sessions started after setTlsSettings.
// Fields may be added at the end in later versions, and the library reads
// the record of its own version: value-initialise it (QvAsrTlsSettings tls{};
// then set fields) so that a field the caller does not set is zero, and
// build against the header that ships with the library in use.
struct QvAsrTlsSettings {
    bool verify;        // false (the default): any server certificate is accepted
    const char* caFile; // PEM file of trusted CAs (a bundle may hold several); read whole by each
                        // setTlsSettings call, so a file rewritten later counts from the next
                        // call on; null: none
    const char* caPath; // folder of trusted CA certificates, each under its subject hash as
                        // openssl rehash (or c_rehash) names them; read when a server is checked,
                        // so CAs added later count; null: none
};

// Any thread. With verify, the server's chain must lead to a trusted CA (the
// system's store, caFile or caPath), be in date, and name the URL's host: a
// host name among its DNS names, an address (wss://127.0.0.1, wss://[::1])
// among its IP addresses, compared as addresses; a
// server that fails this ends the attempt with onStartResult(-2), and the log
// says why (unknown issuer, expired, name mismatch). Null: back to the
// default. Settings may change any number of times; each loop thread serves
// at most 16 distinct CA settings (a CA file's contents, a folder) in use by
// open or opening sessions at once, and a start beyond that ends with
// onStartResult(-2) (Other, "too many distinct CA settings in use at once").
// Proxies and their credentials count against no such limit.
// 0; -1, with a log line saying why, and the previous settings kept:
// a CA file or folder given with verification off, a CA file that cannot be
// read, holds no PEM certificate (a DER file, say) or one that does not
// parse, a caPath that does not exist or is not a folder.
QUORVEX_API int setTlsSettings(const QvAsrTlsSettings* settings);

// Before init: the number of event-loop threads the next init starts (1 to
// 16; 1, the default, keeps every listener call on one thread). With more,
// each client is bound to one loop for its life, round robin at
// createAsrInstance, and hears all of its events on that loop's thread:
// listeners of different clients may then run at the same time. 0; -1 out
// of range; -5 while initialised.
QUORVEX_API int setLoopThreads(int count);

// 0; -1 missing record, log file that cannot be opened, or an event loop that
// cannot start (the log says why); -5 already initialised, or being
// initialised on another thread (at once, changing nothing).
QUORVEX_API int init(QvAsrSdkLogParam* logParam, QvAsrSdkInitParam* initParam);
// Tears the library down. Clients that still exist lose their connections.
// Does nothing on an event-loop thread (a listener). Meant to run alone;
// calls that overlap it all the same still return: those inside finish first
// (a destruction whose check can no longer run returns -5), those that come
// later find the library not initialised.
QUORVEX_API void release();
// "v1.0.0"; static, never freed.
QUORVEX_API const char* getVersion();
// A new client, or null when the library is not initialised.
QUORVEX_API QvAsrClient* createAsrInstance();
// Waits for one loop pass, then by the client's state: idle or closed, 0 at
// once; its session ended (stop answered, refused, or failed) but its
// connection still open, the library closes it and waits for the close
// (normally milliseconds; up to 2 s for a peer that takes nothing), then 0;
// still connecting, starting, streaming or stopping, -5 at once: end the
// session (stop, or wait for its end) and call again, briefly retrying. On 0
// the listener has heard onDestroyed(0) and the client may be deleted. A
// client never destroyed stays allocated and its listener must live until
// release. -1 null client; -5 when called on the event-loop thread.
QUORVEX_API int destroyAsrInstance(QvAsrClient* client);

} // namespace QUORVEX

#endif
