// SPDX-License-Identifier: Apache-2.0
#include "hostile_fixture.h"

#include <poll.h>
#include <sys/socket.h>

namespace quorvex::test {

class GatedRecogniser : public server::Recogniser {
public:
    GatedRecogniser(GatedEngine& engine, std::unique_ptr<server::Recogniser> echo)
        : engine_(engine), echo_(std::move(echo)) {}
    std::vector<server::Recognised> feed(const std::int16_t* samples, std::size_t count) override {
        EXPECT_TRUE(engine_.gate_.waitUntil([&] { return engine_.open_; }, std::chrono::seconds(20)))
            << "the test never opened the gate";
        ++engine_.fed_;
        return echo_->feed(samples, count);
    }
    std::vector<server::Recognised> finish() override { return echo_->finish(); }

private:
    GatedEngine& engine_;
    std::unique_ptr<server::Recogniser> echo_;
};

std::unique_ptr<server::Recogniser> GatedEngine::open() {
    if (first_.exchange(false)) return std::make_unique<GatedRecogniser>(*this, echo_->open());
    return echo_->open();
}

void HostileClients::SetUp() {
    server::setLogSink([this](const std::string& line) {
        std::lock_guard<std::mutex> guard(logLock_);
        logs_.push_back(line);
    });
}

void HostileClients::TearDown() {
    server_.reset();
    server::setLogSink(nullptr);
}

server::AsrServer& HostileClients::serve(server::ServerOptions options, std::shared_ptr<server::Engine> engine) {
    server_ = std::make_unique<server::AsrServer>(std::move(options), std::move(engine));
    std::string error;
    EXPECT_TRUE(server_->start(error)) << error;
    return *server_;
}

std::string HostileClients::getMetrics() {
    return httpExchange(port(), "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

bool HostileClients::logged(const std::string& text) { return logText().find(text) != std::string::npos; }

std::string HostileClients::logText() {
    std::lock_guard<std::mutex> guard(logLock_);
    std::string all;
    for (const auto& line : logs_) all += line + "\n";
    return all;
}

// Raw bytes until done says so, the stream ends or the deadline passes.
std::string readRaw(int fd, const std::function<bool(const std::string&)>& done) {
    std::string bytes;
    auto until = std::chrono::steady_clock::now() + kDeadline;
    pollfd readable{fd, POLLIN, 0};
    char chunk[4096];
    while (!done(bytes)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
        ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
}

// Whether the raw server frames in bytes include a close frame.
bool hasCloseFrame(const std::string& bytes) {
    for (std::size_t at = 0; bytes.size() - at >= 2;) {
        std::size_t length = static_cast<unsigned char>(bytes[at + 1]) & 0x7f, header = 2;
        if (length == 126) {
            if (bytes.size() - at < 4) return false;
            length = (static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
                     static_cast<unsigned char>(bytes[at + 3]);
            header = 4;
        }
        if (bytes.size() - at < header + length) return false;
        if ((static_cast<unsigned char>(bytes[at]) & 0x0f) == 8) return true;
        at += header + length;
    }
    return false;
}

} // namespace quorvex::test
