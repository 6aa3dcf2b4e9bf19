// quorvex-server: the reference recognition server.
//   quorvex-server [--bind ADDR] [--port N] [--token T] [--engine pocketsphinx|echo]
//                  [--model DIR] [--workers N]
#include <libwebsockets.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "asr_server.h"

using namespace quorvex::server;

namespace {

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr,
                 "quorvex-server: %s\n"
                 "usage: quorvex-server [--bind ADDR] [--port N] [--token T] [--engine pocketsphinx|echo]\n"
                 "                      [--model DIR] [--workers N]\n",
                 problem);
    std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
    ServerOptions options;
    options.port = 8765;
    std::string engineName = "pocketsphinx", modelDir = kDefaultModelDir;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "--help") usage("help");
        if (i + 1 >= argc) usage(("missing value after " + flag).c_str());
        std::string value = argv[++i];
        if (flag == "--bind") options.bind = value;
        else if (flag == "--port") options.port = std::atoi(value.c_str());
        else if (flag == "--token") options.token = value;
        else if (flag == "--engine") engineName = value;
        else if (flag == "--model") modelDir = value;
        else if (flag == "--workers") options.workers = static_cast<unsigned int>(std::atoi(value.c_str()));
        else usage(("unknown option " + flag).c_str());
    }
    std::string error;
    std::shared_ptr<Engine> engine;
    if (engineName == "echo") engine = makeEchoEngine();
    else if (engineName == "pocketsphinx") engine = makePocketsphinxEngine(modelDir, error);
    else usage("--engine is pocketsphinx or echo");
    if (!engine) {
        std::fprintf(stderr, "quorvex-server: %s\n", error.c_str());
        return 1;
    }

    // Signals are taken synchronously below, not by a handler on some thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    AsrServer server(options, engine);
    if (!server.start(error)) {
        std::fprintf(stderr, "quorvex-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("quorvex-server: %s engine, listening on %s (GET /healthz, /metrics)\n", engine->name(),
                server.url().c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    std::printf("quorvex-server: %s, stopping\n", strsignal(received));
    return 0;
}
