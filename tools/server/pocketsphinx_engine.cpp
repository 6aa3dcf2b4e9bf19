#include <pocketsphinx.h>

#include <mutex>

#include "engine.h"

namespace quorvex::server {
namespace {

constexpr std::size_t kSamplesPerMs = 16;
constexpr std::size_t kPartialEverySamples = 8000;  // a partial result every half second of audio
constexpr std::size_t kUtteranceGapSamples = 16000; // a second of silence ends an utterance

int toMs(std::size_t samples) { return static_cast<int>(samples / kSamplesPerMs); }

// Decoders are expensive to load: sessions borrow one and give it back.
class DecoderPool {
public:
    DecoderPool(cmd_ln_t* config) : config_(config) {}
    ~DecoderPool() {
        for (ps_decoder_t* decoder : idle_) ps_free(decoder);
        cmd_ln_free_r(config_);
    }
    ps_decoder_t* take() {
        std::lock_guard<std::mutex> guard(lock_);
        if (!idle_.empty()) {
            ps_decoder_t* decoder = idle_.back();
            idle_.pop_back();
            return decoder;
        }
        return ps_init(config_); // sphinxbase's loader keeps global state: one at a time
    }
    void give(ps_decoder_t* decoder) {
        std::lock_guard<std::mutex> guard(lock_);
        idle_.push_back(decoder);
    }

private:
    std::mutex lock_; // guards idle_ and decoder creation
    cmd_ln_t* config_;
    std::vector<ps_decoder_t*> idle_;
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
        if (hyp && *hyp) results.push_back(Recognised{hyp, toMs(uttStart_), toMs(fed_), 1});
        heardSpeech_ = false;
        silence_ = 0;
        lastHyp_.clear();
    }

    DecoderPool& pool_;
    ps_decoder_t* decoder_;
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

private:
    DecoderPool pool_;
};

} // namespace

std::unique_ptr<Engine> makePocketsphinxEngine(const std::string& modelDir, std::string& error) {
    std::string hmm = modelDir + "/en-us", lm = modelDir + "/en-us.lm.bin", dict = modelDir + "/cmudict-en-us.dict";
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
