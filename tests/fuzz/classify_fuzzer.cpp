// SPDX-License-Identifier: Apache-2.0
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "protocol/asr_messages.h"

using namespace QUORVEX;

// Every decoder runs on every object the reader accepts, not only on the
// type the classifier picks, so each one sees hostile shapes.
static void decodeAll(const Json::Value& root) {
    fromJson<AsrMsgHead>(root);
    fromJson<StartSessionRes>(root);
    fromJson<RecognitionText>(root);
    fromJson<ExceptionNtf>(root);
    fromJson<StopSessionRes>(root);
    getObject<StartSessionResData>("msg_data", root);
    getObject<RecognitionTextData>("msg_data", root);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    // An exact-size copy: a read past the frame's end is an ASan finding.
    std::unique_ptr<char[]> frame(new char[size ? size : 1]);
    if (size) std::memcpy(frame.get(), data, size);
    classifyFrame(frame.get(), static_cast<int>(size));

    Json::Value root;
    Json::Reader reader;
    try {
        if (reader.parse(frame.get(), frame.get() + size, root, true) && root.isObject()) decodeAll(root);
    } catch (...) {
        // The parser's own exceptions are the classifier's business, checked above.
    }
    return 0;
}
