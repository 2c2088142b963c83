// The signal pump: rule table, argument checks and the handler slots of the process.
#include "bus/pump.h"

#include <cstring>

#include "bus/owners.h"
#include "core/util.h"

namespace {

PumpHandlers g_handlers;

// The texts handed to the handlers live here until the next pump call. HELLO, GOODBYE and
// WhoIsThere share one buffer.
char g_presence_text[200];
char g_response_time_text[200];
char g_sms_sender[20];
char g_sms_text[200];
char g_notification_first[12];
char g_notification_status[12];

struct TextField {
    char* buffer;
    uint32_t size;
    uint32_t limit;  // longest accepted text, in characters
};

struct TextRule {
    const char* interface;
    const char* member;
    BusTextHandler* one_text;      // the slot of a one-text signal, or
    BusTwoTextHandler* two_texts;  // the slot of a two-text signal
    TextField first;
    TextField second;
    bool empty_allowed;  // a signal without arguments is handed on with an empty text
};

constexpr const char* kFimbad = "vel.kem.fimbad";
constexpr const char* kWenlod = "vel.kem.wenlod";

// In dispatch order; on_other_message is asked between the fifth and the last rule. The
// limits leave room for the terminator in each buffer.
// clang-format off
const TextRule kRules[] = {
    {kBusBroadcastInterface, "HELLO", &g_handlers.on_hello, nullptr,
     {g_presence_text, sizeof g_presence_text, 199}, {nullptr, 0, 0}, false},
    {kBusBroadcastInterface, "GOODBYE", &g_handlers.on_goodbye, nullptr,
     {g_presence_text, sizeof g_presence_text, 199}, {nullptr, 0, 0}, false},
    {kFimbad, "SMS", nullptr, &g_handlers.on_sms,
     {g_sms_sender, sizeof g_sms_sender, 19}, {g_sms_text, sizeof g_sms_text, 199}, false},
    {kWenlod, "Network_Notification", nullptr, &g_handlers.on_network_notification,
     {g_notification_first, sizeof g_notification_first, 9},
     {g_notification_status, sizeof g_notification_status, 9}, false},
    {kBusBroadcastInterface, "NetworkResponseTimeIndicator",
     &g_handlers.on_network_response_time, nullptr,
     {g_response_time_text, sizeof g_response_time_text, 199}, {nullptr, 0, 0}, false},
    {kBusBroadcastInterface, "WhoIsThere", &g_handlers.on_who_is_there, nullptr,
     {g_presence_text, sizeof g_presence_text, 199}, {nullptr, 0, 0}, true},
};
// clang-format on
constexpr size_t kOtherMessageBefore = 5;

bool mb_pump_rule_filled(const TextRule& rule) {
    return rule.one_text != nullptr ? *rule.one_text != nullptr : *rule.two_texts != nullptr;
}

// Reads the text at iter into *out when it is a text of at most limit characters.
bool mb_pump_read_text(DBusMessageIter* iter, uint32_t limit, const char** out) {
    if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_STRING) return false;
    const char* text = nullptr;
    dbus_message_iter_get_basic(iter, &text);
    if (strlen(text) > limit) return false;
    *out = text;
    return true;
}

// Checks the arguments first and copies them only when all are usable: a refused message
// leaves the buffers of the previous call untouched.
int32_t ms32_pump_run_rule(const TextRule& rule, DBusMessage* message) {
    const char* first = "";
    const char* second = "";
    DBusMessageIter iter;
    if (!dbus_message_iter_init(message, &iter)) {
        if (!rule.empty_allowed) return -9;
    } else {
        if (!mb_pump_read_text(&iter, rule.first.limit, &first)) return -9;
        if (rule.two_texts != nullptr) {
            if (!dbus_message_iter_next(&iter)) return -9;
            if (!mb_pump_read_text(&iter, rule.second.limit, &second)) return -9;
        }
    }
    gu32_copy_bounded(rule.first.buffer, first, rule.first.size);
    if (rule.two_texts != nullptr) {
        gu32_copy_bounded(rule.second.buffer, second, rule.second.size);
        (*rule.two_texts)(rule.first.buffer, rule.second.buffer);
    } else {
        (*rule.one_text)(rule.first.buffer);
    }
    return 0;
}

}  // namespace

int32_t gs32_dbus_dispatch_signal(DBusMessage* message) {
    for (size_t i = 0; i < sizeof kRules / sizeof kRules[0]; ++i) {
        if (i == kOtherMessageBefore && g_handlers.on_other_message != nullptr) {
            g_handlers.on_other_message(message);
            return 0;
        }
        const TextRule& rule = kRules[i];
        if (mb_pump_rule_filled(rule) &&
            dbus_message_is_signal(message, rule.interface, rule.member)) {
            return ms32_pump_run_rule(rule, message);
        }
    }
    return 0;  // no slot takes it: dropped
}

void gv_dbus_set_signal_handlers(const PumpHandlers& handlers) {
    g_handlers = handlers;
}

int32_t gs32_dbus_pump_signals(BusContext* context) {
    if (context == nullptr || context->connection == nullptr) return -10;
    for (;;) {
        dbus_connection_read_write(context->connection, 0);
        DbusMessage message{dbus_connection_pop_message(context->connection)};
        if (!message) return 0;
        if (gs32_dbus_dispatch_signal(message.get()) == -9) return -9;
    }
}
