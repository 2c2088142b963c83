// The worker's signal pump: slot rules, argument limits, rule order, stop at bad input.
#include "bus/pump.h"

#include <poll.h>

#include "bus/owners.h"
#include "bus_test_util.h"

namespace {

// What the handlers saw, in order: "slot:text" or "slot:first|second" for each call.
std::string g_calls;

int32_t note(const char* slot, const char* first, const char* second = nullptr) {
    g_calls += std::string(slot) + ":" + first + (second ? std::string("|") + second : "");
    return 0;
}
const auto on_sms = +[](const char* a, const char* b) { return note("sms", a, b); };
const auto on_hello = +[](const char* text) { return note("hello", text); };
const auto on_network = +[](const char* a, const char* b) { return note("network", a, b); };
const auto on_goodbye = +[](const char* text) { return note("goodbye", text); };
const auto on_response_time = +[](const char* text) { return note("response", text); };
const auto on_who_is_there = +[](const char* text) { return note("who", text); };
const auto on_other =
    +[](DBusMessage* message) { return note("other", dbus_message_get_member(message)); };

void set_handlers(bool with_hello = true, bool with_other = false) {
    PumpHandlers h;
    h.on_sms = on_sms;
    h.on_hello = with_hello ? on_hello : nullptr;
    h.on_network_notification = on_network;
    h.on_goodbye = on_goodbye;
    h.on_network_response_time = on_response_time;
    h.on_who_is_there = on_who_is_there;
    h.on_other_message = with_other ? on_other : nullptr;
    gv_dbus_set_signal_handlers(h);
}

const char kBroadcast[] = "vel.kem.broadcast";
const char kWenlod[] = "vel.kem.wenlod";
const char kFimbad[] = "vel.kem.fimbad";

// A signal whose arguments are texts, or a u32 number where the text is "u32".
DbusMessage make_signal(const char* interface, const char* member,
                        const std::vector<std::string>& args) {
    DbusMessage message{dbus_message_new_signal("/vel/kem/sender/Object", interface, member)};
    std::vector<BusArg> bus_args;
    for (const std::string& arg : args) {
        bus_args.push_back(arg == "u32" ? BusArg::U32(5) : BusArg::Text(arg.c_str()));
    }
    EXPECT_EQ(gs32_dbus_append_args(message.get(), bus_args.data(), args.size()), kBusOk);
    return message;
}

// Hands the signal to the dispatcher as the pump would; returns the dispatcher's result.
int32_t dispatch(const char* interface, const char* member, const std::vector<std::string>& args) {
    g_calls.clear();
    return gs32_dbus_dispatch_signal(make_signal(interface, member, args).get());
}

class Pump : public bus_test::StandInTest {};

}  // namespace

TEST(Dispatch, EachSlotChecksItsArgumentsAndLimits) {
    const std::string t9(9, 'n'), t10(10, 'n'), t19(19, 's'), t20(20, 's');
    const std::string t199(199, 'x'), t200(200, 'x');
    const struct {
        const char* interface;
        const char* member;
        std::vector<std::string> args;
        std::string call;  // "" when no handler may be called and -9 comes back
    } cases[] = {
        {kBroadcast, "HELLO", {"wenlod", "v1", "up", "network"}, "hello:wenlod"},
        {kBroadcast, "HELLO", {t199}, "hello:" + t199},
        {kBroadcast, "HELLO", {t200}, ""},
        {kBroadcast, "HELLO", {}, ""},
        {kBroadcast, "HELLO", {"u32"}, ""},
        {kBroadcast, "GOODBYE", {t199}, "goodbye:" + t199},
        {kBroadcast, "GOODBYE", {t200}, ""},
        {kFimbad, "SMS", {t19, "call me"}, "sms:" + t19 + "|call me"},
        {kFimbad, "SMS", {t20, "call me"}, ""},
        {kFimbad, "SMS", {"+49", t199}, "sms:+49|" + t199},
        {kFimbad, "SMS", {"+49", t200}, ""},
        {kFimbad, "SMS", {"+49"}, ""},
        {kWenlod, "Network_Notification", {t9, t9}, "network:" + t9 + "|" + t9},
        {kWenlod, "Network_Notification", {"ppp0", t10}, ""},
        {kWenlod, "Network_Notification", {t10, "UP"}, ""},
        {kWenlod, "Network_Notification", {"ppp0"}, ""},
        {kWenlod, "Network_Notification", {"ppp0", "u32"}, ""},
        {kBroadcast, "NetworkResponseTimeIndicator", {t199}, "response:" + t199},
        {kBroadcast, "NetworkResponseTimeIndicator", {t200}, ""},
        {kBroadcast, "WhoIsThere", {}, "who:"},
        {kBroadcast, "WhoIsThere", {t199}, "who:" + t199},
        {kBroadcast, "WhoIsThere", {t200}, ""},
        {kBroadcast, "WhoIsThere", {"u32"}, ""},
    };
    set_handlers();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.member) + " case " + std::to_string(&c - cases));
        EXPECT_EQ(dispatch(c.interface, c.member, c.args), c.call.empty() ? -9 : 0);
        EXPECT_EQ(g_calls, c.call);
    }
}

TEST(Dispatch, RulesAreTriedInOrderAndOnlyFilledSlotsTakeMessages) {
    const struct {
        bool with_hello;
        bool with_other;
        const char* interface;
        const char* member;
        std::string call;
    } cases[] = {
        {true, true, kBroadcast, "HELLO", "hello:x"},                // HELLO comes before other
        {false, true, kBroadcast, "HELLO", "other:HELLO"},           // an empty slot passes it on
        {false, false, kBroadcast, "HELLO", ""},                     // nobody takes it: dropped
        {true, true, kBroadcast, "WhoIsThere", "other:WhoIsThere"},  // other before WhoIsThere
        {true, false, kBroadcast, "WhoIsThere", "who:x"},
        {true, false, kWenlod, "HELLO", ""},  // HELLO on the wrong interface
        {true, true, kWenlod, "HELLO", "other:HELLO"},
        {true, false, kBroadcast, "SMS", ""},  // SMS on the wrong interface
        {true, true, kWenlod, "Unrelated", "other:Unrelated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.interface) + "." + c.member + (c.with_hello ? " +hello" : "") +
                     (c.with_other ? " +other" : ""));
        set_handlers(c.with_hello, c.with_other);
        EXPECT_EQ(dispatch(c.interface, c.member, {"x"}), 0);
        EXPECT_EQ(g_calls, c.call);
    }
}

TEST_F(Pump, UnusableMessageStopsTheCallAndLeavesTheRestQueued) {
    EXPECT_EQ(gs32_dbus_pump_signals(nullptr), -10);
    BusContext unconnected{};
    EXPECT_EQ(gs32_dbus_pump_signals(&unconnected), -10);
    ASSERT_EQ(gs32_dbus_add_match(worker.get(), "type='signal',interface='vel.kem.broadcast'"), 0);
    // Let the rule take effect: a round trip to the bus after adding it.
    dbus_bus_get_unix_user(worker->connection, dbus_bus_get_unique_name(worker->connection),
                           nullptr);
    set_handlers();
    g_calls.clear();
    sim.command("emit probe vel.kem.broadcast HELLO s:" + std::string(200, 'x'));
    sim.command("emit probe vel.kem.broadcast HELLO s:wenlod");
    // Both are on their way once the recorder saw the second; wait until they can be read.
    ASSERT_TRUE(
        recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, kBroadcast, "HELLO", "", "", "", "wenlod"}));
    int fd = -1;
    dbus_connection_get_unix_fd(worker->connection, &fd);
    pollfd ready = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 2000), 1);

    EXPECT_EQ(gs32_dbus_pump_signals(worker.get()), -9);
    EXPECT_TRUE(g_calls.empty()) << "the call that met the bad message handled nothing else";
    for (int i = 0; i < 40 && g_calls.empty(); ++i) {
        EXPECT_EQ(gs32_dbus_pump_signals(worker.get()), 0);
        poll(&ready, 1, 50);
    }
    EXPECT_EQ(g_calls, "hello:wenlod");
}
