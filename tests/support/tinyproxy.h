// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_TESTS_SUPPORT_TINYPROXY_H
#define QUORVEX_TESTS_SUPPORT_TINYPROXY_H

#include <sys/types.h>

#include <string>
#include <thread>

#include "wait.h"

namespace quorvex::test {

// Debian's tinyproxy on 127.0.0.1, run in the foreground with a config made
// for the test, stopped and waited for with it.
class Tinyproxy {
public:
    // With a user, CONNECT needs Basic credentials user:password (else 407).
    explicit Tinyproxy(const std::string& user = "", const std::string& password = "");
    ~Tinyproxy();
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    static bool installed();
    int port() const { return port_; }
    std::string url(const std::string& credentials = "") const;
    // CONNECT requests the proxy has logged so far. Its log reaches us through a
    // pipe after the tunnel may already be in use, so a test that expects tunnels
    // waits for them.
    int tunnelsOpened() const;
    bool waitForTunnels(int count) const;

private:
    bool launch(const std::string& user, const std::string& password);
    void stop();
    int countTunnels() const; // with signal_'s lock held
    std::string dir_;
    std::thread reader_;
    mutable Signal signal_; // guards output_ and ended_
    std::string output_;
    bool ended_ = false;
    int port_ = 0;
    pid_t pid_ = -1;
};

} // namespace quorvex::test

#endif
