// SPDX-License-Identifier: Apache-2.0
#include "replies.h"

#include <json/json.h>

#include "protocol/asr_messages.h"

namespace quorvex::server {

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

} // namespace

std::string startSessionRes(int code, const std::string& description, const std::string& sessionId) {
    Json::Value response = envelope(QUORVEX::START_SESSION_RES, code, description);
    if (code == kOk) response["msg_data"]["session_id"] = sessionId;
    return compact(response);
}

std::string stopSessionRes() { return compact(envelope(QUORVEX::STOP_SESSION_RES, kOk, "")); }

std::string exceptionNtf(int code, const std::string& description) {
    return compact(envelope(QUORVEX::EXCEPTION_NTF, code, description));
}

std::string recognitionText(const Recognised& result) {
    Json::Value message = envelope(QUORVEX::RECOGNITION_TEXT, kOk, "");
    message["msg_data"]["text"] = result.text;
    message["msg_data"]["bg"] = result.bg;
    message["msg_data"]["ed"] = result.ed;
    message["msg_data"]["fin"] = result.fin;
    return compact(message);
}

std::string clientTextPrefix(const std::string& text, std::size_t limit) {
    std::string prefix;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        prefix += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    }
    if (text.size() > limit) prefix += "...";
    return prefix;
}

} // namespace quorvex::server
