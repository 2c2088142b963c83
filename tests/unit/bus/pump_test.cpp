// The worker's signal pump: slot rules, argument limits, rule order, stop at bad input.
#include "bus/pump.h"

#include <poll.h>

#include <chrono>

#include "bus_test_util.h"

using bus_test::RawConnection;
using bus_test::ScopedContext;

namespace {

// What the handlers saw, in order: "slot:text" or "slot:first|second".
std::vector<std::string> g_calls;

int32_t note(const char* slot, const char* first, const char* second = nullptr) {
    g_calls.push_back(std::string(slot) + ":" + first + (second ? std::string("|") + second : ""));
    return 0;
}
const auto on_sms = +[](const char* a, const char* b) { return note("sms", a, b); };
const auto on_hello = +[](const char* text) { return note("hello", text); };
const auto on_network = +[](const char* a, const char* b) { return note("network", a, b); };
const auto on_goodbye = +[](const char* text) { return note("goodbye", text); };
const auto on_response_time = +[](const char* text) { return note("response", text); };
const auto on_who_is_there = +[](const char* text) { return note("who", text); };
int32_t on_other(DBusMessage* message) {
    // The bus's own NameAcquired reaches this slot too; the tests look at their signals only.
    if (dbus_message_has_sender(message, DBUS_SERVICE_DBUS)) return 0;
    const char* member = dbus_message_get_member(message);
    return note("other", member != nullptr ? member : "-");
}

void set_all_handlers() {
    gv_dbus_set_signal_handlers(on_sms, on_hello, on_network, on_goodbye, on_response_time,
                                on_who_is_there, nullptr);
}

const char kBroadcast[] = "vel.kem.broadcast";
const char kWenlod[] = "vel.kem.wenlod";
const char kFimbad[] = "vel.kem.fimbad";
const char kMarker[] = "marker";

class PumpTest : public bus_test::BusTest {
  protected:
    void SetUp() override {
        BusTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        g_calls.clear();
        ASSERT_EQ(gs32_dbus_connect_private(worker.get()), 0);
        for (const char* rule : {"type='signal',interface='vel.kem.broadcast'",
                                 "type='signal',interface='vel.kem.wenlod'",
                                 "type='signal',interface='vel.kem.fimbad'"}) {
            ASSERT_EQ(gs32_dbus_add_match(worker.get(), rule), 0);
        }
        // Let the rules take effect: a round trip to the bus after adding them.
        dbus_bus_get_unix_user(worker->connection, dbus_bus_get_unique_name(sender.get()), nullptr);
    }
    void TearDown() override {
        gv_dbus_set_signal_handlers(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    }

    void send(const std::string& interface, const std::string& member,
              const std::vector<std::string>& args) {
        sender.signal("/vel/kem/sender/Object", interface, member, args);
    }

    // Sends a GOODBYE marker after what the test sent and pumps until the marker has been
    // handled (or -9 has come back stop_at_error times). Returns the pump results seen.
    std::vector<int32_t> pump_through_marker(int stop_at_error = 1) {
        send(kBroadcast, "GOODBYE", {kMarker});
        std::vector<int32_t> results;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        int fd = -1;
        dbus_connection_get_unix_fd(worker->connection, &fd);
        while (std::chrono::steady_clock::now() < deadline) {
            int32_t result = gs32_dbus_pump_signals(worker.get());
            if (result != 0) {
                results.push_back(result);
                if (--stop_at_error < 0) break;
                continue;  // the rest stays queued for the next call
            }
            if (!g_calls.empty() && g_calls.back() == std::string("goodbye:") + kMarker) {
                g_calls.pop_back();
                results.push_back(0);
                return results;
            }
            pollfd ready = {fd, POLLIN, 0};
            poll(&ready, 1, 50);
        }
        results.push_back(1);  // the marker never came
        return results;
    }

    ScopedContext worker{bus_test::worker_name()};
    RawConnection sender;
};

}  // namespace

TEST_F(PumpTest, EachSlotChecksItsArgumentsAndLimits) {
    const std::string t9(9, 'n'), t10(10, 'n'), t19(19, 's'), t20(20, 's');
    const std::string t199(199, 'x'), t200(200, 'x');
    const struct {
        const char* interface;
        const char* member;
        std::vector<std::string> args;
        std::string call;  // "" when the handler must not be called
    } cases[] = {
        {kBroadcast, "HELLO", {"wenlod"}, "hello:wenlod"},
        {kBroadcast, "HELLO", {"wenlod", "v1", "up", "network"}, "hello:wenlod"},
        {kBroadcast, "HELLO", {t199}, "hello:" + t199},
        {kBroadcast, "HELLO", {t200}, ""},
        {kBroadcast, "HELLO", {}, ""},
        {kBroadcast, "HELLO", {"u:5"}, ""},
        {kBroadcast, "GOODBYE", {"serkad"}, "goodbye:serkad"},
        {kBroadcast, "GOODBYE", {t200}, ""},
        {kFimbad, "SMS", {t19, "call me"}, "sms:" + t19 + "|call me"},
        {kFimbad, "SMS", {t20, "call me"}, ""},
        {kFimbad, "SMS", {"+49", t199}, "sms:+49|" + t199},
        {kFimbad, "SMS", {"+49", t200}, ""},
        {kFimbad, "SMS", {"+49"}, ""},
        {kWenlod, "Network_Notification", {"ppp0", "UP"}, "network:ppp0|UP"},
        {kWenlod, "Network_Notification", {t9, t9}, "network:" + t9 + "|" + t9},
        {kWenlod, "Network_Notification", {"ppp0", t10}, ""},
        {kWenlod, "Network_Notification", {t10, "UP"}, ""},
        {kWenlod, "Network_Notification", {"ppp0"}, ""},
        {kWenlod, "Network_Notification", {"ppp0", "u:1"}, ""},
        {kBroadcast, "NetworkResponseTimeIndicator", {"120"}, "response:120"},
        {kBroadcast, "NetworkResponseTimeIndicator", {t200}, ""},
        {kBroadcast, "WhoIsThere", {}, "who:"},
        {kBroadcast, "WhoIsThere", {"korvad_7", "", "", ""}, "who:korvad_7"},
        {kBroadcast, "WhoIsThere", {t199}, "who:" + t199},
        {kBroadcast, "WhoIsThere", {t200}, ""},
        {kBroadcast, "WhoIsThere", {"u:5"}, ""},
    };
    set_all_handlers();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.member) + " with " + std::to_string(c.args.size()) +
                     " args, first " + std::to_string(c.args.empty() ? 0 : c.args[0].size()) +
                     " chars");
        g_calls.clear();
        send(c.interface, c.member, c.args);
        std::vector<int32_t> results = pump_through_marker();
        if (c.call.empty()) {
            EXPECT_EQ(results, (std::vector<int32_t>{-9, 0}));
            EXPECT_TRUE(g_calls.empty()) << g_calls.front();
        } else {
            EXPECT_EQ(results, std::vector<int32_t>{0});
            EXPECT_EQ(g_calls, std::vector<std::string>{c.call});
        }
    }
}

TEST_F(PumpTest, RulesAreTriedInOrderAndOnlyFilledSlotsTakeMessages) {
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
        gv_dbus_set_signal_handlers(on_sms, c.with_hello ? on_hello : nullptr, on_network,
                                    on_goodbye, on_response_time, on_who_is_there,
                                    c.with_other ? on_other : nullptr);
        g_calls.clear();
        send(c.interface, c.member, {"x"});
        std::vector<int32_t> results = pump_through_marker();
        EXPECT_EQ(results, std::vector<int32_t>{0});
        std::vector<std::string> expected;
        if (!c.call.empty()) expected.push_back(c.call);
        EXPECT_EQ(g_calls, expected);
    }
}

TEST_F(PumpTest, UnusableMessageStopsTheCallAndLeavesTheRestQueued) {
    set_all_handlers();
    send(kBroadcast, "HELLO", {std::string(200, 'x')});
    send(kBroadcast, "HELLO", {"wenlod"});
    // Both are on their way once the recorder saw the second; wait until they can be read.
    ASSERT_TRUE(
        recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, kBroadcast, "HELLO", "", "", "", "wenlod"}));
    int fd = -1;
    dbus_connection_get_unix_fd(worker->connection, &fd);
    pollfd ready = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 2000), 1);

    EXPECT_EQ(gs32_dbus_pump_signals(worker.get()), -9);
    EXPECT_TRUE(g_calls.empty()) << "the call that met the bad message handled nothing else";
    std::vector<int32_t> results = pump_through_marker();
    EXPECT_EQ(results, std::vector<int32_t>{0});
    EXPECT_EQ(g_calls, std::vector<std::string>{"hello:wenlod"});
}

TEST(PumpArguments, NoContextOrConnectionGivesMinus10) {
    BusContext unconnected{};
    EXPECT_EQ(gs32_dbus_pump_signals(nullptr), -10);
    EXPECT_EQ(gs32_dbus_pump_signals(&unconnected), -10);
}
