// Calls of the HTTP client as the tests use them: aim at a URL, then GET or POST and
// collect what came back and how long it took.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/http.h"

namespace korvad_test {

// Parses url as the connection cycle does and returns the path.
inline std::string aim(const std::string& url) {
    std::vector<char> text(url.begin(), url.end());
    text.push_back('\0');
    char* path = nullptr;
    EXPECT_EQ(0, gs32_http_set_target_from_url(text.data(), &path)) << url;
    std::string copy = path != nullptr ? path : "";
    free(path);
    return copy;
}

constexpr int32_t kUntouched = 12345;  // a length output the client must leave alone

struct HttpOutcome {
    int32_t result = 0;
    bool has_data = false;
    std::string data;
    int32_t length = kUntouched;
    std::string content_type;
    double seconds = 0;
};

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline HttpOutcome http_get(const std::string& url, uint32_t timeout_s, const char* user = nullptr,
                            const char* password = nullptr) {
    std::string path = aim(url);
    HttpOutcome out;
    char* data = nullptr;
    char type[HTTP_LINE_SIZE] = "stale";
    auto start = std::chrono::steady_clock::now();
    out.result = gs32_http_get(path.c_str(), &data, &out.length, type, timeout_s, user, password);
    out.seconds = seconds_since(start);
    out.content_type = type;
    if (data != nullptr) {
        out.has_data = true;
        out.data.assign(data, out.length > 0 ? static_cast<size_t>(out.length) : 0);
        EXPECT_EQ('\0', data[out.length]) << "the body is followed by a zero byte";
        free(data);
    }
    return out;
}

inline HttpOutcome http_post(const std::string& url, const std::string& body,
                             const char* content_type, int32_t overwrite, uint32_t timeout_s,
                             const char* user = nullptr, const char* password = nullptr) {
    std::string path = aim(url);
    HttpOutcome out;
    char* reply = nullptr;
    auto start = std::chrono::steady_clock::now();
    out.result =
        gs32_http_post(path.c_str(), body.data(), static_cast<uint32_t>(body.size()), overwrite,
                       &reply, &out.length, content_type, timeout_s, user, password);
    out.seconds = seconds_since(start);
    if (reply != nullptr) {
        out.has_data = true;
        out.data.assign(reply, static_cast<size_t>(out.length));
        free(reply);
    }
    return out;
}

}  // namespace korvad_test
