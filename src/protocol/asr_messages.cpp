#include "asr_messages.h"

namespace QUORVEX {

const char* const AsrMsgTypeNames[6] = {"START_SESSION_REQ", "START_SESSION_RES", "RECOGNITION_TEXT",
                                         "EXCEPTION_NTF",     "STOP_SESSION_REQ",  "STOP_SESSION_RES"};

const char* const kAsrServiceType = "ASR";

namespace {

bool hasMember(const Json::Value& obj, const char* key) { return obj.isObject() && obj.isMember(key); }

// A present member replaces the field, through the getter of its type.
void read(const Json::Value& obj, const char* key, std::string& field) {
    if (hasMember(obj, key)) field = getString(key, obj);
}

void read(const Json::Value& obj, const char* key, int& field) {
    if (hasMember(obj, key)) field = getInt(key, obj);
}

template <typename T>
void read(const Json::Value& obj, const char* key, T& field) {
    if (hasMember(obj, key)) field = getObject<T>(key, obj);
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

std::string getString(const std::string& key, const Json::Value& obj) {
    if (obj.isObject() && obj.isMember(key) && obj[key].isString()) return obj[key].asString();
    return std::string();
}

int getInt(const std::string& key, const Json::Value& obj) {
    if (obj.isObject() && obj.isMember(key) && obj[key].isInt()) return obj[key].asInt();
    return 0;
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

ClassifiedFrame classifyFrame(const char* data, int len) {
    ClassifiedFrame frame;
    if (len < 0 || (len > 0 && !data)) return frame;
    static const char empty[1] = {0};
    const char* begin = len > 0 ? data : empty;
    try {
        // One reader per thread: a new one allocates its two internal deques per message.
        static thread_local Json::Reader reader;
        Json::Value root;
        if (!reader.parse(begin, begin + len, root, false) || !root.isObject()) return frame;
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
