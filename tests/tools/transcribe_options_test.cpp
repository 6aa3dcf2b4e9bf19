// SPDX-License-Identifier: Apache-2.0
// quorvex-transcribe's options, its URL check and its resumption line,
// without a server.
#include <gtest/gtest.h>

#include "transcribe/options.h"
#include "transcribe/printer.h"
#include "transcribe/server_url.h"
#include "transport/client/url.h"

using namespace quorvex::tools;

namespace {

Request parse(std::vector<std::string> arguments, Options& options, std::string& problem) {
    arguments.insert(arguments.begin(), "quorvex-transcribe");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    return parseOptions(static_cast<int>(argv.size()), argv.data(), options, problem);
}

} // namespace

TEST(TranscribeOptions, ResumptionIsOnUnlessRefusedAndTheServerIsQuietUnlessAsked) {
    Options defaults, chosen;
    std::string problem;
    ASSERT_EQ(parse({"a.wav"}, defaults, problem), Request::Run) << problem;
    EXPECT_TRUE(defaults.resume);
    EXPECT_FALSE(defaults.verbose);
    ASSERT_EQ(parse({"--no-resume", "--verbose", "a.wav"}, chosen, problem), Request::Run) << problem;
    EXPECT_FALSE(chosen.resume);
    EXPECT_TRUE(chosen.verbose);
    EXPECT_EQ(chosen.inputs, std::vector<std::string>{"a.wav"});
    Options misspelt;
    EXPECT_EQ(parse({"--no-resumes", "a.wav"}, misspelt, problem), Request::Usage);
    EXPECT_EQ(problem, "unknown option --no-resumes");

    std::string help = helpText();
    for (const char* explained : {"resumed: session A -> B after N ms, replayed M ms", "\" [not final]\""})
        EXPECT_NE(help.find(explained), std::string::npos) << explained << " is not explained:\n" << help;
}

TEST(TranscribeOptions, ResumedLineNamesBothSessionsAndWhatWasLost) {
    EXPECT_EQ(resumedLine("a1", "b2", 1, 840, 3200, 0), "resumed: session a1 -> b2 after 840 ms, replayed 3200 ms");
    EXPECT_EQ(resumedLine("a1", "b2", 3, 2100, 30000, 1500),
              "resumed: session a1 -> b2 after 2100 ms, replayed 30000 ms (attempt 3); 1500 ms before it were "
              "older than the replay buffer and are lost");
}

// The tool checks --url itself, and must refuse exactly what the library
// would refuse at the start: a URL it lets through would fail later with a
// misleading message, and one it refuses would be a usable server turned away.
TEST(TranscribeOptions, TheToolsUrlCheckAgreesWithTheLibrarys) {
    const std::string longPath = "ws://h/" + std::string(2031, 'p');
    for (const std::string& url :
         {std::string("ws://example.org/asr/v1?x=1"), std::string("WSS://10.0.0.1:8443"),
          std::string("ws://[::1]:9000/p#frag"), std::string("ws://h?token=a"), std::string("Ws://h:65535"),
          std::string(""), std::string("http://host/"), std::string("ws:/host"), std::string("ws://"),
          std::string("ws://:80/"), std::string("ws://host:0/"), std::string("ws://host:65536/"),
          std::string("ws://host:12ab/"), std::string("ws://host:/"), std::string("ws://[::1/"),
          std::string("ws://[::1]x/"), std::string("ws://[::1]:/"), std::string("ws://[nothex]:80/"),
          std::string("ws://user@host/"), std::string("ws://host/a b"), std::string("ws://host/\r\nX-Evil: 1"),
          std::string("wss://host\t/"), std::string("ftp://host"), std::string("ws://h/\x7f"), longPath,
          longPath + "p", "ws://" + std::string(253, 'h'), "ws://" + std::string(254, 'h'),
          std::string("ws://h:000080/"), std::string("ws://h:00080/x")}) {
        std::string why;
        auto mine = parseServerUrl(url, why);
        auto library = quorvex::transport::parseWsUrl(url);
        ASSERT_EQ(mine.has_value(), library.has_value()) << "'" << url << "': " << why;
        if (!mine) continue;
        EXPECT_EQ(mine->host, library->host) << url;
        EXPECT_EQ(mine->port, library->port) << url;
        EXPECT_EQ(mine->path, library->path) << url;
    }
    std::string why;
    EXPECT_EQ(parseServerUrl("ws://[::1]:9000/p", why)->where(), "[::1]:9000");
    EXPECT_EQ(parseServerUrl("wss://asr.example/p", why)->where(), "asr.example:443");
    EXPECT_FALSE(parseServerUrl("ws://host/a b", why));
    EXPECT_EQ(why, "spaces and control characters are not allowed in a URL");
}
