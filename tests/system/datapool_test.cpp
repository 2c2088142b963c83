// KFGV and KFSV through whole cycles: the datapool stand-in creates real segments from list
// files, the daemon answers the job's lines and the job server receives the bytes.
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_fixture.h"

using namespace korvad_test;
using namespace std::string_literals;

namespace {

const std::string kHeader = "0123456789abcdef";  // request header, copied into the answer
const std::string kFailed = "KFGV;DAT[VL1\0\0];-1\r\n"s;

std::string list_file(int version, const std::vector<std::string>& vars) {
    std::string text = "DESCRIPTION=test\nVERSION=" + std::to_string(version) +
                       "\nNUMOFVARS=" + std::to_string(vars.size()) + "\n";
    for (size_t i = 0; i < vars.size(); ++i) {
        text += "[VARIABLE" + std::to_string(i) + "]\n" + vars[i];
    }
    return text;
}

std::string var(const std::string& name, const std::string& type, int size, int address) {
    return "NAME=" + name + "\nTYPE=" + type + "\nADDRESS=" + std::to_string(address) +
           "\nSIZE=" + std::to_string(size) + "\nUNIT=-\nCOMMENT=test value\n";
}

std::string kfgv(const std::vector<uint16_t>& refs, const std::string& tag = "VL1",
                 size_t length = 0) {
    std::string line = "KFGV;DAT[" + tag + le16(length ? length : 16 + 2 * refs.size()) + kHeader;
    for (uint16_t ref : refs) line += le16(ref);
    return line + "\0\0]\r\n"s;
}

// The answer with "TIME" in place of the time stamp (see masked()).
std::string answer(const std::vector<std::pair<uint16_t, std::string>>& entries,
                   int status = 0) {
    std::string body;
    for (const auto& [ref, value] : entries) body += le16(ref) + value;
    return "KFGV;DAT[VL1" + le16(24) + kHeader + le16(6 + body.size()) + le16(4) + "TIME" +
           le16(body.size()) + body + "\0\0];"s + std::to_string(status) + "\r\n";
}

// Every KFGV answer's time stamp replaced by "TIME", after checking it is about now.
std::string masked(std::string text) {
    const std::string head = "KFGV;DAT[VL1" + le16(24) + kHeader;
    for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
        const auto* p = reinterpret_cast<const unsigned char*>(text.data() + at + 34);
        const long stamp = p[0] | p[1] << 8 | p[2] << 16 | static_cast<long>(p[3]) << 24;
        EXPECT_NEAR(static_cast<double>(time(nullptr)), static_cast<double>(stamp), 120.0);
        text.replace(at + 34, 4, "TIME");
    }
    return text;
}

class Datapool : public DaemonTest {
  protected:
    // Lists created out of alphabetical order; "b0.dpl" is a directory that keeps its number.
    void SetUp() override {
        const std::string& base = base_.path();
        for (const char* dir : {"/zz", "/pool", "/pool/b0.dpl"}) mkdir((base + dir).c_str(), 0755);
        base_.write("zz/a.dpl", list_file(1, {var("x", "UINT8", 1, 0)}));
        base_.write("pool/c.dpl", list_file(1, {var("c8", "UINT8", 1, 0)}));
        base_.write("pool/b.dpl", list_file(1, {var("str", "STRING", 8, 0),
                                                var("blob", "AOBYTE", 3, 8),
                                                var("big", "AOBYTE", 1000, 12),
                                                var("huge", "AOBYTE", 5000, 1012)}));
        base_.write("pool/a.dpl",
                    list_file(2, {var("u8", "UINT8", 1, 0), var("s16", "SINT16", 2, 2),
                                  var("u16", "UINT16", 2, 4), var("u32", "UINT32", 4, 8),
                                  var("s32", "SINT32", 4, 12), var("f32", "FLOAT32", 4, 16),
                                  var("w4", "UINT32", 4, 20), var("w2", "UINT16", 2, 24),
                                  var("wide", "AOBYTE", 65535, 28)}));
    }

    // Runs job through one cycle and returns every posted part, joined, with masked stamps.
    std::string run(const std::string& job, uint32_t capacity = 8192, size_t* parts = nullptr) {
        korvad_.start_with_job(server_, job,
                               "max_result_file_size " + std::to_string(capacity) + "\n");
        EXPECT_TRUE(wait_final(server_)) << korvad_.log().substr(0, 3000);
        if (parts != nullptr) *parts = server_.posted_names().size();
        return masked(all_posted(server_));
    }

    TempDir base_;
};

#define START_DATAPOOL(...)                                                              \
    KORVAD_START_WORLD(std::vector<std::string>{"serkad", "--set",                       \
                                                "serkad.dir=" + base_.path(), ##__VA_ARGS__})

TEST_F(Datapool, AnswersAndWritesThroughWholeCycles) {
    START_DATAPOOL();
    for (const char* set : {"num pool/a/u8 0xAB", "num pool/a/s16 -2", "num pool/a/u16 0x1234",
                            "num pool/a/u32 0x01020304", "num pool/a/s32 -3",
                            "num pool/a/f32 1.0", "num pool/b/str ABCDEFGH",
                            "hex pool/b/blob 010203", "num pool/c/c8 7", "num zz/a/x 9"}) {
        datapool_set(set);
    }
    const std::string w4 = kfgv({0x0006});
    // Each row: a job line and its answer; the job runs them in order.
    const std::vector<std::pair<std::string, std::string>> rows = {
        // numbers little-endian by type, bytes and texts as they lie
        {kfgv({0x0000, 0x0001, 0x0002, 0x0003, 0x0004, 0x0005, 0x0100, 0x0101}),
         answer({{0x0000, "\xAB"}, {0x0001, "\xFE\xFF"}, {0x0002, "\x34\x12"},
                 {0x0003, "\x04\x03\x02\x01"}, {0x0004, "\xFD\xFF\xFF\xFF"},
                 {0x0005, "\x00\x00\x80\x3F"s}, {0x0100, "ABCDEFGH"}, {0x0101, "\x01\x02\x03"}})},
        // sizes 1, 2, 4: D 13, T 19, 60 bytes
        {kfgv({0x0000, 0x0002, 0x0003}),
         "KFGV;DAT[VL1\x18\x00"s + kHeader + "\x13\x00\x04\x00TIME\x0D\x00"s + "\x00\x00\xAB"s +
             "\x02\x00\x34\x12"s + "\x03\x00\x04\x03\x02\x01"s + "\x00\x00];0\r\n"s},
        // pool is datapool 0 (zz was made first); c is list 3 behind the directory b0.dpl
        {kfgv({0x0300}), answer({{0x0300, "\x07"}})},
        {"KFGV;1\r\n", kFailed},
        {kfgv({0x0000}, "VL2"), kFailed},
        {kfgv({0x0063}), kFailed},
        {kfgv({}, "VL1", 16), kFailed},
        // text pairs: written, a wrong size stopping the list, a missing value
        {"KFSV;0x0006;5\r\n", "KFSV;0\r\n"},
        {w4, answer({{0x0006, "\x05\x00\x00\x00"s}})},
        {"KFSV;0x0006;7;0x0007;1;0x0006;9\r\n", "KFSV;-1\r\n"},
        {w4, answer({{0x0006, "\x07\x00\x00\x00"s}})},
        {"KFSV;0x0006;8;0x0006\r\n", "KFSV;-1\r\n"},
        {w4, answer({{0x0006, "\x08\x00\x00\x00"s}})},
        {"KFSV;x;1\r\n", "KFSV;0\r\n"},
        // binary pieces, copied unchanged; no ';' before their first zero byte
        {"KFSV;DAT[VL2\x04\x00\x07\x00\xAB\xCD\x05\x00\x01\x01xyz\x00\x00]\r\n"s, "KFSV;0\r\n"},
        {kfgv({0x0101}), answer({{0x0101, "xyz"}})},
        {"KFSV;DAT[VL2\x05\x00\x07\x00\x01\x02\x03\x00\x00]\r\n"s, "KFSV;-1\r\n"},
        // a piece of one byte has no room for its reference, let alone a value of 65535 bytes
        {"KFSV;DAT[VL2\x01\x00\x08\x00\x00]\r\n"s, "KFSV;-1\r\n"},
    };
    std::string job, expected;
    for (const auto& [line, result] : rows) {
        job += line;
        expected += result;
    }
    const std::string result = run(job);
    EXPECT_TRUE(same(expected, result));
    EXPECT_EQ(60u, rows[1].second.size());
    sim_.command("set serkad.show pool/a/w2");
    EXPECT_TRUE(sim_.wait_for_line("serkad: pool/a/w2 = ab cd")) << sim_.output();
    for (const char* text :
         {": ms32_njch_get_var_value: Unknown Mode",
          ": ms32_njch_get_size_of_variable: Can't get Var Info",
          ": ms32_njch_set_dp_var: Var have wrong size: 2 != 4",
          ": ms32_njch_set_var_value: Can't get value",
          ": ms32_njch_set_dp_var: Var have wrong size: 2 != 3",
          ": ms32_njch_set_var_value: Piece of 1 bytes holds no variable reference"}) {
        EXPECT_NE(std::string::npos, korvad_.log().find(text)) << text;
    }
}

TEST_F(Datapool, LongAnswersSpreadOverPartsAndACutHead) {
    START_DATAPOOL();
    std::string pattern;
    for (int i = 0; i < 1000; ++i) {
        const char* digits = "0123456789abcdef";
        pattern += {digits[(i % 251) >> 4], digits[(i % 251) & 15]};
    }
    datapool_set("hex pool/b/big " + pattern);
    std::string big;
    for (int i = 0; i < 1000; ++i) big += static_cast<char>(i % 251);
    // The first answer fills 4055 of the 4094 bytes, so the second one's 28-byte head is
    // cut; its ten entries spread over parts and a single closing.
    std::string job = kfgv(std::vector<uint16_t>(4, 0x0102));
    std::string expected = answer(std::vector<std::pair<uint16_t, std::string>>(4, {0x0102, big}));
    EXPECT_EQ(4055u, expected.size());
    job += kfgv(std::vector<uint16_t>(10, 0x0102));
    expected += answer(std::vector<std::pair<uint16_t, std::string>>(10, {0x0102, big}));
    // One entry that can never fit the 4096-byte line buffer ends the command with -1.
    job += kfgv({0x0103});
    expected += "KFGV;DAT[VL1" + le16(24) + kHeader + le16(5008) + le16(4) + "TIME" +
                le16(5002) + "\0\0];-1\r\n"s;
    size_t parts = 0;
    EXPECT_TRUE(same(expected, run(job, 4096, &parts)));
    EXPECT_GE(parts, 4u);
    EXPECT_NE(std::string::npos, korvad_.log().find(": ms32_njch_get_variable: Variable too large"));
}

TEST_F(Datapool, NoBasePathFromTheService) {
    START_DATAPOOL("--refuse", "serkad.GetBasePath");
    EXPECT_TRUE(same(kFailed + "KFSV;-1\r\n", run(kfgv({0x0000}) + "KFSV;0x0006;1\r\n")));
    for (const char* text : {": ms32_njch_get_size_of_variable: Can't get DP base path",
                             ": ms32_njch_set_dp_var: Can't get DP base path"}) {
        EXPECT_NE(std::string::npos, korvad_.log().find(text)) << text;
    }
}

// The allow-lists of a connection file: a DBUS line, a variable or a logger that they do not
// name gets the answer of a bad line, an unknown variable or an unknown logger, and reaches no
// daemon, no variable and no file; without a list everything is allowed, an empty one allows
// nothing.
TEST_F(Datapool, AllowListsGrantOnlyWhatTheyName) {
    TempDir logs, exchange;
    START_DATAPOOL("target", "tulvad_one", "tulvad_two", "--set", "tulvad_one.dir=" + logs.path(),
                   "--set", "tulvad_two.dir=" + logs.path(), "--set", "tulvad_one.blocks=2",
                   "--answer", "target.Get=ok");
    datapool_set("num pool/a/u8 5");
    datapool_set("hex pool/b/blob 010203");
    datapool_set("num pool/a/s32 -3");
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"DBUS;1;target;Get;0;\r\n", "DBUS;0;ok\r\n"},
        {"DBUS;1;target;Reboot;0;\r\n", "DBUS;-5\r\n"},
        {"DBUS;0;;Wakeup;0;\r\n", "DBUS;0\r\n"},
        {"DBUS;0;;Sleep;0;\r\n", "DBUS;-5\r\n"},
        {kfgv({0x0000, 0x0101}), answer({{0x0000, "\x05"}, {0x0101, "\x01\x02\x03"}})},
        {kfgv({0x0000, 0x0002}), kFailed},
        {"KFSV;0x0003;7;0x0004;9\r\n", "KFSV;-1\r\n"},
        {"DLGN;two;;;0\r\n", "DLGN;-5\r\n"},
        {"DLCN;two\r\n", "DLCN;-5\r\n"},
    };
    std::string job, expected = "FWSW;0\r\n";
    for (const auto& [line, result] : rows) {
        job += line;
        expected += result;
    }
    auto add = [&](const std::string& id, const std::string& text, const std::string& lists) {
        server_.put_job("jobs/" + id + "/job.txt", "FWSW;3600\r\n" + text);
        korvad_.add_connection(id + ".config", Korvad::connection(server_.port(), id,
                                                                  exchange.path() + "/" + id) +
                                                   lists);
    };
    add("dev", job + "DLGN;one;;;0\r\n",
        "allow_dbus target.Get .Wakeup\nallow_kfgv a.u8 b.*\nallow_kfsv a.u32\n"
        "allow_logger one\n");
    add("open", "DBUS;1;target;Reboot;0;\r\n", "");
    add("closed", "DBUS;0;;Wakeup;0;\r\n", "allow_dbus\n");
    korvad_.start();
    std::string dev = server_.posted("results/dev/result.txt.00001.end", 20000);
    ASSERT_FALSE(dev.empty()) << korvad_.log().substr(0, 3000);
    dev = masked(dev);
    EXPECT_TRUE(same(expected, dev.substr(0, expected.size())));
    EXPECT_EQ(expected.size(), dev.find("DLGN;DAT[DLN", expected.size())) << "logger one";
    EXPECT_EQ("FWSW;0\r\nDBUS;0;",
              server_.posted("results/open/result.txt.00001.end", 20000).substr(0, 15));
    EXPECT_EQ("FWSW;0\r\nDBUS;-5\r\n",
              server_.posted("results/closed/result.txt.00001.end", 20000));

    EXPECT_EQ(1u, count(recorder_, call_filter("Reboot"))) << "only the connection without list";
    EXPECT_EQ(0u, count(recorder_, signal_filter("Sleep")));
    EXPECT_EQ(1u, count(recorder_, signal_filter("Wakeup")));
    EXPECT_EQ(std::string::npos, sim_.output().find("tulvad_two: method"));
    sim_.command("set serkad.show pool/a/u32");
    sim_.command("set serkad.show pool/a/s32");
    // The segment holds numbers in the device's order.
    const uint32_t one = 1;
    const bool little = *reinterpret_cast<const uint8_t*>(&one) == 1;
    EXPECT_TRUE(sim_.wait_for_line(little ? "serkad: pool/a/u32 = 07 00 00 00"
                                          : "serkad: pool/a/u32 = 00 00 00 07"))
        << "written before";
    EXPECT_TRUE(sim_.wait_for_line(little ? "serkad: pool/a/s32 = fd ff ff ff"
                                          : "serkad: pool/a/s32 = ff ff ff fd"))
        << "left as it was";
    for (const char* text : {"ms32_njch_send_nextjob_cmd_to_dbus: target.Reboot not allowed",
                             "ms32_njch_send_nextjob_cmd_to_dbus: .Sleep not allowed",
                             "ms32_njch_get_var_value: a.u16 not allowed",
                             "ms32_njch_set_var_value: a.s32 not allowed",
                             "ms32_njch_dl_get_by_name: two not allowed",
                             "ms32_njch_dl_clear_by_name: two not allowed"}) {
        EXPECT_NE(std::string::npos, korvad_.log().find(text)) << text;
    }
}

}  // namespace
