// SPDX-License-Identifier: Apache-2.0
// The C interface: whole sessions from programs compiled as C (against
// today's header and an older one), the event queue's cap and descriptor,
// and callback clients.
#include <poll.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "asr_fixture.h"
#include "program_run.h"
#include "quorvex/quorvex_c.h"
#include "refusing_port.h"
#include "scratch_file.h"
#include "server/asr_server.h"
#include "server/engine.h"

using namespace quorvex::test;

namespace {

bool readable(int descriptor) {
    pollfd ready{descriptor, POLLIN, 0};
    return poll(&ready, 1, 0) == 1;
}

qv_event nextEvent(qv_client* client) {
    qv_event event{};
    event.size = sizeof event;
    EXPECT_EQ(qv_client_next_event(client, 5000, &event), 1) << "no event in time";
    return event;
}

// A log line a test waits for: the loop has handled what came before it.
Signal logSeen; // guards awaitedLine and lineSeen
std::string awaitedLine;
bool lineSeen = false;
void watchLog(void*, const char*, const char* text) {
    logSeen.update([&] { lineSeen = lineSeen || std::string(text).find(awaitedLine) != std::string::npos; });
}

class CInterface : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qv_init(nullptr), QV_OK); }
    void TearDown() override { qv_release(); }
    // The library again, logging to watchLog for line; a queue client holding 4 texts.
    static qv_client* queueClientWatchingFor(const std::string& line) {
        qv_release();
        logSeen.update([&] {
            awaitedLine = line;
            lineSeen = false;
        });
        qv_log_settings log{};
        log.size = sizeof log;
        log.enable = 1;
        log.callback = &watchLog;
        EXPECT_EQ(qv_init(&log), QV_OK);
        qv_client_options options{};
        options.size = sizeof options;
        options.queue_capacity = 4;
        return qv_client_create(&options);
    }
    static bool lineLogged() { return logSeen.waitUntil([] { return lineSeen; }); }
};

} // namespace

TEST(CPrograms, AWholeSessionWithTodaysAndAnOlderHeader) {
    quorvex::server::AsrServer server(quorvex::server::ServerOptions{}, quorvex::server::makeEchoEngine());
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    for (const char* program : {QUORVEX_SESSION_C, QUORVEX_SESSION_C_OLDER}) {
        ProgramRun run = runProgram(std::string(program) + " " + server.url());
        EXPECT_EQ(run.exitCode, 0) << program << ": " << run.output;
        auto lines = run.output.find('\n');
        ASSERT_NE(lines, std::string::npos) << run.output;
        EXPECT_EQ(run.output.substr(0, lines + 1), run.output.substr(lines + 1)) << "the server did not get every byte";
    }
}

// The marker of dropped texts is queued as they are dropped, not with the
// next event, which may never come.
TEST_F(CInterface, DroppedTextsAreToldAtOnce) {
    qv_client* client = queueClientWatchingFor("`junk` is not json");
    ASSERT_NE(client, nullptr);
    ScriptedServer server;
    ASSERT_EQ(qv_client_start(client, server.url().c_str(), "t"), QV_OK);
    ASSERT_EQ(nextEvent(client).type, QV_EVENT_START_RESULT);
    for (int i = 0; i < 10; ++i) server.send(1, ScriptedServer::recognitionText("t", i, i + 1, 0));
    server.send(1, "junk"); // a message error, dropped too; its log line says the texts were handled
    ASSERT_TRUE(lineLogged()) << "the messages never arrived";
    std::vector<std::pair<int, int>> events;
    qv_event event{};
    event.size = sizeof event;
    while (qv_client_next_event(client, 0, &event) == 1) events.emplace_back(event.type, event.code);
    EXPECT_EQ(events, (std::vector<std::pair<int, int>>{
                          {QV_EVENT_TEXT, 0}, {QV_EVENT_TEXT, 0}, {QV_EVENT_TEXT, 0}, {QV_EVENT_TEXT, 0}, {QV_EVENT_LOST, 7}}));
    ASSERT_EQ(qv_client_stop(client), QV_OK);
    while (nextEvent(client).type != QV_EVENT_STOP_RESULT) {
    }
    EXPECT_EQ(qv_client_destroy(client), QV_OK);
}

// Session events are never dropped, whatever the cap: their number is bounded
// by refusing starts while 16 wait, and taking them lets starts go on.
TEST_F(CInterface, SessionEventsAreKeptAndBoundStarts) {
    RefusingPort refusing;
    qv_client_options options{};
    options.size = sizeof options;
    options.queue_capacity = 1;
    qv_client* client = qv_client_create(&options);
    ASSERT_NE(client, nullptr);
    auto start = [&] { return qv_client_start(client, refusing.url("/asr").c_str(), "t") == QV_OK; };
    // Each start fails at once; starting goes on until none was taken for a second.
    int accepted = 0;
    auto lastTaken = std::chrono::steady_clock::now(), giveUp = lastTaken + kDeadline;
    for (auto now = lastTaken; now - lastTaken < std::chrono::seconds(1) && now < giveUp;
         now = std::chrono::steady_clock::now()) {
        if (start()) {
            ++accepted;
            lastTaken = now;
        }
    }
    // A start may come between a failed start's state and its last event.
    EXPECT_TRUE(accepted == 8 || accepted == 9) << accepted << " starts accepted";
    std::vector<int> types;
    qv_event event{};
    event.size = sizeof event;
    while (qv_client_next_event(client, 0, &event) == 1) types.push_back(event.type);
    std::vector<int> expected;
    for (int i = 0; i < accepted; ++i) expected.insert(expected.end(), {QV_EVENT_START_FAILURE, QV_EVENT_START_RESULT});
    EXPECT_EQ(types, expected);
    EXPECT_TRUE(start()) << "a start once the events were taken";
    while (qv_client_destroy(client) == QV_BUSY) qv_client_next_event(client, 100, &event);
}

namespace {
Signal released; // guards releasedInCallback
bool releasedInCallback = false;
void releaseFromCallback(void*, const qv_event* event) {
    if (event->type != QV_EVENT_START_RESULT) return;
    qv_release();
    released.update([] { releasedInCallback = true; });
}
std::size_t threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoul(line.substr(8));
    return 0;
}
} // namespace

// A release from a callback would stop every loop but its own, which it
// runs on: it does nothing there, and the application's own release then
// ends every loop thread.
TEST(CRelease, InACallbackItDoesNothing) {
    std::size_t before = threadCount();
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(qv_init(nullptr), QV_OK);
        RefusingPort refusing;
        qv_client_options options{};
        options.size = sizeof options;
        options.callback = &releaseFromCallback;
        qv_client* client = qv_client_create(&options);
        ASSERT_NE(client, nullptr);
        released.update([] { releasedInCallback = false; });
        ASSERT_EQ(qv_client_start(client, refusing.url("/asr").c_str(), "t"), QV_OK);
        ASSERT_TRUE(released.waitUntil([] { return releasedInCallback; })) << "no start result";
        EXPECT_EQ(qv_client_destroy(client), QV_OK) << "the library was released under the application";
        qv_release();
    }
    // A thread may leave the count a moment after release; one kept for name lookups may stay.
    auto until = std::chrono::steady_clock::now() + kDeadline;
    while (threadCount() > before + 1 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_LE(threadCount(), before + 1) << "loop threads outlived their release";
}

// Past its cap the queue drops texts, never the session's own events, and
// says how many it dropped; the descriptor is readable exactly while events wait.
TEST_F(CInterface, AFullQueueDropsTextsAndSaysHowMany) {
    qv_client* client = queueClientWatchingFor("EXCEPTION_NTF error:gone");
    ASSERT_NE(client, nullptr);
    ScriptedServer server;
    int descriptor = qv_client_event_fd(client);
    EXPECT_FALSE(readable(descriptor));
    ASSERT_EQ(qv_client_start(client, server.url().c_str(), "t"), QV_OK);
    qv_event started = nextEvent(client);
    ASSERT_EQ(started.type, QV_EVENT_START_RESULT);
    EXPECT_EQ(started.code, 0);
    for (int i = 0; i < 20; ++i) server.send(1, ScriptedServer::recognitionText("t" + std::to_string(i), i, i + 1, 0));
    server.send(1, ScriptedServer::message("EXCEPTION_NTF", R"(,"msg_code":500,"msg_desc":"gone")"));
    // Nothing is taken until the loop has handled every message: the queue fills.
    ASSERT_TRUE(lineLogged()) << "the session error never came";
    std::vector<int> types;
    while (types.empty() || types.back() != QV_EVENT_SESSION_ERROR) {
        qv_event event = nextEvent(client);
        if (event.type == 0) break;
        types.push_back(event.type);
        if (event.type == QV_EVENT_LOST) {
            EXPECT_EQ(event.code, 16);
        }
    }
    EXPECT_EQ(types, (std::vector<int>{QV_EVENT_TEXT, QV_EVENT_TEXT, QV_EVENT_TEXT, QV_EVENT_TEXT, QV_EVENT_LOST,
                                       QV_EVENT_SESSION_ERROR}));
    EXPECT_FALSE(readable(descriptor)) << "readable with nothing queued";
    qv_event none{};
    none.size = sizeof none;
    EXPECT_EQ(qv_client_next_event(client, 0, &none), 0);
    EXPECT_EQ(qv_client_next_event(client, -1, &none), QV_ERROR);
    EXPECT_EQ(qv_client_destroy(client), QV_OK) << "a session that ended must let its client go";
}

namespace {
struct CallbackEvents {
    Signal signal; // guards events
    std::vector<std::pair<int, int>> events;
};
void hear(void* user, const qv_event* event) {
    auto* heard = static_cast<CallbackEvents*>(user);
    heard->signal.update([&] { heard->events.emplace_back(event->type, event->category); });
}
} // namespace

TEST_F(CInterface, ACallbackClientHearsWhyItsStartFailedAndItsDestruction) {
    RefusingPort refusing;
    CallbackEvents heard;
    qv_client_options options{};
    options.size = sizeof options;
    options.callback = &hear;
    options.user = &heard;
    qv_client* client = qv_client_create(&options);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(qv_client_event_fd(client), -1);
    qv_event event{};
    event.size = sizeof event;
    EXPECT_EQ(qv_client_next_event(client, 0, &event), QV_BUSY);
    ASSERT_EQ(qv_client_start(client, refusing.url("/asr").c_str(), "t"), QV_OK);
    ASSERT_TRUE(heard.signal.waitUntil([&] { return heard.events.size() >= 2; })) << "no start result";
    ASSERT_EQ(qv_client_destroy(client), QV_OK);
    std::lock_guard<std::mutex> guard(heard.signal.lock());
    EXPECT_EQ(heard.events, (std::vector<std::pair<int, int>>{{QV_EVENT_START_FAILURE, QV_FAILURE_CONNECTION_REFUSED},
                                                              {QV_EVENT_START_RESULT, 0},
                                                              {QV_EVENT_DESTROYED, 0}}));
}

// The server goes away (503): the session carries on under a new id, and
// the event and the statistics say so.
TEST_F(CInterface, AResumedSessionIsAnEventAndCountsInTheStatistics) {
    qv_resume_settings resume{};
    resume.size = sizeof resume;
    resume.enabled = 1;
    resume.backoff_ms = 10;
    ASSERT_EQ(qv_set_resume_settings(&resume), QV_OK);
    resume.jitter_percent = 101;
    EXPECT_EQ(qv_set_resume_settings(&resume), QV_ERROR);
    ScriptedServer server;
    qv_client_options options{};
    options.size = sizeof options;
    qv_client* client = qv_client_create(&options);
    ASSERT_EQ(qv_client_start(client, server.url().c_str(), "t"), QV_OK);
    ASSERT_EQ(nextEvent(client).type, QV_EVENT_START_RESULT);
    std::vector<unsigned char> pcm(3200, 1);
    ASSERT_EQ(qv_client_send_audio(client, pcm.data(), static_cast<int>(pcm.size())), QV_OK);
    ASSERT_TRUE(server.raw().waitForFrames(2));
    server.send(1, ScriptedServer::message("EXCEPTION_NTF", R"(,"msg_code":503,"msg_desc":"server shutting down")"));
    qv_event resumed = nextEvent(client);
    ASSERT_EQ(resumed.type, QV_EVENT_RESUMED);
    EXPECT_EQ(resumed.code, 1);
    EXPECT_STREQ(resumed.previous_session_id, "sid-1");
    EXPECT_STREQ(resumed.text, "sid-2");
    EXPECT_EQ(resumed.replayed_ms, 100);
    EXPECT_EQ(resumed.unreplayable_ms, 0);
    ASSERT_TRUE(server.raw().waitForFrames(2 + 2)) << "the kept audio was not replayed on the new connection";
    EXPECT_EQ(server.raw().framesOf(2)[1].data, std::string(pcm.begin(), pcm.end()));
    qv_session_stats stats{};
    stats.size = sizeof stats;
    ASSERT_EQ(qv_client_stats(client, &stats), QV_OK);
    EXPECT_EQ(stats.resumptions, 1);
    EXPECT_EQ(stats.audio_ms_sent, 100);
    EXPECT_EQ(stats.queue_cap_bytes, 2 << 20);
    ASSERT_EQ(qv_client_stop(client), QV_OK);
    qv_event last = nextEvent(client);
    EXPECT_EQ(last.type, QV_EVENT_TEXT) << "the scripted server's final words";
    EXPECT_EQ(nextEvent(client).type, QV_EVENT_STOP_RESULT);
    EXPECT_EQ(qv_client_destroy(client), QV_OK);
    qv_set_resume_settings(nullptr);
}

// A file alone, without a callback (which would run on the loop thread):
// nothing reaches standard output, and the file gets every line.
TEST(CLog, AFileAloneKeepsStandardOutputQuiet) {
    std::string path = scratchPath("c-log.txt");
    std::fclose(std::fopen(path.c_str(), "w")); // the library writes only into a file that exists
    qv_log_settings log{};
    log.size = sizeof log;
    log.enable = 1;
    log.path = path.c_str();
    log.no_stdout = 1;
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(qv_init(&log), QV_OK);
    qv_release();
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    std::ifstream written(path);
    std::string content((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    EXPECT_NE(content.find("QUORVEX::release"), std::string::npos) << content;
}

namespace {
std::atomic<int> firstHeard{0}, secondHeard{0};
void first(void*, const char*, const char*) { ++firstHeard; }
void second(void*, const char*, const char*) { ++secondHeard; }
} // namespace

// A second qv_init is refused and leaves the running library's callback alone.
TEST(CLog, ASecondInitKeepsTheFirstCallback) {
    qv_log_settings log{};
    log.size = sizeof log;
    log.enable = 1;
    log.callback = &first;
    ASSERT_EQ(qv_init(&log), QV_OK);
    log.callback = &second;
    EXPECT_EQ(qv_init(&log), QV_BUSY);
    int before = firstHeard.load();
    EXPECT_EQ(qv_set_loop_threads(2), QV_BUSY); // logs a line
    qv_release();
    EXPECT_GT(firstHeard.load(), before);
    EXPECT_EQ(secondHeard.load(), 0) << "the second init took over the log";
}
