// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/asr_messages.h"

using namespace QUORVEX;

namespace {

Json::Value parse(const std::string& text) {
    Json::Value root;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, root)) << text;
    return root;
}

std::string compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

// The frame is copied into a buffer of exactly its length, without a
// terminator, so a read past the end is caught by AddressSanitizer.
ClassifiedFrame classify(const std::string& text, int len = -1) {
    std::vector<char> exact(text.begin(), text.end());
    return classifyFrame(exact.data(), len < 0 ? static_cast<int>(exact.size()) : len);
}

StartSessionRes startRes(const std::string& members) {
    return fromJson<StartSessionRes>(parse("{\"service_type\":\"ASR\",\"msg_type\":\"START_SESSION_RES\"" + members + "}"));
}

} // namespace

TEST(Catalogue, WireNamesAndInitialRecords) {
    const char* expected[] = {"START_SESSION_REQ", "START_SESSION_RES", "RECOGNITION_TEXT",
                              "EXCEPTION_NTF",     "STOP_SESSION_REQ",  "STOP_SESSION_RES"};
    for (int type = START_SESSION_REQ; type <= STOP_SESSION_RES; ++type) EXPECT_STREQ(AsrMsgTypeNames[type], expected[type]);
    EXPECT_EQ(StartSessionRes().msg_type, "START_SESSION_RES");
    EXPECT_EQ(RecognitionText().service_type, "ASR");
    EXPECT_EQ(ExceptionNtf().msg_type, "EXCEPTION_NTF");
    EXPECT_EQ(StopSessionRes().msg_code, 0);
    EXPECT_TRUE(AsrMsgHead().service_type.empty());
}

TEST(Encoding, RequestsCarryExactlyTheirMembers) {
    EXPECT_EQ(compact(toJson(StopSessionReq())), R"({"msg_id":"","msg_type":"STOP_SESSION_REQ","service_type":"ASR"})");
    EXPECT_EQ(compact(toJson(StartSessionReq())),
              R"({"msg_data":{"token":""},"msg_id":"","msg_type":"START_SESSION_REQ","service_type":"ASR"})");
    StartSessionReq start;
    start.msg_data.token = "t\"ok\xc3\xa9n";
    EXPECT_EQ(toJson(start)["msg_data"]["token"].asString(), "t\"ok\xc3\xa9n");
}

TEST(Encoding, SendMessageWritesOneStyledTextWithItsByteLength) {
    StartSessionReq start;
    start.msg_data.token = "secret";
    std::string sent;
    int calls = 0;
    sendMessage(start, [&](const char* data, int len) {
        ++calls;
        sent.assign(data, static_cast<std::size_t>(len));
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(sent, toJson(start).toStyledString());
    EXPECT_EQ(sent.back(), '\n');
    EXPECT_LT(sent.find("\"msg_data\""), sent.find("\"service_type\"")) << "members are listed by key";
    EXPECT_EQ(parse(sent)["msg_data"]["token"].asString(), "secret");
}

TEST(Classification, FramesThatAreNotJsonObjects) {
    for (const char* text : {"", "[]", "[1,2]", "\"ASR\"", "42", "true", "null", "{", "{\"a\":}", "\xff\xfe",
                             "{\"service_type\":\"ASR\",}x{"}) {
        EXPECT_EQ(classify(text).kind, FrameKind::NotJson) << text;
    }
    EXPECT_EQ(classifyFrame(nullptr, 0).kind, FrameKind::NotJson);
    EXPECT_EQ(classifyFrame(nullptr, 5).kind, FrameKind::NotJson);
    EXPECT_EQ(classifyFrame("{}", -1).kind, FrameKind::NotJson);
}

TEST(Classification, LengthBoundsAreRespected) {
    std::string frame = R"({"service_type":"ASR","msg_type":"STOP_SESSION_RES"})";
    EXPECT_EQ(classify(frame).kind, FrameKind::StopSessionRes);
    EXPECT_EQ(classify(frame, static_cast<int>(frame.size()) - 1).kind, FrameKind::NotJson)
        << "the closing brace lies beyond the length";
    std::string padded = frame + "}}}} trailing bytes beyond the length";
    EXPECT_EQ(classify(padded, static_cast<int>(frame.size())).kind, FrameKind::StopSessionRes);
}

TEST(Classification, ServiceTypeMustBeExactlyAsr) {
    for (const char* text : {R"({"service_type":"asr","msg_type":"STOP_SESSION_RES"})",
                             R"({"msg_type":"STOP_SESSION_RES"})", R"({"service_type":1})",
                             R"({"service_type":"ASR ","msg_type":"STOP_SESSION_RES"})", "{}"}) {
        auto frame = classify(text);
        EXPECT_EQ(frame.kind, FrameKind::NotForAsr) << text;
    }
    EXPECT_EQ(classify(R"({"service_type":"TTS"})").head.service_type, "TTS");
}

TEST(Classification, RequestsUnknownAndMissingTypesAreIgnored) {
    for (const char* text : {R"({"service_type":"ASR","msg_type":"START_SESSION_REQ"})",
                             R"({"service_type":"ASR","msg_type":"STOP_SESSION_REQ"})",
                             R"({"service_type":"ASR","msg_type":"PING"})", R"({"service_type":"ASR"})",
                             R"({"service_type":"ASR","msg_type":["START_SESSION_RES"]})"}) {
        auto frame = classify(text);
        EXPECT_EQ(frame.kind, FrameKind::Ignored) << text;
        EXPECT_TRUE(std::holds_alternative<std::monostate>(frame.message));
    }
}

TEST(Classification, ServerMessagesAreDecodedFromTheRoot) {
    auto start = classify(R"({"service_type":"ASR","msg_type":"START_SESSION_RES","msg_code":0,
                             "msg_data":{"session_id":"s-1"},"extra":{"deep":[1,2,3]}})");
    ASSERT_EQ(start.kind, FrameKind::StartSessionRes);
    EXPECT_EQ(std::get<StartSessionRes>(start.message).msg_data.session_id, "s-1");

    auto text = classify(R"({"service_type":"ASR","msg_type":"RECOGNITION_TEXT",
                            "msg_data":{"text":"hello","bg":10,"ed":-20,"fin":1}})");
    ASSERT_EQ(text.kind, FrameKind::RecognitionText);
    const auto& data = std::get<RecognitionText>(text.message).msg_data;
    EXPECT_EQ(data.text, "hello");
    EXPECT_EQ(data.bg, 10);
    EXPECT_EQ(data.ed, -20);
    EXPECT_EQ(data.fin, 1);

    auto error = classify(R"({"service_type":"ASR","msg_type":"EXCEPTION_NTF","msg_desc":"engine down"})");
    ASSERT_EQ(error.kind, FrameKind::ExceptionNtf);
    EXPECT_EQ(std::get<ExceptionNtf>(error.message).msg_desc, "engine down");
}

TEST(Classification, HostileFramesNeitherCrashNorThrow) {
    std::string deepArray(100000, '[');
    EXPECT_EQ(classify(deepArray).kind, FrameKind::NotJson);
    std::string deepObject = R"({"service_type":"ASR","msg_type":"RECOGNITION_TEXT","msg_data":)";
    for (int i = 0; i < 50000; ++i) deepObject += "{\"a\":";
    EXPECT_EQ(classify(deepObject).kind, FrameKind::NotJson);
    std::string big = R"({"service_type":"ASR","msg_type":"RECOGNITION_TEXT","msg_data":{"text":")" +
                      std::string(4 << 20, 'w') + "\"}}";
    auto frame = classify(big);
    ASSERT_EQ(frame.kind, FrameKind::RecognitionText);
    EXPECT_EQ(std::get<RecognitionText>(frame.message).msg_data.text.size(), 4u << 20);
    auto withNul = classify(std::string("{\"service_type\":\"A\0SR\",\"msg_type\":\"STOP_SESSION_RES\"}", 49)).kind;
    EXPECT_TRUE(withNul == FrameKind::NotJson || withNul == FrameKind::NotForAsr) << "a NUL must not shorten the text";
    auto overflow = classify("{\"service_type\":\"ASR\",\"msg_type\":\"START_SESSION_RES\",\"msg_code\":1e999}");
    if (overflow.kind == FrameKind::StartSessionRes) EXPECT_EQ(std::get<StartSessionRes>(overflow.message).msg_code, 0);
    else EXPECT_EQ(overflow.kind, FrameKind::NotJson);
}

TEST(Decoding, MessageCodeAcceptsOnly32BitIntegers) {
    EXPECT_EQ(startRes("").msg_code, 0);
    EXPECT_EQ(startRes(R"(,"msg_code":7)").msg_code, 7);
    EXPECT_EQ(startRes(R"(,"msg_code":-2147483648)").msg_code, -2147483648LL);
    for (const char* bad : {R"(,"msg_code":"1")", R"(,"msg_code":1.5)", R"(,"msg_code":2147483648)",
                            R"(,"msg_code":-2147483649)", R"(,"msg_code":true)", R"(,"msg_code":null)",
                            R"(,"msg_code":{"v":1})"}) {
        EXPECT_EQ(startRes(bad).msg_code, 0) << bad;
    }
}

TEST(Decoding, PayloadsMissingOrMistypedGiveEmptyValues) {
    for (const char* members : {"", R"(,"msg_data":"s-1")", R"(,"msg_data":{"session_id":12})",
                                R"(,"msg_data":[{"session_id":"s"}])", R"(,"msg_data":null)"}) {
        EXPECT_EQ(startRes(members).msg_data.session_id, "") << members;
    }
    auto onlyText = fromJson<RecognitionText>(parse(R"({"msg_data":{"text":"hi"}})"));
    EXPECT_EQ(onlyText.msg_data.text, "hi");
    EXPECT_EQ(onlyText.msg_data.bg + onlyText.msg_data.ed + onlyText.msg_data.fin, 0);
    auto onlyInts = fromJson<RecognitionText>(parse(R"({"msg_data":{"bg":1,"ed":2,"fin":3}})"));
    EXPECT_EQ(onlyInts.msg_data.text, "");
    EXPECT_EQ(onlyInts.msg_data.ed, 2);
    auto withDesc = fromJson<RecognitionText>(parse(R"({"msg_desc":"x","msg_data":{"text":"hi"}})"));
    EXPECT_EQ(withDesc.msg_data.text, onlyText.msg_data.text);
    EXPECT_EQ(fromJson<ExceptionNtf>(parse("{}")).msg_desc, "");
    EXPECT_EQ(fromJson<ExceptionNtf>(parse(R"({"msg_desc":404})")).msg_desc, "");
    EXPECT_EQ(fromJson<StopSessionRes>(parse(R"({"msg_desc":"bye","msg_code":3})")).msg_code, 3);
}

TEST(Decoding, AbsentKeepsInitialValuesWhileMistypedEmptiesThem) {
    auto absent = fromJson<StopSessionRes>(parse("{}"));
    EXPECT_EQ(absent.service_type, "ASR");
    EXPECT_EQ(absent.msg_type, "STOP_SESSION_RES");
    auto mistyped = fromJson<StopSessionRes>(parse(R"({"service_type":5,"msg_type":[]})"));
    EXPECT_EQ(mistyped.service_type, "");
    EXPECT_EQ(mistyped.msg_type, "");
}

TEST(Decoding, IsRepeatableAndNeverAddsMembers) {
    Json::Value root = parse(R"({"service_type":"ASR","msg_type":"START_SESSION_RES","msg_data":{}})");
    Json::Value before = root;
    auto first = fromJson<StartSessionRes>(root);
    auto second = fromJson<StartSessionRes>(root);
    EXPECT_EQ(first.msg_data.session_id, second.msg_data.session_id);
    EXPECT_EQ(first.msg_code, second.msg_code);
    EXPECT_EQ(first.msg_desc, second.msg_desc);
    fromJson<RecognitionText>(root);
    fromJson<ExceptionNtf>(root);
    EXPECT_EQ(root, before);
    EXPECT_EQ(root.size(), 3u);
    EXPECT_EQ(root["msg_data"].size(), 0u);
}

TEST(Getters, TolerateNonObjects) {
    Json::Value array(Json::arrayValue);
    array.append(1);
    EXPECT_EQ(getString("a", array), "");
    EXPECT_EQ(getInt("a", Json::Value("text")), 0);
    EXPECT_EQ(getObject<RecognitionTextData>("a", Json::Value(3)).fin, 0);
    EXPECT_EQ(fromJson<AsrMsgHead>(array).service_type, "");
}
