// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TOOLS_SERVER_ENGINE_H
#define QUORVEX_TOOLS_SERVER_ENGINE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorvex::server {

// One recognition text: bg/ed in milliseconds from the session's start,
// fin 1 for an utterance's final result, 0 for a partial one.
struct Recognised {
    std::string text;
    int bg = 0;
    int ed = 0;
    int fin = 0;
};

// One session's recogniser. Called from one worker at a time, never from the
// event loop, so it may take its time.
class Recogniser {
public:
    virtual ~Recogniser() = default;
    // 16 kHz, 16-bit little-endian mono samples.
    virtual std::vector<Recognised> feed(const std::int16_t* samples, std::size_t count) = 0;
    // The session ends: whatever is still pending, as final results.
    virtual std::vector<Recognised> finish() = 0;
};

// Makes recognisers; shared by every session of a server, from any thread.
class Engine {
public:
    virtual ~Engine() = default;
    // Null when no recogniser can be made.
    virtual std::unique_ptr<Recogniser> open() = 0;
    virtual const char* name() const = 0;
    // Concurrent sessions that suit this many recognition threads.
    virtual unsigned int suggestedSessions(unsigned int workers) const = 0;
    // Frees what recognisers keep loaded while unused for idleFor or longer.
    virtual void releaseIdle(std::chrono::milliseconds idleFor) { (void)idleFor; }
    // Recognisers in memory, in use or kept for reuse.
    virtual std::size_t loaded() const { return 0; }
};

// "echo": no model; reports the byte count and a checksum of the audio so far.
std::unique_ptr<Engine> makeEchoEngine();
// "pocketsphinx": real recognition with the model in modelDir (hmm, lm, dict).
// Null, with the reason in error, when the model cannot be loaded.
std::unique_ptr<Engine> makePocketsphinxEngine(const std::string& modelDir, std::string& error);

constexpr const char* kDefaultModelDir = "/usr/share/pocketsphinx/model/en-us";

// The echo engine's checksum: FNV-1a over the bytes, continued across calls.
std::uint32_t fnv1a(const unsigned char* bytes, std::size_t size, std::uint32_t hash = 2166136261u);
std::string echoText(std::uint64_t bytes, std::uint32_t checksum);

} // namespace quorvex::server

#endif
