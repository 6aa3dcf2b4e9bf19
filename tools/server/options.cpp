// SPDX-License-Identifier: Apache-2.0
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

#include "engine.h"

namespace quorvex::server {

namespace {

// Whole decimal digits only: "-1", "1e3", "12abc" and "" are refused.
bool readCount(const std::string& text, unsigned long long low, unsigned long long high, unsigned long long& out) {
    if (text.empty() || text.size() > 19) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    out = std::strtoull(text.c_str(), nullptr, 10);
    return out >= low && out <= high;
}

// Seconds, fractions allowed ("0.5"), into milliseconds.
bool readSeconds(const std::string& text, double low, double high, unsigned int& ms) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    double seconds = std::strtod(text.c_str(), &end);
    if (errno || *end || !std::isfinite(seconds) || seconds < low || seconds > high) return false;
    ms = static_cast<unsigned int>(std::llround(seconds * 1000));
    return true;
}

using Apply = std::function<bool(CommandLine&, const std::string&)>;

struct Option {
    std::string name;
    std::string argument; // empty: takes no value
    std::string help;
    std::string range;    // shown when a value is refused
    Apply apply;
};

template <typename Field>
Apply count(Field ServerOptions::*field, unsigned long long low, unsigned long long high) {
    return [field, low, high](CommandLine& line, const std::string& text) {
        unsigned long long value = 0;
        if (!readCount(text, low, high, value)) return false;
        line.options.*field = static_cast<Field>(value);
        return true;
    };
}

Apply seconds(unsigned int ServerOptions::*field, double low, double high) {
    return [field, low, high](CommandLine& line, const std::string& text) {
        return readSeconds(text, low, high, line.options.*field);
    };
}

Apply text(std::string CommandLine::*field, bool mayBeEmpty = false) {
    return [field, mayBeEmpty](CommandLine& line, const std::string& value) {
        if (value.empty() && !mayBeEmpty) return false;
        line.*field = value;
        return true;
    };
}

std::string secondsText(unsigned int ms) {
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000) text += "." + std::to_string(1000 + ms % 1000).substr(1);
    return text;
}

const std::vector<Option>& options() {
    static const ServerOptions d;
    static const std::vector<Option> table = {
        {"--help", "", "print this text and exit", "", {}},
        {"--version", "", "print the version and exit", "", {}},
        {"--bind", "ADDR", "address to listen on (default 127.0.0.1)", "an address",
         [](CommandLine& line, const std::string& value) {
             if (value.empty() || value.size() >= 64) return false;
             line.options.bind = value;
             return true;
         }},
        {"--port", "N", "TCP port, 0 for an ephemeral one (default " + std::to_string(kDefaultPort) + ")", "0 to 65535",
         count(&ServerOptions::port, 0, 65535)},
        {"--token", "T", "token every START_SESSION_REQ must carry (default: none required)", "",
         [](CommandLine& line, const std::string& value) {
             line.options.token = value;
             return true;
         }},
        {"--engine", "NAME", "recogniser: pocketsphinx or echo (byte count and checksum; default pocketsphinx)",
         "pocketsphinx or echo",
         [](CommandLine& line, const std::string& value) {
             if (value != "pocketsphinx" && value != "echo") return false;
             line.engine = value;
             return true;
         }},
        {"--model", "DIR", std::string("pocketsphinx model folder (default ") + kDefaultModelDir + ")", "a folder",
         text(&CommandLine::modelDir)},
        {"--workers", "N", "recognition threads (default: one per core)", "1 to 256",
         count(&ServerOptions::workers, 1, 256)},
        {"--max-sessions", "N",
         "concurrent sessions (and recognisers); beyond it START is refused with msg_code 503 "
         "(default: engine's share per worker times the workers)",
         "1 to 100000", count(&ServerOptions::maxSessions, 1, 100000)},
        {"--max-connections", "N",
         "connections open at once; one more is closed as soon as it is accepted (default and most: the "
         "open file limit less " + std::to_string(kReservedDescriptors) + ")",
         "1 to 1000000", count(&ServerOptions::maxConnections, 1, 1000000)},
        {"--max-message-bytes", "N",
         "largest control message; a larger one ends the connection (default " + std::to_string(d.maxMessageBytes) +
             ")",
         "64 to 16777216", count(&ServerOptions::maxMessageBytes, 64, 16u << 20)},
        {"--max-json-depth", "N", "deepest nesting of a control message (default " + std::to_string(d.maxJsonDepth) + ")",
         "2 to 256", count(&ServerOptions::maxJsonDepth, 2, 256)},
        {"--max-frame-bytes", "N",
         "largest audio frame; a larger one ends the session with msg_code 413 (default " +
             std::to_string(d.maxFrameBytes) + ")",
         "2 to 16777216", count(&ServerOptions::maxFrameBytes, 2, 16u << 20)},
        {"--max-backlog", "SECONDS",
         "audio a session may have waiting for recognition; beyond it the session ends with msg_code 429 (default " +
             secondsText(d.maxBacklogMs) + ")",
         "0.1 to 3600", seconds(&ServerOptions::maxBacklogMs, 0.1, 3600)},
        {"--max-post-bytes", "N", "largest HTTP request body; larger ones get 413 (default " +
                                      std::to_string(d.maxPostBytes) + ")",
         "0 to 16777216", count(&ServerOptions::maxPostBytes, 0, 16u << 20)},
        {"--start-timeout", "SECONDS",
         "a connection without START_SESSION_REQ this long is closed (default " + secondsText(d.startTimeoutMs) + ")",
         "0.1 to 3600", seconds(&ServerOptions::startTimeoutMs, 0.1, 3600)},
        {"--idle-timeout", "SECONDS",
         "a session that sends nothing this long is closed (default " + secondsText(d.idleTimeoutMs) + ")",
         "0.1 to 86400", seconds(&ServerOptions::idleTimeoutMs, 0.1, 86400)},
        {"--close-grace", "SECONDS",
         "a connection still closing after this long is dropped (default " + secondsText(d.closeGraceMs) + ")",
         "0.1 to 600", seconds(&ServerOptions::closeGraceMs, 0.1, 600)},
        {"--drain-timeout", "SECONDS",
         "on SIGTERM/SIGINT, time live sessions get to finish before they are closed (default " +
             secondsText(d.drainTimeoutMs) + ")",
         "0 to 3600", seconds(&ServerOptions::drainTimeoutMs, 0, 3600)},
        {"--max-failed-tokens", "N",
         "wrong tokens one peer address may send per window; then START is refused with msg_code 429 (default " +
             std::to_string(d.maxFailedTokens) + ")",
         "1 to 100000", count(&ServerOptions::maxFailedTokens, 1, 100000)},
        {"--failed-token-window", "SECONDS",
         "window of --max-failed-tokens (default " + secondsText(d.failedTokenWindowMs) + ")", "1 to 86400",
         seconds(&ServerOptions::failedTokenWindowMs, 1, 86400)},
        {"--max-send-queue-bytes", "N",
         "bytes a connection may have waiting to be sent; a peer that reads slower is closed (default " +
             std::to_string(d.maxSendQueueBytes) + ")",
         "4096 to 1073741824", count(&ServerOptions::maxSendQueueBytes, 4096, 1u << 30)},
        {"--ping-after", "SECONDS", "a peer heard nothing from this long is pinged (default " +
                                        std::to_string(d.pingAfterSeconds) + ")",
         "1 to 3600", count(&ServerOptions::pingAfterSeconds, 1, 3600)},
        {"--hang-up-after", "SECONDS",
         "a peer still silent this long, pong or not, is dropped; more than --ping-after (default " +
             std::to_string(d.hangUpAfterSeconds) + ")",
         "2 to 7200", count(&ServerOptions::hangUpAfterSeconds, 2, 7200)},
        {"--recogniser-idle", "SECONDS",
         "an unused recogniser is released after this long (default " + secondsText(d.recogniserIdleMs) + ")",
         "0 to 86400", seconds(&ServerOptions::recogniserIdleMs, 0, 86400)},
    };
    return table;
}

const Option* find(const std::string& name) {
    for (const auto& option : options())
        if (option.name == name) return &option;
    return nullptr;
}

} // namespace

bool parseCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i], value;
        bool inlineValue = false;
        if (auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            inlineValue = true;
        }
        const Option* option = find(name);
        if (!option) {
            error = "unknown option " + name;
            return false;
        }
        if (option->argument.empty()) {
            if (inlineValue) {
                error = name + " takes no value";
                return false;
            }
            (name == "--help" ? line.help : line.version) = true;
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                error = "missing value after " + name;
                return false;
            }
            value = argv[++i];
        }
        if (!option->apply(line, value)) {
            error = "invalid value '" + value + "' for " + name + (option->range.empty() ? "" : ": " + option->range);
            return false;
        }
    }
    if (line.options.hangUpAfterSeconds <= line.options.pingAfterSeconds) {
        error = "--hang-up-after must be more than --ping-after, or no pong could ever arrive in time";
        return false;
    }
    return true;
}

std::string usageText() {
    std::string text = "usage: quorvex-server [OPTION]...\n"
                       "Recognition sessions over WebSocket on /asr; GET /healthz (503 while shutting down) and\n"
                       "GET /metrics (Prometheus text) on the same port. SIGTERM/SIGINT drain, a second one exits.\n\n";
    constexpr std::size_t kHelpColumn = 32, kWidth = 100;
    for (const auto& option : options()) {
        std::string lineText = "  " + option.name + (option.argument.empty() ? "" : " " + option.argument);
        lineText.resize(std::max(lineText.size() + 1, kHelpColumn), ' ');
        std::size_t lineStart = 0;
        for (std::size_t at = 0; at < option.help.size();) {
            std::size_t wordEnd = option.help.find(' ', at);
            if (wordEnd == std::string::npos) wordEnd = option.help.size();
            std::string word = option.help.substr(at, wordEnd - at);
            if (lineText.size() - lineStart + word.size() > kWidth && lineText.size() - lineStart > kHelpColumn) {
                lineText += "\n" + std::string(kHelpColumn, ' ');
                lineStart = lineText.size() - kHelpColumn;
            } else if (lineText.size() - lineStart > kHelpColumn) {
                lineText += ' ';
            }
            lineText += word;
            at = wordEnd + 1;
        }
        text += lineText + "\n";
    }
    text += "\nExit status: 0 after a clean stop, 1 when the server cannot start, 2 for a bad command line.\n";
    return text;
}

} // namespace quorvex::server
