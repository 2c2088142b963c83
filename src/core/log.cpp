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
}

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
