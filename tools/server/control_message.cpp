// SPDX-License-Identifier: Apache-2.0
#include "control_message.h"

#include <memory>
#include <stdexcept>

#include "protocol/asr_messages.h"
#include "replies.h"

namespace quorvex::server {

namespace {

ControlMessage refused(int code, Refusal reason, std::string description) {
    ControlMessage message;
    message.code = code;
    message.refusal = reason;
    message.description = std::move(description);
    return message;
}

std::unique_ptr<Json::CharReader> strictReader(unsigned int maxDepth, bool failIfExtra = true) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_); // one value, no comments, nothing after it
    builder["stackLimit"] = maxDepth;
    builder["failIfExtra"] = failIfExtra;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

// Refused already; only tells which answer fits.
bool objectWithTrailingBytes(const char* data, std::size_t len, unsigned int maxDepth) {
    Json::Value root;
    return strictReader(maxDepth, false)->parse(data, data + len, &root, nullptr) && root.isObject();
}

} // namespace

ControlMessage readControlMessage(const char* data, std::size_t len, std::size_t maxBytes, unsigned int maxDepth) {
    if (len > maxBytes)
        return refused(kTooLarge, Refusal::MessageTooLarge,
                       "control message of " + std::to_string(len) + " bytes is over the limit of " +
                           std::to_string(maxBytes));
    Json::Value root;
    std::string errors;
    try {
        if (!strictReader(maxDepth)->parse(data, data + len, &root, &errors)) {
            bool trailing = objectWithTrailingBytes(data, len, maxDepth);
            return refused(kBadRequest, Refusal::BadJson,
                           trailing ? "bytes after the JSON object" : "control message is not a JSON object");
        }
    } catch (const std::exception&) { // jsoncpp throws past its stack limit
        return refused(kBadRequest, Refusal::JsonTooDeep,
                       "control message nested deeper than " + std::to_string(maxDepth) + " levels");
    }
    if (!root.isObject()) return refused(kBadRequest, Refusal::BadJson, "control message is not a JSON object");
    if (QUORVEX::getString("service_type", root) != QUORVEX::kAsrServiceType)
        return refused(kBadRequest, Refusal::BadJson, "service_type must be \"ASR\"");
    std::string type = QUORVEX::getString("msg_type", root);
    ControlMessage message;
    message.ok = true;
    if (type == QUORVEX::AsrMsgTypeNames[QUORVEX::START_SESSION_REQ]) {
        message.type = ControlType::Start;
        const Json::Value& payload = root.isMember("msg_data") ? root["msg_data"] : Json::Value::nullSingleton();
        if (payload.isObject()) message.token = QUORVEX::getString("token", payload);
    } else if (type == QUORVEX::AsrMsgTypeNames[QUORVEX::STOP_SESSION_REQ]) {
        message.type = ControlType::Stop;
    } else {
        return refused(kBadRequest, Refusal::UnknownType, "unknown msg_type \"" + clientTextPrefix(type) + "\"");
    }
    return message;
}

} // namespace quorvex::server
