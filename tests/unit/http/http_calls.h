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

// A GET when body is null, otherwise a POST of *body, with a time-out of 1 s.
inline HttpOutcome http_call(const std::string& url, const std::string* body = nullptr,
                             const char* content_type = nullptr, int32_t overwrite = 0,
                             const char* user = nullptr, const char* password = nullptr) {
    const uint32_t timeout_s = 1;
    std::string path = aim(url);
    HttpOutcome out;
    char* data = nullptr;
    char type[HTTP_LINE_SIZE] = "stale";
    auto start = std::chrono::steady_clock::now();
    out.result =
        body == nullptr
            ? gs32_http_get(path.c_str(), &data, &out.length, type, timeout_s, user, password)
            : gs32_http_post(path.c_str(), body->data(), static_cast<uint32_t>(body->size()),
                             overwrite, &data, &out.length, content_type, timeout_s, user,
                             password);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (body == nullptr) out.content_type = type;
    if (data != nullptr) {
        out.has_data = true;
        out.data.assign(data, out.length > 0 ? static_cast<size_t>(out.length) : 0);
        EXPECT_EQ('\0', data[out.length]) << "the body is followed by a zero byte";
        free(data);
    }
    return out;
}

}  // namespace korvad_test
