// SPDX-License-Identifier: Apache-2.0
// Memory held for a server that reads nothing while the application floods
// sendAudio: the send queue's cap bounds it. Reports the payload the queue
// took and the resident memory it cost.
//   flood_rss [cap_bytes=2097152]
#include <cstdio>
#include <cstdlib>

#include "asr_fixture.h"
#include "lws_log.h"
#include "process_stats.h"
#include "quorvex/quorvex.h"
#include "wire_peer.h"

using namespace quorvex::test;
using namespace QUORVEX;
using quorvex::bench::residentKiB;

int main(int argc, char** argv) {
    const int cap = argc > 1 ? std::atoi(argv[1]) : 2 << 20;
    captureLwsLog();
    QvAsrSdkLogParam log{false, nullptr, nullptr};
    QvAsrSdkInitParam params{};
    init(&log, &params);
    QvAsrClientLimits limits{};
    limits.sendQueueBytes = cap;
    setClientLimits(&limits);

    WirePeer deaf(WirePeer::Mode::DeafAfterStart);
    RecordingListener listener;
    QvAsrClient* client = createAsrInstance();
    client->init(&listener);
    std::string url = deaf.url();
    QvAsrStartParam start{url.c_str(), "flood"};
    client->start(&start);
    if (!listener.waitFor("start") || listener.heard("start")[0].code != 0) {
        std::fprintf(stderr, "the session did not start\n");
        return 1;
    }
    std::vector<unsigned char> pcm(640, 5);
    QvAsrAudioFrame frame{pcm.data(), 640, 1, 16000, 16};
    long before = residentKiB(), peak = before, accepted = 0;
    while (accepted < 1000000 && client->sendAudio(&frame) == 0) {
        if (++accepted % 256 == 0) peak = std::max(peak, residentKiB());
    }
    peak = std::max(peak, residentKiB());
    bool heard = listener.waitFor("session");
    double grownKiB = static_cast<double>(peak - before);
    std::printf("cap %d bytes: %ld frames accepted (%ld KiB of payload, socket buffers included), "
                "then %s\n",
                cap, accepted, accepted * 640 / 1024, heard ? listener.heard("session")[0].text.c_str() : "no error");
    std::printf("resident memory grew %.0f KiB at most: %.2f x the cap\n", grownKiB, grownKiB * 1024 / cap);
    destroyAsrInstance(client);
    delete client;
    release();
    return heard ? 0 : 3;
}
