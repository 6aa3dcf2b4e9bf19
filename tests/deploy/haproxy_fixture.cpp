// SPDX-License-Identifier: Apache-2.0
#include "haproxy_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "server/engine.h"

namespace quorvex::test {
namespace {

constexpr std::size_t kFrame = 640;

// The whole answer to one HTTP/1.0 request, or empty.
std::string httpGet(int port, const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char chunk[4096];
            for (ssize_t got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) answer.append(chunk, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    return answer;
}

} // namespace

// ---- ServerProcess -------------------------------------------------------------

namespace {
std::vector<std::string> serverArguments(const std::vector<std::string>& extra) {
    std::vector<std::string> arguments{QUORVEX_SERVER, "--engine", "echo", "--bind", "127.0.0.1", "--port", "0", "--workers", "2"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
}
} // namespace

ServerProcess::ServerProcess(const std::vector<std::string>& extra) : process_(serverArguments(extra)) {
    const std::string ready = "listening on ws://127.0.0.1:";
    if (!process_.waitForOutput(ready)) {
        ADD_FAILURE() << "quorvex-server did not start:\n" << process_.output();
        return;
    }
    std::string output = process_.output();
    port_ = std::atoi(output.c_str() + output.find(ready) + ready.size());
}

long long ServerProcess::metric(const std::string& name) {
    std::istringstream lines(httpGet(port_, "/metrics"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(name + " ", 0) == 0) return std::atoll(line.c_str() + name.size() + 1);
    return -1;
}

// ---- Haproxy -------------------------------------------------------------------

Haproxy::Haproxy(const std::vector<int>& serverPorts, const std::string& checkEvery, const KeyPair* certificate)
    : tls_(certificate != nullptr) {
    std::string pattern = ::testing::TempDir() + "quorvex-haproxy-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        ADD_FAILURE() << "no scratch directory under " << ::testing::TempDir();
        return;
    }
    directory_ = pattern;
    if (certificate) {
        // The server certificate, then its key, in one file (no intermediate here).
        std::ofstream pem(directory_ + "/quorvex.pem");
        pem << std::ifstream(certificate->cert).rdbuf() << std::ifstream(certificate->key).rdbuf();
    }
    // The test holds the listening socket and hands it over: no port is guessed.
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "no loopback listening socket";
        return;
    }
    port_ = ntohs(address.sin_port);
    std::string config = writeConfig(serverPorts, checkEvery);
    ChildProcess::Options handOver;
    handOver.fds = {{listener_, 3}};
    ChildProcess check({QUORVEX_HAPROXY, "-c", "-f", config}, handOver);
    if (check.waitExit() != 0) {
        ADD_FAILURE() << "haproxy refuses the generated configuration:\n" << check.output();
        return;
    }
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{QUORVEX_HAPROXY, "-db", "-f", config}, handOver);
}

Haproxy::~Haproxy() {
    process_.reset();
    if (listener_ >= 0) ::close(listener_);
    if (directory_.empty()) return;
    std::remove((directory_ + "/haproxy.cfg").c_str());
    std::remove((directory_ + "/admin.sock").c_str());
    std::remove((directory_ + "/quorvex.pem").c_str());
    std::remove(directory_.c_str());
}

std::string Haproxy::writeConfig(const std::vector<int>& serverPorts, const std::string& checkEvery) {
    std::ifstream in(QUORVEX_HAPROXY_TEMPLATE);
    std::ostringstream out;
    int replaced = 0;
    bool serversWritten = false;
    for (std::string line; std::getline(in, line);) {
        std::string word = line.substr(line.find_first_not_of(' ') == std::string::npos ? 0 : line.find_first_not_of(' '));
        word = word.substr(0, word.find(' '));
        // Foreground, as the test's user, without syslog.
        if (word == "chroot" || word == "user" || word == "group" || word == "daemon" ||
            (word == "log" && line.find("/dev/log") != std::string::npos))
            continue;
        if (word == "stats" && line.find("stats socket") != std::string::npos) {
            line = "    stats socket " + directory_ + "/admin.sock level admin";
            ++replaced;
        } else if (word == "maxconn") {
            line = "    maxconn 1000"; // within any descriptor limit a test machine has
            ++replaced;
        } else if (word == "bind") {
            if (tls_) continue; // the TLS line takes the socket
            line = "    bind fd@3";
            ++replaced;
        } else if (tls_ && word == "#" && line.find("# bind ") != std::string::npos &&
                   line.find(" ssl crt ") != std::string::npos) {
            line = tlsBind(line);
            ++replaced;
        } else if (word == "default-server" && line.find("inter 2s") != std::string::npos) {
            line.replace(line.find("inter 2s"), 8, "inter " + checkEvery);
            ++replaced;
        } else if (word == "server") {
            if (serversWritten) continue;
            line.clear();
            for (std::size_t i = 0; i < serverPorts.size(); ++i)
                line += "    server quorvex" + std::to_string(i + 1) + " 127.0.0.1:" + std::to_string(serverPorts[i]) +
                        (i + 1 < serverPorts.size() ? "\n" : "");
            serversWritten = true;
            ++replaced;
        }
        out << line << "\n";
    }
    EXPECT_EQ(replaced, 5) << "the template no longer has the stats socket, maxconn, bind (commented TLS bind with a "
                              "certificate), default-server and server lines";
    std::string path = directory_ + "/haproxy.cfg";
    std::ofstream(path) << out.str();
    return path;
}

// "    # bind :8443 ssl crt /etc/haproxy/certs/quorvex.pem alpn http/1.1" with
// the test's socket and PEM, every other option as shipped.
std::string Haproxy::tlsBind(const std::string& commented) {
    std::string options = commented.substr(commented.find(" ssl crt "));
    std::size_t path = options.find(" crt ") + 5;
    options.replace(path, options.find(' ', path) - path, directory_ + "/quorvex.pem");
    return "    bind fd@3" + options;
}

bool Haproxy::waitUntilDown(const std::string& server) {
    return process_ && process_->waitForOutput(downLine(server), std::chrono::seconds(10));
}

// ---- EchoSession ---------------------------------------------------------------

EchoSession::EchoSession(unsigned seed, Signal* breaks) : client_(QUORVEX::createAsrInstance()), seed_(seed) {
    listener_.breaks = breaks;
    client_->init(&listener_);
}

EchoSession::~EchoSession() {
    while (QUORVEX::destroyAsrInstance(client_) == -5) std::this_thread::yield();
    delete client_;
}

bool EchoSession::start(const std::string& url) {
    QUORVEX::QvAsrStartParam start{url.c_str(), "t"};
    if (client_->start(&start) != 0 || !listener_.waitFor("start")) return false;
    return startResult() == 0;
}

int EchoSession::startResult() {
    std::vector<Heard> started = listener_.heard("start");
    return started.empty() ? 99 : started.front().code;
}

void EchoSession::send(std::size_t frames) {
    std::mt19937 random(seed_);
    for (std::size_t i = 0; i < frames; ++i) {
        std::size_t at = pcm_.size();
        pcm_.resize(at + kFrame);
        for (std::size_t b = at; b < pcm_.size(); ++b) pcm_[b] = static_cast<unsigned char>(random());
        QUORVEX::QvAsrAudioFrame frame{&pcm_[at], static_cast<int>(kFrame), 1, 16000, 16};
        if (client_->sendAudio(&frame) != 0) {
            pcm_.resize(at);
            return;
        }
    }
    seed_ = static_cast<unsigned>(random());
}

bool EchoSession::stopAndConfirm() {
    if (client_->stop() != 0 || !listener_.waitFor("stop", 1, std::chrono::seconds(20))) return false;
    std::string expected = server::echoText(pcm_.size(), server::fnv1a(pcm_.data(), pcm_.size()));
    for (const Heard& text : listener_.heard("text"))
        if (text.fin && text.text == expected) return true;
    return false;
}

std::string EchoSession::heard() {
    std::string all;
    for (const Heard& item : listener_.heard()) all += item.call + "(" + std::to_string(item.code) + ") " + item.text + "\n";
    return all;
}

} // namespace quorvex::test
