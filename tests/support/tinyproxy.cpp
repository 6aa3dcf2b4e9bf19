// SPDX-License-Identifier: Apache-2.0
#include "tinyproxy.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace quorvex::test {

namespace {

// A port free a moment ago; tinyproxy cannot be handed a bound socket, so a
// lost race is met by trying another.
int freshPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

} // namespace

bool Tinyproxy::installed() { return access("/usr/bin/tinyproxy", X_OK) == 0; }

Tinyproxy::Tinyproxy(const std::string& user, const std::string& password) {
    char dir[] = "/tmp/quorvex-proxy-XXXXXX";
    if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
    dir_ = dir;
    for (int tries = 0; tries < 5; ++tries)
        if (launch(user, password)) return;
    throw std::runtime_error("tinyproxy did not start on loopback (see " + dir_ + "/log)");
}

bool Tinyproxy::launch(const std::string& user, const std::string& password) {
    port_ = freshPort();
    std::ofstream config(dir_ + "/tinyproxy.conf");
    config << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Info\n";
    if (!user.empty()) config << "BasicAuth " << user << " " << password << "\n";
    config.close();
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        std::string path = dir_ + "/tinyproxy.conf";
        execl("/usr/bin/tinyproxy", "tinyproxy", "-d", "-c", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    signal_.update([&] {
        output_.clear();
        ended_ = false;
    });
    int readFd = pipeFds[0];
    reader_ = std::thread([this, readFd] {
        char buffer[4096];
        ssize_t got;
        while ((got = read(readFd, buffer, sizeof buffer)) > 0)
            signal_.update([&] { output_.append(buffer, static_cast<std::size_t>(got)); });
        close(readFd);
        signal_.update([&] { ended_ = true; });
    });
    bool ready = false;
    signal_.waitUntil([&] {
        ready = output_.find("Accepting connections") != std::string::npos;
        return ready || ended_;
    });
    if (!ready) stop();
    return ready;
}

void Tinyproxy::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
}

Tinyproxy::~Tinyproxy() {
    stop();
    std::system(("rm -rf '" + dir_ + "'").c_str());
}

std::string Tinyproxy::url(const std::string& credentials) const {
    return "http://" + (credentials.empty() ? "" : credentials + "@") + "127.0.0.1:" + std::to_string(port_);
}

int Tinyproxy::tunnelsOpened() const {
    std::lock_guard<std::mutex> guard(signal_.lock());
    return countTunnels();
}

bool Tinyproxy::waitForTunnels(int count) const {
    return signal_.waitUntil([&] { return countTunnels() >= count; });
}

int Tinyproxy::countTunnels() const {
    int count = 0;
    // "Request (file descriptor N): CONNECT host:port HTTP/1.1"; the log level is also called CONNECT.
    const std::string request = "): CONNECT ";
    for (std::size_t at = output_.find(request); at != std::string::npos; at = output_.find(request, at + 1)) ++count;
    return count;
}

} // namespace quorvex::test
