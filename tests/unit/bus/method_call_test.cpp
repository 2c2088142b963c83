// The shared blocking method call and gs32_dbus_request_string, against a stand-in.
#include "bus/method_call.h"

#include "bus_test_util.h"

using bus_test::ScopedContext;

namespace {

class MethodCallTest : public bus_test::StandInTest {
  protected:
    MethodCallTest() : StandInTest("probe") {}
};

}  // namespace

TEST_F(MethodCallTest, CallCarriesTypedArgumentsAndAnswersTheReplysFirstText) {
    tell("answer", "Echo", "fine");
    const uint8_t bytes[] = {0x00, 0xff, '\r', '\n'};
    const BusArg args[] = {BusArg::Text("hi"), BusArg::U32(0xfffffffe),
                           BusArg::Bytes(bytes, sizeof bytes)};
    char answer[32];
    uint32_t length = 0;
    ASSERT_EQ(gs32_dbus_method_call(worker.get(), {"probe", "Echo", args, 3}, answer, sizeof answer,
                                    &length),
              kBusOk);
    EXPECT_STREQ(answer, "fine");
    EXPECT_EQ(length, 4u);
    EXPECT_TRUE(sim.wait_for_line(
        "probe: method Echo (s \"hi\", u 4294967294, ay 00ff0d0a) on vel.kem.probe"))
        << sim.output();
    EXPECT_EQ(bus_test::seen(recorder.wait_for({DBUS_MESSAGE_TYPE_METHOD_CALL, "", "Echo"})),
              "vel.kem.probe /vel/kem/probe/Object vel.kem.probe.Echo (suay) [hi] [4294967294] " +
                  std::string("[\0\xff\r\n]", 6));

    // A client may name its own interface; an empty byte array is still an array.
    tell("answer", "RequestDLF", "/tmp/file");
    const BusArg empty = BusArg::Bytes(nullptr, 0);
    BusMethodCall own_interface{"probe", "RequestDLF", &empty, 1, "vel.kem.method"};
    ASSERT_EQ(gs32_dbus_method_call(worker.get(), own_interface, answer, sizeof answer, nullptr),
              kBusOk);
    EXPECT_STREQ(answer, "/tmp/file");
    EXPECT_TRUE(sim.wait_for_line("probe: method RequestDLF (ay ) on vel.kem.method"))
        << sim.output();

    // The answer is cut to the buffer (or not copied at all), its full length reported.
    tell("answer", "Long", "0123456789");
    char small[5];
    ASSERT_EQ(gs32_dbus_method_call(worker.get(), {"probe", "Long"}, small, sizeof small, &length),
              kBusOk);
    EXPECT_STREQ(small, "0123");
    EXPECT_EQ(length, 10u);
    ASSERT_EQ(gs32_dbus_method_call(worker.get(), {"probe", "Long"}, nullptr, 0, &length), kBusOk);
    EXPECT_EQ(length, 10u);
}

TEST_F(MethodCallTest, EachFailurePointIsReportedAsItself) {
    tell("no-args", "Bare");
    tell("answer-u32", "Number", "5");
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
        {"method is no member", worker.get(), {"probe", "9lives"}, kBusNotCreated},
        {"bad interface", worker.get(), {"probe", "Bare", nullptr, 0, "nodots"}, kBusNotCreated},
        {"text not UTF-8", worker.get(), {"probe", "Bare", &not_utf8, 1}, kBusNotAppended},
        {"unknown type", worker.get(), {"probe", "Bare", &unknown_type, 1}, kBusNotAppended},
        {"bytes without data", worker.get(), {"probe", "Bare", &missing_bytes, 1}, kBusNotAppended},
        {"reply without arguments", worker.get(), {"probe", "Bare"}, kBusNoArguments},
        {"reply is a number", worker.get(), {"probe", "Number"}, kBusNotText},
    };
    for (const auto& c : cases) {
        char answer[16] = "stale";
        EXPECT_EQ(gs32_dbus_method_call(c.context, c.call, answer, sizeof answer, nullptr), c.point)
            << c.name;
        EXPECT_STREQ(answer, "") << c.name;
    }
    EXPECT_EQ(recorder.matching({DBUS_MESSAGE_TYPE_METHOD_CALL, "vel.kem.probe", "Bare"}).size(),
              1u)
        << "only the reply-without-arguments case may reach the bus";

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
        {"answer", "/mnt/logger/file_1", 0, "/mnt/logger/file_1"},
        {"answer", fits, 0, fits},
        {"answer", full, -6, full.substr(0, 511)},
        {"answer", full + "c", -6, full.substr(0, 511)},
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
        tell(c.setting, "GetLoggerDLGN", c.value);
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
