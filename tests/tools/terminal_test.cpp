// SPDX-License-Identifier: Apache-2.0
// quorvex-transcribe on a terminal: a partial result is replaced in place,
// so it must fit on one line however long it grows.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "child_process.h"
#include "scratch_file.h"
#include "wav_file.h"
#include "server/asr_server.h"
#include "transcribe/printer.h"

using quorvex::test::ChildProcess;
using quorvex::tools::fitToWidth;

namespace {

std::size_t characters(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char byte : text) count += (byte & 0xc0) != 0x80;
    return count;
}

// Three seconds of noise as a 16 kHz mono WAV file.
std::string writeNoise() {
    std::string noise(3 * 32000, '\0');
    std::mt19937 random(3);
    for (char& byte : noise) byte = static_cast<char>(random());
    return quorvex::test::writeWav(quorvex::test::scratchPath("terminal-noise.wav"), 16000, 1, 16, noise);
}

} // namespace

TEST(TranscribeTerminal, APartialIsCutToTheWidthKeepingItsEnd) {
    EXPECT_EQ(fitToWidth("short", 80), "short");
    EXPECT_EQ(fitToWidth("exactly nine", 13), "exactly nine") << "the last column stays free";
    EXPECT_EQ(fitToWidth("he was not an ill disposed young man", 12), "\u2026 young man");
    EXPECT_EQ(characters(fitToWidth(std::string(300, 'w'), 60)), 59u);
    std::string accented = "caf\u00e9 cr\u00e8me br\u00fbl\u00e9e";
    EXPECT_EQ(fitToWidth(accented, 8), "\u2026br\u00fbl\u00e9e") << "characters, not bytes";
    EXPECT_EQ(fitToWidth("anything", 1), "\u2026");
    EXPECT_EQ(fitToWidth("anything", 0), "\u2026");
}

TEST(TranscribeTerminal, PartialsOnANarrowTerminalStayOnOneLine) {
    quorvex::server::AsrServer server(quorvex::server::ServerOptions{}, quorvex::server::makeEchoEngine());
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal) | unlockpt(terminal), 0);
    winsize narrow{};
    narrow.ws_col = 16; // the echo engine's partials ("bytes=32000 fnv1a=...") are 26 characters
    narrow.ws_row = 24;
    ASSERT_EQ(ioctl(terminal, TIOCSWINSZ, &narrow), 0);
    int side = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(side, 0);
    ChildProcess::Options onTerminal;
    onTerminal.fds = {{side, 1}};
    ChildProcess tool({QUORVEX_TRANSCRIBE, "--url", server.url(), writeNoise()}, onTerminal);
    close(side);
    std::string shown;
    char chunk[4096];
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < until;) {
        pollfd readable{terminal, POLLIN, 0};
        if (poll(&readable, 1, 100) > 0) {
            ssize_t got = read(terminal, chunk, sizeof chunk);
            if (got <= 0) break; // the tool has exited: the terminal's other side is closed
            shown.append(chunk, static_cast<std::size_t>(got));
        }
    }
    close(terminal);
    ASSERT_EQ(tool.waitExit(), 0) << tool.output() << shown;
    std::size_t partials = 0;
    const std::string replace = "\r\033[K";
    for (std::size_t at = shown.find(replace); at != std::string::npos;) {
        std::size_t next = shown.find(replace, at + replace.size());
        std::string piece = shown.substr(at + replace.size(), next == std::string::npos ? next : next - at - replace.size());
        if (piece.find('\n') == std::string::npos && !piece.empty()) { // a final ends its line; a partial does not
            ++partials;
            EXPECT_LE(characters(piece), 15u) << "a partial ran over its line: '" << piece << "'";
        }
        at = next;
    }
    EXPECT_GT(partials, 0u) << "no partial result was shown:\n" << shown;
}
