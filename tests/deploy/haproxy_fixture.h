// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_DEPLOY_HAPROXY_FIXTURE_H
#define QUORVEX_TESTS_DEPLOY_HAPROXY_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "asr_fixture.h"
#include "cert_authority.h"
#include "child_process.h"

namespace quorvex::test {

// quorvex-server with the echo engine on an ephemeral loopback port.
class ServerProcess {
public:
    // extra: arguments after the echo engine's, the bind address and port 0.
    explicit ServerProcess(const std::vector<std::string>& extra = {});
    int port() const { return port_; }
    ChildProcess& process() { return process_; }
    // A gauge or counter from its /metrics; -1 when it cannot be read.
    long long metric(const std::string& name);

private:
    ChildProcess process_;
    int port_ = 0;
};

// Debian's haproxy running deploy/haproxy/quorvex.cfg in the foreground, with
// the listening port and the servers filled in and quick health checks.
class Haproxy {
public:
    // checkEvery: the health checks' interval, in haproxy's units. With a
    // certificate, the config's TLS bind line takes the port, fed the
    // combined PEM the config tells deployers to make.
    explicit Haproxy(const std::vector<int>& serverPorts, const std::string& checkEvery = "100ms",
                     const KeyPair* certificate = nullptr);
    ~Haproxy();
    bool running() const { return process_ != nullptr; }
    std::string url() const {
        return std::string(tls_ ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port_) + "/asr";
    }
    // Server names as the template numbers them: quorvex1, quorvex2, ...
    bool waitUntilDown(const std::string& server);
    bool isDown(const std::string& server) { return output().find(downLine(server)) != std::string::npos; }
    std::string output() { return process_ ? process_->output() : std::string(); }

private:
    std::string writeConfig(const std::vector<int>& serverPorts, const std::string& checkEvery);
    std::string tlsBind(const std::string& commented);
    static std::string downLine(const std::string& server) { return "Server quorvex_servers/" + server + " is DOWN"; }
    std::string directory_;
    bool tls_ = false;
    int listener_ = -1, port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

// One recognition session through the library, streaming seeded noise to the
// echo engine, which confirms byte count and checksum at the end.
class EchoSession {
public:
    // `breaks`, when given, is notified each time the session breaks off.
    explicit EchoSession(unsigned seed, Signal* breaks = nullptr);
    ~EchoSession();
    EchoSession(const EchoSession&) = delete;
    EchoSession& operator=(const EchoSession&) = delete;

    bool start(const std::string& url); // true once the session runs
    int startResult();                  // onStartResult's code; 99 before it
    void send(std::size_t frames);      // 20 ms each, as fast as they go
    bool stopAndConfirm();              // every byte sent came back counted, in order
    bool brokeOff() { return listener_.count("session") > 0; }
    std::string heard();

private:
    struct Listener : RecordingListener {
        Signal* breaks = nullptr;
        void onSessionError(int code, const char* text) override {
            RecordingListener::onSessionError(code, text); // recorded before anyone is told
            if (breaks) breaks->update([] {});
        }
    };
    Listener listener_;
    QUORVEX::QvAsrClient* client_;
    std::vector<unsigned char> pcm_;
    unsigned seed_;
};

} // namespace quorvex::test

#endif
