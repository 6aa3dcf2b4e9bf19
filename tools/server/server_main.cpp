// SPDX-License-Identifier: Apache-2.0
// quorvex-server: the reference recognition server. `quorvex-server --help`
// lists every option.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "asr_server.h"
#include "server_log.h"

using namespace quorvex::server;

namespace {

constexpr int kCannotStart = 1;
constexpr int kUsage = 2;
constexpr int kCutShort = 1; // a second signal ended the drain

// Every connection is a descriptor: take all the system allows.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? rlim_t(1) << 20 : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0)
        logLine("open file limit raised from %llu to %llu", static_cast<unsigned long long>(before),
                static_cast<unsigned long long>(limit.rlim_cur));
}

std::shared_ptr<Engine> makeEngine(const CommandLine& line, std::string& error) {
    if (line.engine == "echo") return makeEchoEngine();
    return makePocketsphinxEngine(line.modelDir.empty() ? kDefaultModelDir : line.modelDir, error);
}

} // namespace

int main(int argc, char** argv) {
    CommandLine line;
    line.options.port = kDefaultPort;
    std::string error;
    if (!parseCommandLine(argc, argv, line, error)) {
        std::fprintf(stderr, "quorvex-server: %s\nTry 'quorvex-server --help'.\n", error.c_str());
        return kUsage;
    }
    if (line.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (line.version) {
        std::puts(kServerVersion);
        return 0;
    }
    routeLibraryLog();
    raiseDescriptorLimit();
    std::shared_ptr<Engine> engine = makeEngine(line, error);
    if (!engine) {
        logLine("%s", error.c_str());
        return kCannotStart;
    }

    // Signals are taken synchronously below, not by a handler on some thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP); // systemd and operators send it: a drain, as there is nothing to reload
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    AsrServer server(line.options, engine);
    if (!server.start(error)) {
        logLine("%s", error.c_str());
        return kCannotStart;
    }
    const ServerOptions& limits = server.limits();
    logLine("%s engine, %u worker(s), up to %u session(s) and %u connection(s), listening on %s (GET /healthz, "
            "/metrics)",
            engine->name(), limits.workers, limits.maxSessions, limits.maxConnections, server.url().c_str());
    int received = 0;
    sigwait(&stopSignals, &received);
    logLine("%s, stopping (a second signal exits at once)", strsignal(received));
    std::thread([stopSignals] {
        int again = 0;
        sigwait(&stopSignals, &again);
        logLine("%s again, exiting now", strsignal(again));
        std::_Exit(kCutShort);
    }).detach();
    server.shutdown();
    std::fflush(nullptr);
    std::_Exit(0); // the signal thread is still waiting: nothing to unwind
}
