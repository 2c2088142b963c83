// Builds a message from the input and reads it the way korvad reads what comes back from
// the bus: as the reply of a method call (its first text, cut to a buffer of the size the
// input chooses) and as a signal for the worker's handler slots.
//
// Input: byte 0 the message kind (method return, error with or without the library's
// time-out name, or one of the signals the slots take), bytes 1 and 2 the answer buffer's
// size (16-bit little-endian); then arguments, at most 32 of them, each a type byte (text,
// u32, i32, byte array, boolean, double) and a 16-bit little-endian length, or the bytes
// "LONG", the type byte and a 32-bit little-endian length; then the argument's bytes (texts
// made printable, as the bus requires valid UTF-8). A length beyond the bytes left repeats
// them, so that a sibling's text of any length needs no input as long; only what the bus
// itself cannot carry is cut: one argument to its longest array, all of them to its longest
// message. (Lengths past 16 bits take the marked form so that mutations seldom make one by
// chance: each costs the time of building a message that large.)
//
// Besides the sanitizers it checks: the answer is always terminated inside its buffer and
// is the first text's start exactly when the first argument is a text; the reported length
// is the full text's; every text a handler gets is within its slot's limit.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bus/method_call.h"
#include "bus/owners.h"
#include "bus/pump.h"

#define mv_check(condition) \
    ((condition) ? (void)0 : (fprintf(stderr, "check failed at line %d\n", __LINE__), abort()))

namespace {

struct Signal {
    const char* interface;
    const char* member;
};
const Signal kSignals[] = {
    {"vel.kem.broadcast", "HELLO"},        {"vel.kem.broadcast", "GOODBYE"},
    {"vel.kem.fimbad", "SMS"},             {"vel.kem.wenlod", "Network_Notification"},
    {"vel.kem.broadcast", "NetworkResponseTimeIndicator"},
    {"vel.kem.broadcast", "WhoIsThere"},   {"vel.kem.korvad", "RequestNextJobNow"},
};

int32_t on_one(const char* text) {
    mv_check(strlen(text) <= 199);
    return 0;
}
int32_t on_sms(const char* sender, const char* text) {
    mv_check(strlen(sender) <= 19 && strlen(text) <= 199);
    return 0;
}
int32_t on_notification(const char* first, const char* second) {
    mv_check(strlen(first) <= 9 && strlen(second) <= 9);
    return 0;
}
int32_t on_other(DBusMessage* message) {
    mv_check(message != nullptr);
    return 0;
}

// Appends the arguments the input describes; the first text, when the first argument is
// one, goes to *first_text.
void mv_append(DBusMessage* message, const uint8_t* data, size_t size, bool* first_is_text,
               std::string* first_text) {
    DBusMessageIter iter;
    dbus_message_iter_init_append(message, &iter);
    bool first = true;
    // At most 32 arguments: a signature has room for 255 type codes, and libdbus does not
    // check that limit when a message is built.
    int count = 0;
    size_t carried = 0;  // argument bytes so far
    for (size_t at = 0; at < size && count < 32; ++count) {
        const bool long_form = size - at >= 4 && memcmp(data + at, "LONG", 4) == 0;
        if (long_form) at += 4;
        const size_t length_bytes = long_form ? 4 : 2;
        if (size - at < 1 + length_bytes) break;
        const uint8_t type = data[at++] % 6;
        uint32_t said = 0;
        for (size_t i = 0; i < length_bytes; ++i) {
            said |= static_cast<uint32_t>(data[at++]) << 8 * i;
        }
        size_t length = said < DBUS_MAXIMUM_ARRAY_LENGTH ? said : DBUS_MAXIMUM_ARRAY_LENGTH;
        if (length > DBUS_MAXIMUM_MESSAGE_LENGTH - carried) {
            length = DBUS_MAXIMUM_MESSAGE_LENGTH - carried;
        }
        carried += length;
        const size_t given = length < size - at ? length : size - at;
        std::string bytes_text(length, 'a');
        if (given > 0) {
            memcpy(&bytes_text[0], data + at, given);
            for (size_t done = given; done < length; done *= 2) {
                memcpy(&bytes_text[done], &bytes_text[0], std::min(done, length - done));
            }
        }
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(bytes_text.data());
        at += given;
        if (type == 0) {
            std::string& text = bytes_text;
            for (char& c : text) c = static_cast<char>(32 + static_cast<uint8_t>(c) % 95);
            const char* p = text.c_str();
            mv_check(dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &p));
            if (first) {
                *first_is_text = true;
                *first_text = text;
            }
        } else if (type == 3) {
            DBusMessageIter array;
            mv_check(dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "y", &array));
            mv_check(dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &bytes,
                                                          static_cast<int>(length)));
            mv_check(dbus_message_iter_close_container(&iter, &array));
        } else {
            uint64_t raw = 0;
            memcpy(&raw, bytes, length < 8 ? length : 8);
            const dbus_uint32_t u = static_cast<dbus_uint32_t>(raw);
            const dbus_int32_t i = static_cast<dbus_int32_t>(raw);
            const dbus_bool_t b = raw & 1;
            const double d = static_cast<double>(raw);
            const int dbus_type[] = {0, DBUS_TYPE_UINT32, DBUS_TYPE_INT32, 0, DBUS_TYPE_BOOLEAN,
                                     DBUS_TYPE_DOUBLE};
            const void* value[] = {nullptr, &u, &i, nullptr, &b, &d};
            mv_check(dbus_message_iter_append_basic(&iter, dbus_type[type], value[type]));
        }
        first = false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        PumpHandlers h;
        h.on_sms = on_sms;
        h.on_hello = h.on_goodbye = h.on_network_response_time = h.on_who_is_there = on_one;
        h.on_network_notification = on_notification;
        h.on_other_message = on_other;
        gv_dbus_set_signal_handlers(h);
        return true;
    }();
    (void)ready;
    if (size < 3) return 0;
    const uint8_t kind = data[0] % (3 + sizeof kSignals / sizeof kSignals[0]);
    const uint32_t answer_size = data[1] | data[2] << 8;
    DbusMessage message;
    if (kind == 0) {
        message.reset(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    } else if (kind <= 2) {
        message.reset(dbus_message_new(DBUS_MESSAGE_TYPE_ERROR));
        if (message) {
            dbus_message_set_error_name(message.get(),
                                        kind == 1 ? DBUS_ERROR_NO_REPLY : "vel.kem.Error.Refused");
        }
    } else {
        const Signal& s = kSignals[kind - 3];
        message.reset(dbus_message_new_signal("/vel/kem/fuzz/Object", s.interface, s.member));
    }
    mv_check(message);
    bool first_is_text = false;
    std::string first_text;
    mv_append(message.get(), data + 3, size - 3, &first_is_text, &first_text);

    std::vector<char> answer(answer_size + 1, 'X');
    uint32_t length = 12345;
    const bool timeout_is_no_reply = data[1] & 1;
    const int32_t point = gs32_dbus_reply_text(message.get(), timeout_is_no_reply,
                                               answer_size ? answer.data() : nullptr,
                                               answer_size, &length);
    mv_check(answer[answer_size] == 'X');  // nothing written beyond the buffer
    if (kind == 1 && timeout_is_no_reply) {
        mv_check(point == kBusNoReply);
    } else if (first_is_text) {
        mv_check(point == kBusOk && length == first_text.size());
        if (answer_size > 0) {
            mv_check(first_text.compare(0, strlen(answer.data()), answer.data()) == 0);
            mv_check(strlen(answer.data()) == std::min<size_t>(first_text.size(), answer_size - 1));
        }
    } else {
        mv_check(point == kBusNoArguments || point == kBusNotText);
        mv_check(length == 0);
    }
    const int32_t dispatched = gs32_dbus_dispatch_signal(message.get());
    mv_check(dispatched == 0 || dispatched == -9);
    return 0;
}
