// korvad-jobtool round trip: a job composed from its text form runs through the daemon, and
// the decoded upload shows what the target stand-in answered and the datapool holds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "daemon_fixture.h"

using namespace korvad_test;

namespace {

const std::string kTool = std::string(KORVAD_SOURCE_DIR) + "/sim/jobserver/korvad-jobtool";

std::string section(int index, const std::string& name, const std::string& type, int size,
                    int address) {
    return "[VARIABLE" + std::to_string(index) + "]\nNAME=" + name + "\nTYPE=" + type +
           "\nADDRESS=" + std::to_string(address) + "\nSIZE=" + std::to_string(size) + "\n";
}

// The 1000 bytes 0, 1, ... 250, 0, 1, ... in hex, as the stand-in takes them.
std::string pattern() {
    const char* digits = "0123456789abcdef";
    std::string hex;
    for (int i = 0; i < 1000; ++i) hex += {digits[i % 251 >> 4], digits[i % 251 & 15]};
    return hex;
}

// The decoded text without the KFGV time stamps, which must be there.
std::string without_stamps(const std::string& text) {
    return std::regex_replace(text, std::regex(", time 20[0-9-]+ [0-9:]+ UTC"), "");
}

class Jobtool : public DaemonTest {
  protected:
    // What korvad-jobtool prints for args; a failure fails the test.
    std::string tool(std::vector<std::string> args) {
        args.insert(args.begin(), {KORVAD_PYTHON, "-B", kTool});
        RunResult result = run(args);
        EXPECT_EQ(0, result.exit_status) << result.err << result.out;
        return result.out;
    }
    // The job that the tool composes from description.
    std::string compose(const std::string& description) {
        const std::string job = work_.path() + "/job.txt";
        tool({"compose", work_.write("job.desc", description), "-o", job});
        return read_file(job);
    }

    TempDir work_;
};

}  // namespace

TEST_F(Jobtool, ComposedJobRunsAndItsUploadDecodesToWhatTheDeviceHolds) {
    TempDir base;
    mkdir((base.path() + "/pool").c_str(), 0755);
    base.write("pool/a.dpl", "VERSION=2\nNUMOFVARS=4\n" + section(0, "u8", "UINT8", 1, 0) +
                                 section(1, "s32", "SINT32", 4, 4) +
                                 section(2, "w4", "UINT32", 4, 8) +
                                 section(3, "f32", "FLOAT32", 4, 12));
    base.write("pool/b.dpl", "NUMOFVARS=2\n" + section(0, "str", "STRING", 8, 0) +
                                 section(1, "big", "AOBYTE", 1000, 8));
    KORVAD_START_WORLD({"target", "serkad", "--answer", "target.Echo=hello; world", "--set",
                        "serkad.dir=" + base.path()});
    datapool_set("num pool/a/f32 1.5");
    datapool_set("hex pool/b/big " + pattern());
    // Every command of the text form, and plain lines; the last KFGV answer needs two parts.
    const std::string description =
        "# round trip\n"
        "fwli\n"
        "dbus call target Echo payload=hex:0a0d0a3b2300ff\n"
        "dbus signal target Poke \"payload=text:a b\"\n"
        "dbus broadcast Shout\n"
        "kfsv 0x0002=0xDEADBEEF 0x0001=-2\n"
        "kfsv-binary 0x0000=hex:ab 0x0100=text:ABCDEFGH\n"
        "kfgv 0x0000 0x0001 0x0002 0x0003 0x0100 header=text:round-trip\n"
        "fwsw 3600\n"
        "dlts 4096\n"
        "APLI;\n"
        "kfgv 0x0101 0x0101 0x0101 0x0101 0x0101\n";
    korvad_.start_with_job(server_, compose(description), "max_result_file_size 4096\n");
    const std::string results = server_.root() + "/www/posted/results/dev";
    ASSERT_TRUE(wait_final(server_)) << korvad_.log();

    const std::string decoded = tool({"decode", "--datapool", base.path(), results});
    std::string big = "    0x0101 b/big AOBYTE = '" + pattern() + "'\n";
    const std::string expected =
        "2 parts (result.txt.00001 .. result.txt.00002.end), " +
        std::to_string(read_file(results + "/result.txt.00001").size() +
                       read_file(results + "/result.txt.00002.end").size()) +
        " bytes, 12 results\n"
        "[1] # 0 (acknowledged)\n"
        "[2] FWLI 0 (acknowledged)\n"
        "[3] DBUS 0 (sent, or a text reply received): hello; world\n"
        "[4] DBUS 0 (sent, or a text reply received)\n"
        "[5] DBUS 0 (sent, or a text reply received)\n"
        "[6] KFSV 0 (everything written)\n"
        "[7] KFSV 0 (everything written)\n"
        "[8] KFGV 0 (values read)\n"
        "    header 726f756e642d74726970000000000000, 5 entries\n"
        "    0x0000 a/u8 UINT8 = 171\n"
        "    0x0001 a/s32 SINT32 = -2\n"
        "    0x0002 a/w4 UINT32 = 3735928559\n"
        "    0x0003 a/f32 FLOAT32 = 1.5\n"
        "    0x0100 b/str STRING = 'ABCDEFGH'\n"
        "[9] FWSW 0 (wake-up interval set)\n"
        "[10] DLTS 0 (download budget set)\n"
        "[11] APLI 0 (acknowledged)\n"
        "[12] KFGV 0 (values read)\n"
        "    header 00000000000000000000000000000000, 5 entries\n" +
        big + big + big + big + big;
    EXPECT_EQ(expected, without_stamps(decoded));

    // The same bytes as the stand-ins received them and as the datapool holds them.
    auto echo = recorder_.wait_for(call_filter("Echo"));
    ASSERT_TRUE(echo);
    EXPECT_EQ(std::string("\x0a\x0d\x0a\x3b\x23\x00\xff", 7), echo->args.at(0));
    EXPECT_TRUE(sim_.wait_for_line("target: signal vel.kem.target.Poke (ay 612062) from"));
    EXPECT_TRUE(recorder_.wait_for(signal_filter("Shout")));
    sim_.command("set serkad.show pool/b/str");
    EXPECT_TRUE(sim_.wait_for_line("serkad: pool/b/str = 41 42 43 44 45 46 47 48"));
    // The job server logged the same upload with the tool's decoder.
    const std::string logged = read_file(server_.root() + "/www/uploads.log");
    EXPECT_NE(std::string::npos, logged.find("== upload results/dev/result.txt, "));
    EXPECT_NE(std::string::npos, logged.find("   [11] APLI 0 (acknowledged)"));
}

// The logger lines: composed, run against logger stand-ins, decoded with the blocks written
// out, and compared byte for byte with the LoggerFile that the stand-in wrote.
TEST_F(Jobtool, LoggerLinesRoundTripToTheLoggerFile) {
    TempDir stand, exchange;
    KORVAD_START_WORLD({"tulvad_log1", "tulvad_log2", "--set", "tulvad_log1.dir=" + stand.path(),
                        "--set", "tulvad_log2.dir=" + stand.path(), "--set", "tulvad_log1.blocks=5",
                        "--set", "tulvad_log1.size=1000,20"});
    const std::string job =
        compose("fwsw 3600\ndlts 0\ndlgn log1\ndlgn log1 offset=3\ndlcn log2\n");
    EXPECT_EQ("FWSW;3600\r\nDLTS;0\r\nDLGN;log1;;;0\r\nDLGN;log1;;;3\r\nDLCN;log2\r\n", job);
    server_.put_job("jobs/dev/job.txt", job);
    korvad_.add_connection("a.config", Korvad::connection(server_.port(), "dev", exchange.path()) +
                                           "max_result_file_size 2048\n");
    korvad_.start();
    ASSERT_TRUE(wait_final(server_)) << korvad_.log();

    const std::string blocks = work_.path() + "/blocks";
    const std::string decoded =
        tool({"decode", "--out", blocks, server_.root() + "/www/posted/results/dev"});
    auto out = [&](int record, int count) {
        std::string lines;
        for (int i = 1; i <= count; ++i) {
            lines += "    -> " + blocks + "/log1-" + std::to_string(record) + "-0000" +
                     std::to_string(i) + ".bin\n";
        }
        return lines;
    };
    EXPECT_EQ(
        "[1] FWSW 0 (wake-up interval set)\n"
        "[2] DLTS 0 (download budget set)\n"
        "[3] DLGN 0 (done: end of the file or budget reached)\n"
        "    logger log1, 5 blocks, 3040 bytes: 1000 20 1000 20 1000\n" +
            out(3, 5) +
            "[4] DLGN 0 (done: end of the file or budget reached)\n"
            "    logger log1, 2 blocks, 1020 bytes: 20 1000\n" +
            out(4, 2) + "[5] DLCN 0 (cleared)\n",
        decoded.substr(decoded.find("[1]")));
    // The blocks of the working copy, behind "DATASTART" and two bytes: tag, length, data.
    const std::string file = read_file(exchange.path() + "/log1_tmp");
    std::vector<std::string> written;
    for (size_t at = file.find("DATASTART") + 11; at + 4 <= file.size();) {
        const size_t length = static_cast<unsigned char>(file[at + 2]) |
                              static_cast<unsigned char>(file[at + 3]) << 8;
        EXPECT_EQ("\xb2\x07", file.substr(at, 2));
        written.push_back(file.substr(at + 4, length));
        at += 4 + length;
    }
    ASSERT_EQ(5u, written.size());
    for (int b = 0; b < 5; ++b) {
        EXPECT_EQ(written[b], read_file(blocks + "/log1-3-0000" + std::to_string(b + 1) + ".bin"));
    }
    EXPECT_EQ(written[3], read_file(blocks + "/log1-4-00001.bin"));
    EXPECT_EQ(written[4], read_file(blocks + "/log1-4-00002.bin"));
    EXPECT_TRUE(sim_.wait_for_line("tulvad_log2: method DeleteDLF (s \"log2\", u 1)"));
}
