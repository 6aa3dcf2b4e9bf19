#include "hostile_fixture.h"

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

} // namespace quorvex::test
