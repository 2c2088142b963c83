// DBUS job lines through whole cycles: calls answered by target stand-ins, signals and
// broadcasts on the bus, refused lines that send nothing, a target that never answers, and
// results split across ResultBuffer parts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "daemon_fixture.h"

using namespace korvad_test;
using namespace std::string_literals;

namespace {

std::string letters(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}

const std::string kLong = letters(150);
const std::string kName47(47, 'n');  // the longest target whose object path fits its field
const std::string kName48 = kName47 + "n";

struct Line {
    std::string job;
    std::string result;
};

const Line kLines[] = {
    {"DBUS;1;target;Echo;0;\r\n", "DBUS;0;hello world\r\n"},
    {"DBUS;1;target;Long;0;\r\n", "DBUS;0;" + kLong.substr(0, 99) + "\r\n"},
    {"DBUS;1;target;Lines;0;\r\n", "DBUS;0;one  two\r\n"},
    {"DBUS;1;target;Empty;0;\r\n", "DBUS;0\r\n"},
    {"DBUS;1;target;Number;0;\r\n", "DBUS;-10\r\n"},
    {"DBUS;1;target;Bare;0;\r\n", "DBUS;-10\r\n"},
    {"DBUS;0;target;Poke;3;abc\r\n", "DBUS;0\r\n"},
    {"DBUS;7;;Shout;5;hello\r\n", "DBUS;0\r\n"},
    {"DBUS;1;target;Echo;7;a\r\n;#\0b\r\n"s, "DBUS;0;hello world\r\n"},
    // A leading blank makes it an ordinary line, cut at its first CR LF: the payload lacks
    // its CR LF. A hexadecimal length disagrees with the reader's decimal one.
    {" DBUS;1;target;Echo;3;abc\r\n", "DBUS;-5\r\n"},
    {"DBUS;1;target;Echo;0x3;\r\n", "DBUS;-5\r\n"},
    {"DBUS;1;" + kName48 + ";Echo;0;\r\n", "DBUS;-5\r\n"},
    {"DBUS;1;" + kName47 + ";Echo;0;\r\n", "DBUS;0;fits\r\n"},
    {"DBUS;1;target;bad-name;0;\r\n", "DBUS;-1\r\n"},
    {"DBUS;0;target;bad-name;0;\r\n", "DBUS;-1\r\n"},
    {"DBUS;0;;bad-name;0;\r\n", "DBUS;-1\r\n"},
    {"DBUS;1;target;Sleep;0;\r\n", "DBUS;-10\r\n"},
    // The stand-in's error reply for a method it does not know is a text like any other.
    {"DBUS;1;target;After;0;\r\n", "DBUS;0;the stand-in has no answer for this method\r\n"},
};

// Every line is followed by long results, so that the parts are cut inside lines.
constexpr int kFillers = 3;
const char kFiller[] = "DBUS;1;target;Long;0;\r\n";

class Dbus : public DaemonTest {};

}  // namespace

TEST_F(Dbus, EveryLineSendsItsMessageAndGetsItsResultOnceInOrderAcrossParts) {
    KORVAD_START_WORLD({"target", kName47, "--answer", "target.Echo=hello world", "--answer",
                        "target.Long=" + kLong, "--answer", "target.Lines=one\r\ntwo", "--answer",
                        "target.Empty=", "--answer-u32", "target.Number=5", "--no-args",
                        "target.Bare", "--silent", "target.Sleep", "--answer",
                        kName47 + ".Echo=fits"});
    std::string job, expected;
    for (const Line& line : kLines) {
        job += line.job;
        expected += line.result;
        for (int i = 0; i < kFillers; ++i) {
            job += kFiller;
            expected += kLines[1].result;
        }
    }
    korvad_.start_with_job(server_, job, "max_result_file_size 4096\n");

    // The silent target holds the worker for the call's 7 s, then the next line runs.
    ASSERT_TRUE(sim_.wait_for_line("target: left Sleep unanswered", 20000)) << sim_.output();
    const auto unanswered = std::chrono::steady_clock::now();
    ASSERT_TRUE(sim_.wait_for_line("target: method After", 15000));
    EXPECT_GT(seconds_since(unanswered), 6.5);
    EXPECT_LT(seconds_since(unanswered), 20.0);

    ASSERT_TRUE(wait_final(server_, 10000)) << korvad_.log();
    EXPECT_GE(server_.posted_names().size(), 2u);
    EXPECT_EQ(expected, all_posted(server_));
    // The time-out is logged without the process id.
    EXPECT_NE(std::string::npos,
              korvad_.log().find(" ms32_njch_send_nextjob_cmd_to_dbus: No reply error!"));

    // What reached the bus: each message once, with its exact names and payload.
    auto who = recorder_.wait_for(signal_filter("WhoIsThere"));
    ASSERT_TRUE(who);
    const std::string worker = who->args[0];
    auto poke = recorder_.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.target", "Poke"});
    ASSERT_TRUE(poke);
    EXPECT_EQ("/vel/kem/target/Object ay abc",
              poke->path + " " + poke->signature + " " + poke->args[0]);
    auto shout =
        recorder_.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.broadcast", "Shout"});
    ASSERT_TRUE(shout);
    EXPECT_EQ("/vel/kem/" + worker + "/Object ", shout->path + " " + shout->signature);
    const BusFilter echo = {DBUS_MESSAGE_TYPE_METHOD_CALL, "vel.kem.target", "Echo"};
    std::vector<BusRecord> echoes = recorder_.matching(echo);
    ASSERT_EQ(2u, echoes.size()) << "the refused Echo lines sent nothing";
    EXPECT_EQ("vel.kem.target /vel/kem/target/Object",
              echoes[0].destination + " " + echoes[0].path);
    EXPECT_EQ("a\r\n;#\0b"s, echoes[1].args.at(0));
    EXPECT_TRUE(sim_.wait_for_line(
        "target: method Echo (ay 610d0a3b230062) on vel.kem.target at /vel/kem/target/Object"));
    EXPECT_TRUE(sim_.wait_for_line("target: signal vel.kem.target.Poke (ay 616263) from"));
    const size_t long_lines = 1 + kFillers * std::size(kLines);
    EXPECT_EQ(long_lines,
              count(recorder_, {DBUS_MESSAGE_TYPE_METHOD_CALL, "vel.kem.target", "Long"}))
        << "a line continued in the next part is not sent again";
    EXPECT_EQ(0u, count(recorder_, {0, "vel.kem." + kName48, ""}));

    const std::string pid = worker.substr(strlen("korvad_")) + ": ";
    const std::string handler = "ms32_njch_send_nextjob_cmd_to_dbus: ";
    for (const std::string& logged :
         {pid + handler + "DBUS method error!", pid + handler + "DBUS signal error!",
          pid + handler + "DBUS broadcast error!", pid + handler + "target name too long",
          " " + handler + "reply has no arguments error!",
          " " + handler + "reply is no string argument error"}) {
        EXPECT_NE(std::string::npos, korvad_.log().find(logged)) << logged;
    }
}
