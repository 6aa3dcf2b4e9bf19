// SPDX-License-Identifier: Apache-2.0
#include "asr_messages.h"

#include <cstring>

#include "platform/system.h"

namespace QUORVEX {

const char* const AsrMsgTypeNames[6] = {"START_SESSION_REQ", "START_SESSION_RES", "RECOGNITION_TEXT",
                                         "EXCEPTION_NTF",     "STOP_SESSION_REQ",  "STOP_SESSION_RES"};

const char* const kAsrServiceType = "ASR";

namespace {

// A present member replaces the field; a mistyped one reads as its type's
// empty value, as the getters give it.
void read(const Json::Value& obj, const char* key, std::string& field) {
    if (const Json::Value* value = member(obj, key, std::strlen(key)))
        field = value->isString() ? value->asString() : std::string();
}

void read(const Json::Value& obj, const char* key, int& field) {
    if (const Json::Value* value = member(obj, key, std::strlen(key))) field = value->isInt() ? value->asInt() : 0;
}

template <typename T>
void read(const Json::Value& obj, const char* key, T& field) {
    if (const Json::Value* value = member(obj, key, std::strlen(key)))
        field = value->isObject() ? fromJson<T>(*value) : T{};
}

// The members every server message shares, in their wire order.
template <typename Message>
void readEnvelope(const Json::Value& obj, Message& message) {
    read(obj, "service_type", message.service_type);
    read(obj, "msg_type", message.msg_type);
    read(obj, "msg_id", message.msg_id);
    read(obj, "msg_code", message.msg_code);
}

template <typename Message>
void classifyAs(FrameKind kind, const Json::Value& root, ClassifiedFrame& frame) {
    frame.kind = kind;
    frame.message = fromJson<Message>(root);
}

} // namespace

// One lookup per member: a received text is read on the loop thread.
const Json::Value* member(const Json::Value& obj, const char* key, std::size_t length) {
    return obj.isObject() ? obj.find(key, key + length) : nullptr;
}

std::string getString(const std::string& key, const Json::Value& obj) {
    const Json::Value* value = member(obj, key.data(), key.size());
    return value && value->isString() ? value->asString() : std::string();
}

int getInt(const std::string& key, const Json::Value& obj) {
    const Json::Value* value = member(obj, key.data(), key.size());
    return value && value->isInt() ? value->asInt() : 0;
}

template <>
AsrMsgHead fromJson<AsrMsgHead>(const Json::Value& obj) {
    AsrMsgHead head;
    read(obj, "service_type", head.service_type);
    read(obj, "msg_type", head.msg_type);
    return head;
}

template <>
StartSessionResData fromJson<StartSessionResData>(const Json::Value& obj) {
    StartSessionResData data;
    read(obj, "session_id", data.session_id);
    return data;
}

template <>
StartSessionRes fromJson<StartSessionRes>(const Json::Value& obj) {
    StartSessionRes message;
    readEnvelope(obj, message);
    read(obj, "msg_desc", message.msg_desc);
    read(obj, "msg_data", message.msg_data);
    return message;
}

template <>
RecognitionTextData fromJson<RecognitionTextData>(const Json::Value& obj) {
    RecognitionTextData data;
    read(obj, "text", data.text);
    read(obj, "bg", data.bg);
    read(obj, "ed", data.ed);
    read(obj, "fin", data.fin);
    return data;
}

template <>
RecognitionText fromJson<RecognitionText>(const Json::Value& obj) {
    RecognitionText message;
    readEnvelope(obj, message);
    read(obj, "msg_data", message.msg_data);
    return message;
}

template <>
ExceptionNtf fromJson<ExceptionNtf>(const Json::Value& obj) {
    ExceptionNtf message;
    readEnvelope(obj, message);
    read(obj, "msg_desc", message.msg_desc);
    return message;
}

template <>
StopSessionRes fromJson<StopSessionRes>(const Json::Value& obj) {
    StopSessionRes message;
    readEnvelope(obj, message);
    read(obj, "msg_desc", message.msg_desc);
    return message;
}

Json::Value toJson(const std::string& s) { return Json::Value(s); }

Json::Value toJson(const StartSessionReqData& d) {
    Json::Value value;
    value["token"] = toJson(d.token);
    return value;
}

Json::Value toJson(const StartSessionReq& r) {
    Json::Value value;
    value["service_type"] = toJson(r.service_type);
    value["msg_type"] = toJson(r.msg_type);
    value["msg_id"] = toJson(r.msg_id);
    value["msg_data"] = toJson(r.msg_data);
    return value;
}

Json::Value toJson(const StopSessionReq& r) {
    Json::Value value;
    value["service_type"] = toJson(r.service_type);
    value["msg_type"] = toJson(r.msg_type);
    value["msg_id"] = toJson(r.msg_id);
    return value;
}

namespace {

bool parseJson(const char* begin, const char* end, Json::Value& root) {
    if constexpr (quorvex::platform::kThreadLocalDestructorsAreSafe) {
        // One reader per thread: a new one allocates its two internal deques per message.
        static thread_local Json::Reader reader;
        return reader.parse(begin, end, root, false);
    } else {
        Json::Reader reader;
        return reader.parse(begin, end, root, false);
    }
}

} // namespace

ClassifiedFrame classifyFrame(const char* data, int len) {
    ClassifiedFrame frame;
    if (len < 0 || (len > 0 && !data)) return frame;
    static const char empty[1] = {0};
    const char* begin = len > 0 ? data : empty;
    try {
        Json::Value root;
        if (!parseJson(begin, begin + len, root) || !root.isObject()) return frame;
        frame.head = fromJson<AsrMsgHead>(root);
        if (frame.head.service_type != kAsrServiceType) {
            frame.kind = FrameKind::NotForAsr;
            return frame;
        }
        const std::string& type = frame.head.msg_type;
        if (type == AsrMsgTypeNames[START_SESSION_RES]) {
            classifyAs<StartSessionRes>(FrameKind::StartSessionRes, root, frame);
        } else if (type == AsrMsgTypeNames[RECOGNITION_TEXT]) {
            classifyAs<RecognitionText>(FrameKind::RecognitionText, root, frame);
        } else if (type == AsrMsgTypeNames[STOP_SESSION_RES]) {
            classifyAs<StopSessionRes>(FrameKind::StopSessionRes, root, frame);
        } else if (type == AsrMsgTypeNames[EXCEPTION_NTF]) {
            classifyAs<ExceptionNtf>(FrameKind::ExceptionNtf, root, frame);
        } else {
            frame.kind = FrameKind::Ignored;
        }
        return frame;
    } catch (...) {
        // A hostile frame may drive the parser into any failure it can report.
        return ClassifiedFrame{};
    }
}

} // namespace QUORVEX
