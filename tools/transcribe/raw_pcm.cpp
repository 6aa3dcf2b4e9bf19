// SPDX-License-Identifier: Apache-2.0
// Raw PCM from a pipe or a file descriptor, handed on as it arrives.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "audio_source.h"

namespace quorvex::tools {
namespace {

constexpr std::size_t kReadBytes = 4096;

class RawPcm : public AudioSource {
public:
    RawPcm(int fd, const volatile std::sig_atomic_t& stop) : fd_(fd), stop_(stop) {}

    // Whatever has arrived goes on at once, in whole samples.
    bool next(std::vector<unsigned char>& pcm) override {
        pcm.resize(kReadBytes);
        std::size_t have = 0;
        while (have == 0 || have % 2 != 0) {
            ssize_t got = stop_ && !hasArrived() ? 0 : ::read(fd_, pcm.data() + have, pcm.size() - have);
            if (got < 0 && errno == EINTR) continue; // stop_ decides on the next turn
            if (got < 0) error_ = std::string("cannot read standard input: ") + std::strerror(errno);
            if (got <= 0) {
                pcm.clear(); // a lone last byte is half a sample: dropped
                return false;
            }
            have += static_cast<std::size_t>(got);
        }
        pcm.resize(have);
        return true;
    }

private:
    // Once stopped, what has already arrived is still taken, without waiting for more.
    bool hasArrived() const {
        pollfd ready{fd_, POLLIN, 0};
        return ::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN);
    }

    int fd_;
    const volatile std::sig_atomic_t& stop_;
};

} // namespace

std::unique_ptr<AudioSource> openRawPcm(int fd, const volatile std::sig_atomic_t& stop) {
    return std::make_unique<RawPcm>(fd, stop);
}

} // namespace quorvex::tools
