// The shared blocking method call and gs32_dbus_request_string, against a stand-in. How a
// call's reply is judged (none, no arguments, no text) shows in the DBUS job of whole cycles.
#include "bus/method_call.h"

#include "bus_test_util.h"

using bus_test::ScopedContext;

class MethodCallTest : public bus_test::StandInTest {};

TEST_F(MethodCallTest, EachFailurePointIsReportedAsItself) {
    BusContext unconnected{};
    const BusArg not_utf8 = BusArg::Text("\xff");
    const BusArg unknown_type{'x', nullptr, 0, nullptr, 0};
    const BusArg missing_bytes = BusArg::Bytes(nullptr, 3);
    const struct {
        const char* name;
        const BusContext* context;
        BusMethodCall call;
        int32_t point;
    } cases[] = {
        {"no context", nullptr, {"probe", "Bare"}, kBusBadArgument},
        {"no connection", &unconnected, {"probe", "Bare"}, kBusBadArgument},
        {"no target", worker.get(), {nullptr, "Bare"}, kBusBadArgument},
        {"no method", worker.get(), {"probe", nullptr}, kBusBadArgument},
        {"target makes no names", worker.get(), {"two words", "Bare"}, kBusNotCreated},
        {"bad interface", worker.get(), {"probe", "Bare", nullptr, 0, "nodots"}, kBusNotCreated},
        {"text not UTF-8", worker.get(), {"probe", "Bare", &not_utf8, 1}, kBusNotAppended},
        {"unknown type", worker.get(), {"probe", "Bare", &unknown_type, 1}, kBusNotAppended},
        {"bytes without data", worker.get(), {"probe", "Bare", &missing_bytes, 1}, kBusNotAppended},
    };
    for (const auto& c : cases) {
        char answer[16] = "stale";
        EXPECT_EQ(gs32_dbus_method_call(c.context, c.call, answer, sizeof answer, nullptr), c.point)
            << c.name;
        EXPECT_STREQ(answer, "") << c.name;
    }
    EXPECT_TRUE(recorder.matching({DBUS_MESSAGE_TYPE_METHOD_CALL, "vel.kem.probe", ""}).empty())
        << "a call refused on the way reaches no bus";

    // A connection that is gone returns no pending call.
    ScopedContext closed("closed");
    ASSERT_EQ(gs32_dbus_connect_private(closed.get()), 0);
    dbus_connection_close(closed->connection);
    EXPECT_EQ(gs32_dbus_method_call(closed.get(), {"probe", "Bare"}, nullptr, 0, nullptr),
              kBusNoPendingCall);
}

TEST_F(MethodCallTest, RequestStringJudgesLengthThenErrorPrefix) {
    const std::string fits(511, 'a');
    const std::string full(512, 'b');
    const struct {
        std::string setting;  // the stand-in's answer setting for GetLoggerDLGN
        std::string value;
        int32_t result;
        std::string buffer;
    } cases[] = {
        {"answer", fits, 0, fits},
        {"answer", full, -6, full.substr(0, 511)},
        {"answer", "ERROR: no logger", -8, "ERROR: no logger"},
        {"answer", "ERROR" + full, -6, "ERROR" + full.substr(0, 506)},
        {"answer", "ERRO", 0, "ERRO"},
        {"answer", "error", 0, "error"},
        {"answer", "", 0, ""},
        {"no-args", "", -9, ""},
        {"answer-u32", "7", -9, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting + " " + c.value.substr(0, 20) + " (" +
                     std::to_string(c.value.size()) + ")");
        tell(c.setting, "probe.GetLoggerDLGN", c.value);
        char answer[512];
        EXPECT_EQ(gs32_dbus_request_string(worker.get(), "probe", "GetLoggerDLGN", "logger_1",
                                           answer, sizeof answer),
                  c.result);
        EXPECT_EQ(std::string(answer), c.buffer);
        EXPECT_TRUE(sim.wait_for_line("probe: method GetLoggerDLGN (s \"logger_1\")"));
    }

    // Missing arguments and calls that cannot be made never reach the bus.
    char answer[16];
    const struct {
        const char* target;
        const char* method;
        const char* text;
        char* buffer;
        int32_t size;
        int32_t result;
    } refused[] = {
        {nullptr, "M", "t", answer, 16, -5},     {"probe", nullptr, "t", answer, 16, -5},
        {"probe", "M", nullptr, answer, 16, -5}, {"probe", "M", "t", nullptr, 16, -5},
        {"probe", "M", "t", answer, 0, -5},      {"probe", "M", "t", answer, -1, -5},
        {"a b", "M", "t", answer, 16, -1},       {"probe", "M", "\xc0", answer, 16, -1},
    };
    EXPECT_EQ(gs32_dbus_request_string(nullptr, "probe", "M", "t", answer, 16), -5);
    for (const auto& c : refused) {
        EXPECT_EQ(
            gs32_dbus_request_string(worker.get(), c.target, c.method, c.text, c.buffer, c.size),
            c.result)
            << (c.target ? c.target : "-") << " size " << c.size;
    }
    EXPECT_TRUE(recorder.matching({DBUS_MESSAGE_TYPE_METHOD_CALL, "", "M"}).empty());
}
