// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_PROTOCOL_ASR_MESSAGES_H
#define QUORVEX_PROTOCOL_ASR_MESSAGES_H

#include <json/json.h>

#include <string>
#include <variant>

namespace QUORVEX {

enum AsrMsgType {
    START_SESSION_REQ = 0,
    START_SESSION_RES = 1,
    RECOGNITION_TEXT = 2,
    EXCEPTION_NTF = 3,
    STOP_SESSION_REQ = 4,
    STOP_SESSION_RES = 5,
};

// The wire names, indexed by AsrMsgType: the one place they are spelled.
extern const char* const AsrMsgTypeNames[6];

// The only service type this client sends and accepts.
extern const char* const kAsrServiceType;

struct AsrMsgHead {
    std::string service_type;
    std::string msg_type;
};

struct StartSessionReqData {
    std::string token;
};

struct StartSessionReq {
    std::string service_type = kAsrServiceType;
    std::string msg_type = AsrMsgTypeNames[START_SESSION_REQ];
    std::string msg_id;
    StartSessionReqData msg_data;
};

struct StopSessionReq {
    std::string service_type = kAsrServiceType;
    std::string msg_type = AsrMsgTypeNames[STOP_SESSION_REQ];
    std::string msg_id;
};

struct StartSessionResData {
    std::string session_id;
};

struct StartSessionRes {
    std::string service_type = kAsrServiceType;
    std::string msg_type = AsrMsgTypeNames[START_SESSION_RES];
    std::string msg_id;
    int msg_code = 0;
    std::string msg_desc;
    StartSessionResData msg_data;
};

struct RecognitionTextData {
    std::string text;
    int bg = 0;
    int ed = 0;
    int fin = 0;
};

struct RecognitionText {
    std::string service_type = kAsrServiceType;
    std::string msg_type = AsrMsgTypeNames[RECOGNITION_TEXT];
    std::string msg_id;
    int msg_code = 0;
    RecognitionTextData msg_data;
};

struct ExceptionNtf {
    std::string service_type = kAsrServiceType;
    std::string msg_type = AsrMsgTypeNames[EXCEPTION_NTF];
    std::string msg_id;
    int msg_code = 0;
    std::string msg_desc;
};

struct StopSessionRes {
    std::string service_type = kAsrServiceType;
    std::string msg_type = AsrMsgTypeNames[STOP_SESSION_RES];
    std::string msg_id;
    int msg_code = 0;
    std::string msg_desc;
};

// Tolerant member getters: an absent or mistyped member gives "", 0 or an
// empty record. They only read; a lookup never adds a member.
std::string getString(const std::string& key, const Json::Value& obj);
int getInt(const std::string& key, const Json::Value& obj);

template <typename T>
T fromJson(const Json::Value& obj);

// The member named, or null when obj is no object or has no such member.
const Json::Value* member(const Json::Value& obj, const char* key, std::size_t length);

template <typename T>
T getObject(const std::string& key, const Json::Value& obj) {
    const Json::Value* value = member(obj, key.data(), key.size());
    return value && value->isObject() ? fromJson<T>(*value) : T{};
}

template <> AsrMsgHead fromJson<AsrMsgHead>(const Json::Value& obj);
template <> StartSessionResData fromJson<StartSessionResData>(const Json::Value& obj);
template <> StartSessionRes fromJson<StartSessionRes>(const Json::Value& obj);
template <> RecognitionTextData fromJson<RecognitionTextData>(const Json::Value& obj);
template <> RecognitionText fromJson<RecognitionText>(const Json::Value& obj);
template <> ExceptionNtf fromJson<ExceptionNtf>(const Json::Value& obj);
template <> StopSessionRes fromJson<StopSessionRes>(const Json::Value& obj);

Json::Value toJson(const std::string& s);
Json::Value toJson(const StartSessionReqData& d);
Json::Value toJson(const StartSessionReq& r);
Json::Value toJson(const StopSessionReq& r);

// Sends a request as one styled JSON text frame: writer(text, byteLength).
template <typename Request, typename Writer>
void sendMessage(const Request& request, Writer&& writer) {
    const std::string text = toJson(request).toStyledString();
    writer(text.data(), static_cast<int>(text.size()));
}

// What a received text frame is.
enum class FrameKind { NotJson, NotForAsr, StartSessionRes, RecognitionText, StopSessionRes, ExceptionNtf, Ignored };

struct ClassifiedFrame {
    FrameKind kind = FrameKind::NotJson;
    AsrMsgHead head; // decoded for every frame that is a JSON object
    std::variant<std::monostate, StartSessionRes, RecognitionText, StopSessionRes, ExceptionNtf> message;
};

// Classifies the len bytes at data (no terminator needed, nothing beyond len
// is read) and decodes a server message. Never throws: any parser failure,
// by result or by exception, makes the frame NotJson.
ClassifiedFrame classifyFrame(const char* data, int len);

} // namespace QUORVEX

#endif
