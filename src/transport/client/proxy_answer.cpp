// SPDX-License-Identifier: Apache-2.0
#include "transport/client/proxy_answer.h"

#include <openssl/evp.h>

#include <cstring>

namespace quorvex::transport::detail {

ProxyAnswer::State ProxyAnswer::feed(const char* data, std::size_t size, std::size_t* used) {
    *used = 0;
    if (state_ != State::Incomplete) return state_;
    // Byte by byte up to the blank line, so that nothing after it is taken.
    while (*used < size) {
        head_ += data[(*used)++];
        std::size_t length = head_.size();
        bool ended = (length >= 4 && head_.compare(length - 4, 4, "\r\n\r\n") == 0) ||
                     (length >= 2 && head_.compare(length - 2, 2, "\n\n") == 0);
        if (ended) return finish();
        if (length >= kMaxHeaderBytes) {
            why_ = "sent a header of over 16 KiB";
            return state_ = State::Bad;
        }
    }
    return state_;
}

ProxyAnswer::State ProxyAnswer::finish() {
    // "HTTP/1.x NNN reason"
    bool http = head_.size() >= 12 && head_.compare(0, 7, "HTTP/1.") == 0 && head_[8] == ' ';
    for (std::size_t i = 9; http && i < 12; ++i) http = head_[i] >= '0' && head_[i] <= '9';
    if (!http || (head_.size() > 12 && head_[12] != ' ' && head_[12] != '\r' && head_[12] != '\n')) {
        why_ = "did not answer the CONNECT request in HTTP";
        return state_ = State::Bad;
    }
    status_ = (head_[9] - '0') * 100 + (head_[10] - '0') * 10 + (head_[11] - '0');
    return state_ = State::Done;
}

std::string connectRequest(const std::string& host, int port, const std::string& credentials) {
    bool v6 = host.find(':') != std::string::npos;
    std::string authority = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!credentials.empty()) {
        std::string encoded(4 * ((credentials.size() + 2) / 3) + 1, '\0');
        int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]),
                                     reinterpret_cast<const unsigned char*>(credentials.data()),
                                     static_cast<int>(credentials.size()));
        encoded.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        request += "Proxy-Authorization: Basic " + encoded + "\r\n";
    }
    return request + "User-Agent: quorvex\r\n\r\n";
}

} // namespace quorvex::transport::detail
