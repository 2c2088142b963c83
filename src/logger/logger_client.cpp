// Logger service client: one call helper with the addressing, the "OK" rule and the log
// texts of each operation taken from a small table.
#include "logger/logger_client.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bus/method_call.h"
#include "core/heap.h"
#include "core/log.h"
#include "core/util.h"

namespace {

// The methods of the logger services live on one interface for every instance.
constexpr const char* kLoggerInterface = "vel.kem.method";

// How one operation reports the failure points of the call. Two operations write their
// texts without the process id; the others begin with it, one of them with a comma in its
// no-reply text. A null phrase logs nothing.
struct LoggerTexts {
    const char* name;
    bool with_pid;
    const char* not_created;
    const char* out_of_memory;  // argument not appended, or the send refused
    const char* no_pending;
    const char* no_reply;
    const char* no_arguments;
    const char* not_text;
    const char* rejected;  // followed by the answer
    char no_reply_separator;
};

constexpr LoggerTexts kRequestTexts{"gs32_tulvad_RequestDLF",
                                    false,
                                    "DBUS create message null error!",
                                    "DBUS out of memory",
                                    "DBUS pendig call null error!",
                                    "No reply error!",
                                    "reply has no arguments error!",
                                    "reply is no string argument error!",
                                    "Error: ",
                                    ':'};
constexpr LoggerTexts kDeleteTexts{"gs32_tulvad_DeleteLF",
                                   false,
                                   "DBUS create message null error!",
                                   "DBUS out of memory!",
                                   "DBUS pendig call null error!",
                                   "No reply error!",
                                   "reply has no arguments error!",
                                   nullptr,
                                   "reply ",
                                   ':'};
constexpr LoggerTexts kDatasetTexts{"ms32_connhandler_request_max_dataset_size",
                                    true,
                                    "DBUS create message null error!",
                                    "DBUS out of memory",
                                    "DBUS pendig call null error!",
                                    "No reply error!",
                                    "reply has no arguments error!",
                                    "reply is no string argument error!",
                                    "Error: ",
                                    ','};
constexpr LoggerTexts kIntervalTexts{"gs32_ch_send_max_transfer_size",
                                     true,
                                     "DBUS create message null error!",
                                     "DBUS out of memory!",
                                     "DBUS pendig call null error!",
                                     "No reply error!",
                                     "reply has no arguments error!",
                                     nullptr,
                                     "reply ",
                                     ':'};

void mv_logger_log(const LoggerTexts& texts, const char* phrase, const char* answer,
                   char separator = ':') {
    if (phrase == nullptr) return;
    if (texts.with_pid) {
        gs32_log_printf("%d%c %s: %s%s", static_cast<int>(getpid()), separator, texts.name,
                        phrase, LogSafe(answer).text);
    } else {
        gs32_log_printf("%s: %s%s", texts.name, phrase, LogSafe(answer).text);
    }
}

// The operation's code for a failure point, after logging its text.
int32_t ms32_logger_point_status(const LoggerTexts& texts, int32_t point) {
    switch (point) {
        case kBusOk:
            return 0;
        case kBusBadArgument:  // no connection: nothing was built, nothing to report
            return -1;
        case kBusNotCreated:
            mv_logger_log(texts, texts.not_created, "");
            return -1;
        case kBusNotAppended:
        case kBusSendRefused:
            mv_logger_log(texts, texts.out_of_memory, "");
            return -10;
        case kBusNoPendingCall:
            mv_logger_log(texts, texts.no_pending, "");
            return -10;
        case kBusNoReply:
            mv_logger_log(texts, texts.no_reply, "", texts.no_reply_separator);
            return -10;
        case kBusNoArguments:
            mv_logger_log(texts, texts.no_arguments, "");
            return -10;
        default:
            mv_logger_log(texts, texts.not_text, "");
            return -10;
    }
}

// Calls method on the service of logger name and leaves the answer in answer. 0 when the
// answer begins with "OK"; otherwise the code of the failure point or -10 for a rejection,
// each logged. The name's length is checked by the callers, before their other limits.
int32_t ms32_logger_call(const BusContext* context, const LoggerTexts& texts, const char* name,
                         const char* method, const BusArg* args, uint32_t count, char* answer,
                         uint32_t size, uint32_t* length_out) {
    char target[sizeof "tulvad_" + kLoggerNameLimit];
    snprintf(target, sizeof target, "tulvad_%s", name);
    BusMethodCall call{target, method, args, count, kLoggerInterface};
    const int32_t point = gs32_dbus_method_call(context, call, answer, size, length_out);
    if (point != kBusOk) return ms32_logger_point_status(texts, point);
    if (strncmp(answer, "OK", 2) != 0) {
        mv_logger_log(texts, texts.rejected, answer);
        return -10;
    }
    return 0;
}

bool mb_name_too_long(const char* name) { return strlen(name) > kLoggerNameLimit; }

}  // namespace

uint32_t gu32_ch_full_dataset_interval(uint32_t transfer_size) {
    if (transfer_size == 0) return 0;
    if (transfer_size <= 512000) {
        const uint32_t half = transfer_size / 2;
        return half < 10240 ? 10240 : half;
    }
    return transfer_size / 4;
}

int32_t gs32_tulvad_RequestDLF(const BusContext* context, const char* name, char* path,
                               uint32_t size) {
    if (context == nullptr || name == nullptr || path == nullptr) return -1;
    if (mb_name_too_long(name) || size < kLoggerPathMinimum) return -5;
    path[0] = '\0';
    // Room for "OK", the three skipped characters and a path as long as the buffer, so
    // that a path that does not fit is seen as such and not cut. No path is longer than
    // kPathCeiling; a larger buffer is not mirrored in full.
    constexpr uint32_t kPathCeiling = 65536;
    const uint32_t answer_size = (size < kPathCeiling ? size : kPathCeiling) + 6;
    HeapBuffer answer{static_cast<char*>(malloc(answer_size))};
    if (!answer) return -10;
    const BusArg argument = BusArg::Text(name);
    uint32_t length = 0;
    const int32_t status = ms32_logger_call(context, kRequestTexts, name, "RequestDLF",
                                            &argument, 1, answer.get(), answer_size, &length);
    if (status != 0) return status;
    if (length <= 5) return 0;  // no path behind the skipped characters
    if (length - 5 >= size || length >= answer_size) {
        gs32_log_printf("gs32_tulvad_RequestDLF: Tmp file path: %s", LogSafe(answer.get()).text);
        return -10;
    }
    gu32_copy_bounded(path, answer.get() + 5, size);
    return 0;
}

int32_t gs32_tulvad_DeleteLF(const BusContext* context, const char* name, uint32_t mode) {
    if (context == nullptr || name == nullptr || mode > 1) return -1;
    if (mb_name_too_long(name)) return -5;
    const BusArg args[] = {BusArg::Text(name), BusArg::U32(mode)};
    char answer[128];
    return ms32_logger_call(context, kDeleteTexts, name, "DeleteDLF", args, 2, answer,
                            sizeof answer, nullptr);
}

int32_t ms32_connhandler_request_max_dataset_size(const char* name, uint32_t* size_out) {
    const BusContext* context = gp_dbus_own_context();
    if (context == nullptr || name == nullptr || size_out == nullptr) return -1;
    if (mb_name_too_long(name)) return -5;
    char answer[128];
    uint32_t length = 0;
    const int32_t status = ms32_logger_call(context, kDatasetTexts, name, "ReqMaxDatasetSize",
                                            nullptr, 0, answer, sizeof answer, &length);
    if (status != 0) return status;
    // The number starts behind "OK" and one more character; only its leading digits count.
    uint64_t size = 0;
    gu32_leading_digits(length > 3 ? answer + 3 : "", nullptr, &size);
    *size_out = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    return 0;
}

int32_t gs32_ch_send_max_transfer_size(const BusContext* context, const char* name,
                                       uint32_t transfer_size) {
    if (context == nullptr || name == nullptr) return -1;
    if (mb_name_too_long(name)) return -5;
    const BusArg argument = BusArg::U32(gu32_ch_full_dataset_interval(transfer_size));
    char answer[128];
    return ms32_logger_call(context, kIntervalTexts, name, "SetFullDatasetInterval", &argument,
                            1, answer, sizeof answer, nullptr);
}
