// The log handle is opened once by the supervisor before any worker exists; every worker
// inherits it, and because it is in append mode and each line is flushed at once, the lines
// of all processes end up one after the other in the same file.
#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <unistd.h>

namespace {
FILE* g_log = nullptr;

}  // namespace

char* gv_local_time_stamp(char* buffer) {
    time_t now = time(nullptr);
    struct tm local {};
    buffer[0] = '\0';
    if (localtime_r(&now, &local) != nullptr) {
        if (strftime(buffer, kTimeStampSize, "%d.%m.%y_%X", &local) == 0) buffer[0] = '\0';
    }
    return buffer;
}

int32_t gs32_log_open(const char* path) {
    FILE* file = fopen(path, "a+");
    if (file == nullptr) {
        printf("Can not open log file '%s' to write to.\n", path);
        return -1;
    }
    if (g_log != nullptr) fclose(g_log);
    g_log = file;
    return 0;
}

int32_t gs32_log_write(const char* text) {
    char stamp[kTimeStampSize];
    gv_local_time_stamp(stamp);
    if (g_log != nullptr) {
        fprintf(g_log, "%s %s\n", stamp, text);
        fflush(g_log);
    } else {
        printf("%s %s\n", stamp, text);
    }
    return 0;
}

int32_t gs32_log_close() {
    if (g_log == nullptr) return -1;
    int32_t result = fclose(g_log);
    g_log = nullptr;
    return result;
}

int32_t gs32_log_printf(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return gs32_log_write(text);
}

int32_t gs32_log_from(const char* function, const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    return gs32_log_printf("%d: %s: %s", static_cast<int>(getpid()), function, message);
}

const char* gpc_log_escape(const char* text, char* out, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    size_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        char shown[4];
        size_t n = 0;
        if (*p == '\r' || *p == '\n') {
            shown[0] = '\\';
            shown[1] = *p == '\r' ? 'r' : 'n';
            n = 2;
        } else if (*p < 0x20 || *p == 0x7f) {
            shown[0] = '\\';
            shown[1] = 'x';
            shown[2] = kHex[*p >> 4];
            shown[3] = kHex[*p & 0xf];
            n = 4;
        } else {
            shown[0] = static_cast<char>(*p);
            n = 1;
        }
        if (used + n >= size) break;
        for (size_t i = 0; i < n; ++i) out[used++] = shown[i];
    }
    out[used] = '\0';
    return out;
}
