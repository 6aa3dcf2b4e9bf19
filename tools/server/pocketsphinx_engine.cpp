// SPDX-License-Identifier: Apache-2.0
#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/fe.h>
#include <sphinxbase/feat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "engine.h"

namespace quorvex::server {
namespace {

constexpr std::size_t kSamplesPerMs = 16;
constexpr std::size_t kPartialEverySamples = 8000;  // a partial result every half second of audio
constexpr std::size_t kUtteranceGapSamples = 16000; // a second of silence ends an utterance
constexpr std::size_t kSecondPassSamples = 60 * 16000; // utterances up to a minute get their final from a second pass

int toMs(std::size_t samples) { return static_cast<int>(samples / kSamplesPerMs); }

// Decoders are expensive to load (about 94 MB each): sessions borrow one and
// give it back; one unused for long enough is freed. The server's session cap
// bounds how many are ever borrowed at once.
class DecoderPool {
public:
    using Clock = std::chrono::steady_clock;

    explicit DecoderPool(cmd_ln_t* config) : config_(config) {}
    ~DecoderPool() {
        for (const Idle& idle : idle_) ps_free(idle.decoder);
        cmd_ln_free_r(config_);
    }
    ps_decoder_t* take() {
        std::lock_guard<std::mutex> guard(lock_);
        if (!idle_.empty()) {
            ps_decoder_t* decoder = idle_.back().decoder; // the most recently used: the others may age out
            idle_.pop_back();
            reset(decoder);
            return decoder;
        }
        ps_decoder_t* decoder = ps_init(config_); // sphinxbase's loader keeps global state: one at a time
        if (!decoder) return nullptr;
        ++loaded_;
        if (freshCmn_.empty()) remember(decoder);
        return decoder;
    }
    void give(ps_decoder_t* decoder) {
        std::lock_guard<std::mutex> guard(lock_);
        idle_.push_back(Idle{decoder, Clock::now()});
    }
    void releaseIdle(std::chrono::milliseconds idleFor) {
        std::lock_guard<std::mutex> guard(lock_); // freeing, too, touches the loader's state
        auto now = Clock::now();
        while (!idle_.empty() && now - idle_.front().since >= idleFor) {
            ps_free(idle_.front().decoder);
            idle_.pop_front();
            --loaded_;
        }
    }
    std::size_t loaded() const {
        std::lock_guard<std::mutex> guard(lock_);
        return loaded_;
    }
    void restart(ps_decoder_t* decoder) {
        std::lock_guard<std::mutex> guard(lock_);
        reset(decoder);
    }

private:
    struct Idle {
        ps_decoder_t* decoder;
        Clock::time_point since;
    };

    // A decoder learns the channel as it goes (the cepstral mean, the noise
    // level): a reused one starts from what a new one knows, so that a
    // session's words depend on its own audio alone.
public:
    static cmn_t* cmnOf(ps_decoder_t* decoder) {
        feat_t* features = ps_get_feat(decoder);
        return features ? features->cmn_struct : nullptr;
    }
private:
    void remember(ps_decoder_t* decoder) {
        if (cmn_t* cmn = cmnOf(decoder)) {
            freshCmn_.resize(static_cast<std::size_t>(cmn->veclen));
            cmn_live_get(cmn, freshCmn_.data());
        }
    }
    void reset(ps_decoder_t* decoder) {
        ps_start_stream(decoder); // the front end: noise estimate, sample counters
        cmn_t* cmn = cmnOf(decoder);
        if (cmn && freshCmn_.size() == static_cast<std::size_t>(cmn->veclen)) cmn_live_set(cmn, freshCmn_.data());
    }

    mutable std::mutex lock_; // guards idle_, loaded_ and decoder creation
    cmd_ln_t* config_;
    std::deque<Idle> idle_; // oldest first
    std::size_t loaded_ = 0;
    std::vector<mfcc_t> freshCmn_; // the cepstral mean a new decoder starts with
};

class SphinxRecogniser : public Recogniser {
public:
    SphinxRecogniser(DecoderPool& pool, ps_decoder_t* decoder) : pool_(pool), decoder_(decoder) {
        ps_start_utt(decoder_);
    }
    ~SphinxRecogniser() override {
        if (open_) ps_end_utt(decoder_);
        pool_.give(decoder_);
    }

    std::vector<Recognised> feed(const std::int16_t* samples, std::size_t count) override {
        std::vector<Recognised> results;
        ps_process_raw(decoder_, samples, count, FALSE, FALSE);
        if (utterance_.size() + count <= kSecondPassSamples) utterance_.insert(utterance_.end(), samples, samples + count);
        else tooLong_ = true;
        fed_ += count;
        trackSilence(count, results);
        if (fed_ - lastPartial_ >= kPartialEverySamples) {
            lastPartial_ = fed_;
            const char* hyp = ps_get_hyp(decoder_, nullptr);
            if (hyp && *hyp && lastHyp_ != hyp) {
                lastHyp_ = hyp;
                results.push_back(Recognised{hyp, toMs(uttStart_), toMs(fed_), 0});
            }
        }
        return results;
    }

    std::vector<Recognised> finish() override {
        std::vector<Recognised> results;
        endUtterance(results);
        return results;
    }

private:
    void trackSilence(std::size_t count, std::vector<Recognised>& results) {
        if (ps_get_in_speech(decoder_)) {
            heardSpeech_ = true;
            silence_ = 0;
            return;
        }
        if (!heardSpeech_) return;
        silence_ += count;
        if (silence_ < kUtteranceGapSamples) return;
        endUtterance(results);
        ps_start_utt(decoder_);
        open_ = true;
        uttStart_ = fed_;
    }

    void endUtterance(std::vector<Recognised>& results) {
        if (!open_) return;
        ps_end_utt(decoder_);
        open_ = false;
        const char* hyp = ps_get_hyp(decoder_, nullptr);
        std::string text = hyp ? hyp : "";
        if (!tooLong_ && !utterance_.empty()) text = secondPass(text);
        if (!text.empty()) results.push_back(Recognised{text, toMs(uttStart_), toMs(fed_), 1});
        utterance_.clear();
        tooLong_ = false;
        heardSpeech_ = false;
        silence_ = 0;
        lastHyp_.clear();
    }

    // The streaming pass learns the channel as it goes, so its first words
    // depend on where it started. The final result decodes the whole utterance
    // again with its cepstral mean taken from all of it, as pocketsphinx does
    // with a whole file: the words depend on the utterance alone.
    std::string secondPass(const std::string& streamed) {
        if (!useUtteranceMean()) return streamed;
        if (ps_start_utt(decoder_) < 0) return streamed;
        ps_process_raw(decoder_, utterance_.data(), utterance_.size(), FALSE, TRUE);
        ps_end_utt(decoder_);
        const char* hyp = ps_get_hyp(decoder_, nullptr);
        return hyp ? hyp : streamed;
    }

    // The cepstral mean of the open utterance, for the pass that decodes it again.
    bool useUtteranceMean() {
        fe_t* frontEnd = ps_get_fe(decoder_);
        cmn_t* cmn = DecoderPool::cmnOf(decoder_);
        if (!frontEnd || !cmn || fe_get_output_size(frontEnd) != cmn->veclen) return false;
        ps_start_stream(decoder_);
        mfcc_t** cepstra = nullptr;
        int32 frames = 0;
        fe_start_utt(frontEnd);
        int status = fe_process_utt(frontEnd, utterance_.data(), utterance_.size(), &cepstra, &frames);
        std::vector<mfcc_t> tail(static_cast<std::size_t>(cmn->veclen));
        int32 tailFrames = 0;
        fe_end_utt(frontEnd, tail.data(), &tailFrames);
        std::vector<mfcc_t> mean(static_cast<std::size_t>(cmn->veclen), 0);
        for (int32 frame = 0; status >= 0 && cepstra && frame < frames; ++frame)
            for (int32 i = 0; i < cmn->veclen; ++i) mean[static_cast<std::size_t>(i)] += cepstra[frame][i] / frames;
        if (cepstra) fe_free_2d(cepstra);
        if (status < 0 || frames == 0) return false;
        ps_start_stream(decoder_);
        cmn_live_set(cmn, mean.data());
        return true;
    }

    DecoderPool& pool_;
    ps_decoder_t* decoder_;
    std::vector<std::int16_t> utterance_; // the open utterance's audio, for the second pass
    bool tooLong_ = false;
    bool open_ = true;
    bool heardSpeech_ = false;
    std::size_t fed_ = 0, uttStart_ = 0, silence_ = 0, lastPartial_ = 0;
    std::string lastHyp_;
};

class SphinxEngine : public Engine {
public:
    explicit SphinxEngine(cmd_ln_t* config) : pool_(config) {}
    std::unique_ptr<Recogniser> open() override {
        ps_decoder_t* decoder = pool_.take();
        if (!decoder) return nullptr;
        return std::make_unique<SphinxRecogniser>(pool_, decoder);
    }
    const char* name() const override { return "pocketsphinx"; }
    // A decoder takes about a third of a core in real time and 94 MB.
    unsigned int suggestedSessions(unsigned int workers) const override { return std::max(1u, workers * 3 / 2); }
    void releaseIdle(std::chrono::milliseconds idleFor) override { pool_.releaseIdle(idleFor); }
    std::size_t loaded() const override { return pool_.loaded(); }

private:
    DecoderPool pool_;
};

} // namespace

std::unique_ptr<Engine> makePocketsphinxEngine(const std::string& modelDir, std::string& error) {
    std::string hmm = modelDir + "/en-us", lm = modelDir + "/en-us.lm.bin", dict = modelDir + "/cmudict-en-us.dict";
    for (const std::string& part : {hmm + "/mdef", lm, dict}) {
        if (::access(part.c_str(), R_OK) == 0) continue;
        error = "the pocketsphinx model is missing or unreadable: " + part + " (" + std::strerror(errno) +
                "); install pocketsphinx-en-us, or give --model DIR (a folder with en-us/, en-us.lm.bin and "
                "cmudict-en-us.dict)";
        return nullptr;
    }
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
                                   dict.c_str(), "-logfn", "/dev/null", nullptr);
    if (!config) {
        error = "cannot read the pocketsphinx model in " + modelDir;
        return nullptr;
    }
    auto engine = std::make_unique<SphinxEngine>(config);
    // Load one decoder now, so a broken model is reported at start-up.
    auto probe = engine->open();
    if (!probe) {
        error = "cannot load the pocketsphinx model in " + modelDir;
        return nullptr;
    }
    return engine;
}

} // namespace quorvex::server
