#include "asr_server.h"

#include <json/json.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "protocol/asr_messages.h"
#include "transport/wss_config.h"
#include "transport/wss_conn.h"
#include "transport/wss_context.h"
#include "worker_pool.h"

namespace quorvex::server {

struct AsrServer::Shared {
    Shared(ServerOptions serverOptions, std::shared_ptr<Engine> recogniserEngine, Metrics& serverMetrics)
        : options(std::move(serverOptions)), engine(std::move(recogniserEngine)), metrics(serverMetrics) {}

    ServerOptions options;
    std::shared_ptr<Engine> engine;
    Metrics& metrics;
    std::unique_ptr<WorkerPool> pool;
    std::mt19937_64 ids{std::random_device{}()};
    std::mutex idLock; // guards ids

    std::string newSessionId() {
        std::lock_guard<std::mutex> guard(idLock);
        char text[40];
        std::snprintf(text, sizeof text, "%016llx%08llx", static_cast<unsigned long long>(ids()),
                      static_cast<unsigned long long>(ids() & 0xffffffffu));
        return text;
    }
};

namespace {

using QUORVEX::AsrMsgTypeNames;

std::string compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

// A server message with the envelope every server message shares.
Json::Value envelope(QUORVEX::AsrMsgType type, int code, const std::string& description) {
    Json::Value message;
    message["service_type"] = QUORVEX::kAsrServiceType;
    message["msg_type"] = AsrMsgTypeNames[type];
    message["msg_id"] = "";
    message["msg_code"] = code;
    if (type != QUORVEX::RECOGNITION_TEXT) message["msg_desc"] = description;
    return message;
}

std::string recognitionText(const Recognised& result) {
    Json::Value message = envelope(QUORVEX::RECOGNITION_TEXT, 0, "");
    message["msg_data"]["text"] = result.text;
    message["msg_data"]["bg"] = result.bg;
    message["msg_data"]["ed"] = result.ed;
    message["msg_data"]["fin"] = result.fin;
    return compact(message);
}

std::string exceptionNtf(int code, const std::string& description) {
    return compact(envelope(QUORVEX::EXCEPTION_NTF, code, description));
}

// What recognition workers and the connection share. The connection goes
// away on the loop thread; workers send only while it is still there.
class Session {
public:
    explicit Session(CWSSConn* conn) : conn_(conn) {}
    void send(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock_);
        if (conn_) conn_->writeText(text.data(), static_cast<int>(text.size()));
    }
    void detach() {
        std::lock_guard<std::mutex> guard(lock_);
        conn_ = nullptr;
    }
    std::unique_ptr<Recogniser> recogniser; // strand only

private:
    std::mutex lock_; // guards conn_
    CWSSConn* conn_;
};

// One WebSocket recognition session. Events on the loop thread; recognition
// on the session's strand, in arrival order.
class SessionConn : public CWSSConn {
public:
    explicit SessionConn(AsrServer::Shared& shared)
        : shared_(shared), session_(std::make_shared<Session>(this)), strand_(shared.pool->makeStrand()) {}

    void onTextData(const char* data, int len) override {
        Json::Value request;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (!reader->parse(data, data + len, &request, &errors) || !request.isObject()) {
            reply(exceptionNtf(400, "control message is not a JSON object"));
            return;
        }
        std::string type = QUORVEX::getString("msg_type", request);
        if (QUORVEX::getString("service_type", request) != QUORVEX::kAsrServiceType) {
            reply(exceptionNtf(400, "service_type must be \"ASR\""));
        } else if (type == AsrMsgTypeNames[QUORVEX::START_SESSION_REQ]) {
            startSession(request);
        } else if (type == AsrMsgTypeNames[QUORVEX::STOP_SESSION_REQ]) {
            stopSession();
        } else {
            reply(exceptionNtf(400, "unknown msg_type \"" + type + "\""));
        }
    }

    void onBinaryData(const unsigned char* data, int len) override {
        if (!started_) {
            reply(exceptionNtf(409, "audio before START_SESSION_REQ"));
            return;
        }
        if (len % 2 != 0) {
            reply(exceptionNtf(400, "audio frame of " + std::to_string(len) + " bytes is not 16-bit PCM"));
            return;
        }
        shared_.metrics.audioBytes += len;
        ++shared_.metrics.audioFrames;
        std::vector<std::int16_t> samples(static_cast<std::size_t>(len) / 2);
        if (len > 0) std::memcpy(samples.data(), data, static_cast<std::size_t>(len));
        auto session = session_;
        Metrics* metrics = &shared_.metrics;
        strand_->post([session, metrics, samples = std::move(samples)] {
            if (!session->recogniser) return;
            for (const auto& result : session->recogniser->feed(samples.data(), samples.size())) {
                session->send(recognitionText(result));
                ++metrics->textsSent;
            }
        });
    }

    void onClose() override {
        session_->detach();
        if (started_) --shared_.metrics.sessionsOpen;
        started_ = false;
    }

private:
    void reply(const std::string& text) { writeText(text.data(), static_cast<int>(text.size())); }

    void startSession(const Json::Value& request) {
        if (started_) {
            reply(exceptionNtf(409, "session already started"));
            return;
        }
        const std::string& expected = shared_.options.token;
        std::string token = QUORVEX::getString("token", request.get("msg_data", Json::Value()));
        if (!expected.empty() && token != expected) {
            reply(compact(envelope(QUORVEX::START_SESSION_RES, 401, "invalid token")));
            closeWhenSent();
            return;
        }
        started_ = true;
        ++shared_.metrics.sessionsOpen;
        ++shared_.metrics.sessionsTotal;
        std::string id = shared_.newSessionId();
        auto session = session_;
        auto engine = shared_.engine;
        // Opening a recogniser may load a model: the worker does it, then answers.
        strand_->post([session, engine, id] {
            session->recogniser = engine->open();
            if (!session->recogniser) {
                session->send(compact(envelope(QUORVEX::START_SESSION_RES, 503, "no recogniser available")));
                return;
            }
            Json::Value response = envelope(QUORVEX::START_SESSION_RES, 0, "");
            response["msg_data"]["session_id"] = id;
            session->send(compact(response));
        });
    }

    void stopSession() {
        if (!started_) {
            reply(exceptionNtf(409, "STOP_SESSION_REQ without a session"));
            return;
        }
        started_ = false;
        --shared_.metrics.sessionsOpen;
        auto session = session_;
        Metrics* metrics = &shared_.metrics;
        strand_->post([session, metrics] {
            if (session->recogniser) {
                for (const auto& result : session->recogniser->finish()) {
                    session->send(recognitionText(result));
                    ++metrics->textsSent;
                }
                session->recogniser.reset();
            }
            session->send(compact(envelope(QUORVEX::STOP_SESSION_RES, 0, "")));
        });
    }

    AsrServer::Shared& shared_;
    std::shared_ptr<Session> session_;
    std::shared_ptr<WorkerPool::Strand> strand_;
    bool started_ = false; // loop thread
};

// GET /healthz and GET /metrics.
class StatusConn : public CWSSConn {
public:
    explicit StatusConn(AsrServer::Shared& shared) : shared_(shared) {}
    bool processRequest() override {
        if (method != 0) return false;
        std::string body;
        if (requestUri == "/healthz") {
            body = "ok\n";
        } else if (requestUri == "/metrics") {
            body = shared_.metrics.render();
        } else {
            return false;
        }
        responseStatus = 200;
        responseContentType = "text/plain; charset=utf-8";
        response = std::string(16, '\0') + body; // room for the transport's header bytes
        return true;
    }

private:
    AsrServer::Shared& shared_;
};

} // namespace

std::string Metrics::render() const {
    std::string text;
    auto line = [&text](const char* name, const char* help, std::int64_t value) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " +
                (std::strstr(name, "_total") ? "counter" : "gauge") + "\n" + name + " " + std::to_string(value) + "\n";
    };
    line("quorvex_sessions_open", "Recognition sessions running now.", sessionsOpen);
    line("quorvex_sessions_total", "Recognition sessions started.", sessionsTotal);
    line("quorvex_audio_bytes_total", "Audio bytes received.", audioBytes);
    line("quorvex_audio_frames_total", "Audio frames received.", audioFrames);
    line("quorvex_texts_sent_total", "Recognition texts sent.", textsSent);
    return text;
}

AsrServer::AsrServer(ServerOptions options, std::shared_ptr<Engine> engine)
    : shared_(std::make_shared<Shared>(std::move(options), std::move(engine), metrics_)) {
    unsigned int workers = shared_->options.workers ? shared_->options.workers : std::thread::hardware_concurrency();
    shared_->pool = std::make_unique<WorkerPool>(workers);
}

AsrServer::~AsrServer() {
    if (context_) context_->stop(); // every session hears its close first
    context_.reset();
    shared_->pool.reset(); // finishes queued recognition with nobody left to send to
}

bool AsrServer::start(std::string& error) {
    tagWSSvrConfig config;
    config.listenPort = shared_->options.port;
    std::snprintf(config.bindInterface, sizeof config.bindInterface, "%s", shared_->options.bind.c_str());
    std::snprintf(config.moduleName, sizeof config.moduleName, "quorvex-server");
    context_ = std::make_unique<CWSSContext>();
    Shared& shared = *shared_;
    bool ok = context_->startServer(config, [&shared](const std::string& path) -> CWSSConn* {
        if (path == shared.options.path) return new SessionConn(shared);
        return new StatusConn(shared);
    });
    if (!ok) {
        error = "cannot listen on " + shared_->options.bind + ":" + std::to_string(shared_->options.port);
        context_.reset();
    }
    return ok;
}

int AsrServer::port() const { return context_ ? context_->listenPort() : 0; }

std::string AsrServer::url() const {
    return "ws://" + shared_->options.bind + ":" + std::to_string(port()) + shared_->options.path;
}

} // namespace quorvex::server
