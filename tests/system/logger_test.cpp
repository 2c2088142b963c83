// DLGN and DLCN through whole cycles: logger service and intermediary stand-ins write real
// LoggerFiles with numbered blocks ("F<file>B<block>:" and letters), and the job server's
// copy of every posted part shows what reached the server, in which order and how often.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon_fixture.h"

using namespace korvad_test;
using namespace std::string_literals;

namespace {

unsigned u16(const std::string& s, size_t at) {
    return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}

// The data of block `number` of file `file`, as the stand-in writes it.
std::string block(unsigned file, unsigned number, unsigned length) {
    char head[32];
    snprintf(head, sizeof head, "F%04uB%05u:", file, number);
    std::string data = head;
    for (unsigned i = 0; data.size() < length; ++i) data += static_cast<char>('a' + i % 26);
    return data.substr(0, length);
}

// A DLGN answer with the blocks [first, end) of a file whose block sizes cycle through sizes.
std::string dlgn(const std::string& name, unsigned file, unsigned first, unsigned end,
                 const std::vector<unsigned>& sizes = {1000}) {
    std::string out = "DLGN;DAT[DLN" + le16(16) + name + std::string(16 - name.size(), '\0');
    for (unsigned b = first; b < end; ++b) {
        const unsigned length = sizes[b % sizes.size()];
        out += le16(length + 2) + le16(length) + block(file, b, length);
    }
    return out + "\0\0];0\r\n"s;
}

// One complete upload as the server has it: its parts from ".00001" to ".end", all answered
// with 200; fault when a failed part, an unfinished upload or a restart came before it.
struct Upload {
    std::string bytes;
    bool after_fault = false;
};

// The blocks of an upload of the job "FWSW;0 DLTS;10040 DLGN;log1;;;0", its DLGN DataBlock
// read by its pieces; a failure unless the upload is exactly the three answers, all 0.
std::vector<std::string> dlgn_blocks(const std::string& s) {
    const std::string head =
        "FWSW;0\r\nDLTS;0\r\nDLGN;DAT[DLN" + le16(16) + "log1" + std::string(12, '\0');
    std::vector<std::string> blocks;
    if (s.compare(0, head.size(), head) != 0) {
        ADD_FAILURE() << "no DLGN answer of log1 after FWSW and DLTS";
        return blocks;
    }
    size_t p = head.size();
    for (unsigned piece; p + 2 <= s.size() && (piece = u16(s, p)) != 0; p += 2 + piece) {
        if (piece != u16(s, p + 2) + 2) {
            ADD_FAILURE() << "piece and block lengths disagree at " << p;
            return blocks;
        }
        blocks.push_back(s.substr(p + 4, piece - 2));
    }
    EXPECT_TRUE(same("\0\0];0\r\n"s, s.substr(p))) << "the upload ends with the DLGN answer";
    return blocks;
}

// path (a folder or a file) made read-only by a bind mount onto itself, in the test's own
// mount namespace, which the daemon started later inherits; undone at the end of the scope.
struct ReadOnlyMount {
    explicit ReadOnlyMount(const std::string& at) : path(at) {
        ok = mount(at.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
             mount(nullptr, at.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    }
    ~ReadOnlyMount() { umount2(path.c_str(), MNT_DETACH); }
    std::string path;
    bool ok = false;
};

// A path that a hostile logger service answers, with a line of its own behind it.
const std::string kForged = "/evil\r\n01.01.70_00:00:00 4242: forged\x01";

class Logger : public DaemonTest {
  protected:
    // Simulator options: every stand-in named here writes its files into stand_; settings
    // are "X.KEY=VALUE".
    std::vector<std::string> standins(const std::vector<std::string>& names,
                                      const std::vector<std::string>& sets,
                                      const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = names;
        for (const std::string& name : names) {
            args.insert(args.end(), {"--set", name + ".dir=" + stand_.path()});
        }
        for (const std::string& set : sets) args.insert(args.end(), {"--set", set});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // A connection of client `id` with its own exchange folder and a 4096-byte ResultBuffer.
    std::string connect(const std::string& id, const std::string& job,
                        const std::string& more = "") {
        const std::string folder = exchange_.path() + "/" + id;
        server_.put_job("jobs/" + id + "/job.txt", job);
        korvad_.add_connection(id + ".config", Korvad::connection(server_.port(), id, folder) +
                                                   "max_result_file_size 4096\n" + more);
        return folder;
    }

    // The complete uploads of client id so far. restarts: the number of posts the server had
    // when the daemon was started again.
    std::vector<Upload> uploads(const std::string& id, const std::vector<size_t>& restarts = {}) {
        const std::vector<JobServer::Post> posts = server_.posts();
        const std::string prefix = "/results/" + id + "/result.txt.";
        std::vector<Upload> done;
        std::string current;
        bool open = false, fault = false;
        for (size_t i = 0; i < posts.size(); ++i) {
            if (std::find(restarts.begin(), restarts.end(), i) != restarts.end()) fault = true;
            const JobServer::Post& post = posts[i];
            if (post.name.compare(0, prefix.size(), prefix) != 0) continue;
            if (post.name.compare(prefix.size(), 5, "00001") == 0) {
                fault = fault || open;  // the one before never ended
                current.clear();
                open = true;
            }
            if (post.status != 200) {
                fault = true;
                open = false;
                continue;
            }
            current += post.body;
            if (open && post.name.size() > 4 &&
                post.name.compare(post.name.size() - 4, 4, ".end") == 0) {
                done.push_back({current, fault});
                open = fault = false;
            }
        }
        return done;
    }

    bool wait_uploads(const std::string& id, size_t count, int timeout_ms = 30000,
                      const std::vector<size_t>& restarts = {}) {
        return eventually([&] { return uploads(id, restarts).size() >= count; }, timeout_ms, 50);
    }

    // The stand-in of logger name was not asked anything (it logs every call it receives).
    bool asked(const std::string& name) {
        return sim_.output().find("tulvad_" + name + ": method") != std::string::npos;
    }

    // What a planted link must not reach: a missing file, and a file "keep" outside.
    std::string absent(const std::string& name) { return outside_.path() + "/" + name; }
    std::string kept(const std::string& name) { return outside_.write(name, "keep"); }

    TempDir stand_;     // where the stand-ins write their LoggerFiles
    TempDir exchange_;  // the connections' exchange folders
    TempDir outside_;   // targets of planted links
};

// A budgeted download whose first cycle delivers ten of 25 blocks; the job server holds each
// GET for two seconds, so that the test can change the folder before the next DLGN starts.
std::string budgeted_job(const std::string& name) {
    return "FWSW;0\r\nDLTS;10040\r\nDLGN;" + name + ";;;0\r\n";
}
constexpr const char* kHoldGets = "{\"get_delay\": 2}";

TEST_F(Logger, DownloadsClearsAndRefusalsThroughWholeCycles) {
    KORVAD_START_WORLD(standins(
        {"tulvad_log1", "tulvad_nods", "tulvad_wrong", "tulvad_refused", "tulvad_number",
         "tulvad_iv", "tulvad_short", "tulvad_huge", "tulvad_evil", "mittlad"},
        {"tulvad_log1.blocks=12", "tulvad_nods.datastart=0", "tulvad_wrong.logfile=xwrong",
         "tulvad_iv.blocks=1", "tulvad_huge.size=5000", "tulvad_short.blocks=12",
         "tulvad_short.size=1000,50,50"},
        {"--refuse", "tulvad_refused.RequestDLF", "--answer-u32", "tulvad_number.RequestDLF=7",
         "--answer", "tulvad_evil.RequestDLF=" + kForged}));
    mkdir((exchange_.path() + "/dev").c_str(), 0755);
    // Without a budget: whole files across parts; offset 0 after a finished file takes the
    // next file, offset 5 reads the finished one again from its data start.
    std::string job = "FWSW;3600\r\nDLTS;0\r\nDLGN;log1;;;0\r\nDLGN;log1;;;0\r\nDLGN;log1;;;5\r\n";
    std::string expected = "FWSW;0\r\nDLTS;0\r\n" + dlgn("log1", 1, 0, 12) +
                           dlgn("log1", 2, 0, 12) + dlgn("log1", 2, 5, 12);
    // No DATASTART (the second one discards the first file), a foreign LogFile name, no
    // service, an ERROR answer, a number for a path, a path that would forge log lines.
    for (const char* name : {"nods", "nods", "wrong", "absent", "refused", "number", "evil"}) {
        job += "DLGN;"s + name + ";;;0\r\n";
        expected += "DLGN;"s + (name == "nods"s ? "-2" : "-10") + "\r\n";
    }
    // A block that no part can hold ends the answer with -6.
    job += "DLGN;huge;;;0\r\n";
    expected += "DLGN;DAT[DLN" + le16(16) + "huge" + std::string(12, '\0') + "\0\0];-6\r\n"s;
    // Each new budget is announced as an interval; a one-block file never spends it.
    const unsigned budgets[] = {1, 20480, 20482, 512000, 512004};
    for (unsigned i = 0; i < 5; ++i) {
        job += "DLTS;" + std::to_string(budgets[i]) + "\r\nDLGN;iv;;;0\r\n";
        expected += "DLTS;0\r\n" + dlgn("iv", i + 1, 0, 1);
    }
    // The end of the file counts as a block: an offset after the finished file skips past
    // saved block number (2) + 5 blocks, and the next DLGN records 2 as the resume point.
    job += "DLGN;iv;;;5\r\n";
    expected += dlgn("iv", 5, 0, 0);
    job += "DLTS;0\r\nDLCN;log1\r\n";
    expected += "DLTS;0\r\nDLCN;0\r\n";
    const std::string dev = connect("dev", job);
    // Through the intermediary: its file, and a clearing signal only.
    const std::string mid = connect("mid", "FWSW;3600\r\nDLGN;log2;;;0\r\nDLCN;log2\r\n",
                                    "man_in_the_middle mittlad\n");
    // Short blocks past the budget are delivered; the full one that follows waits for the
    // next cycle, which starts at once despite FWSW.
    connect("short", "FWSW;3600\r\nDLTS;3000\r\nDLGN;short;;;0\r\n");
    korvad_.start();

    ASSERT_TRUE(wait_uploads("dev", 1)) << korvad_.log().substr(0, 3000);
    ASSERT_TRUE(wait_uploads("mid", 1));
    ASSERT_TRUE(wait_uploads("short", 2)) << korvad_.log().substr(0, 3000);
    EXPECT_TRUE(same(expected, uploads("dev")[0].bytes));
    const std::string iv_position = read_file(dev + "/iv_tmp_pos");
    EXPECT_EQ(0u, iv_position.rfind("2\r\n", 0)) << iv_position;
    const std::vector<std::string> names = server_.posted_names();
    EXPECT_GE(std::count_if(names.begin(), names.end(),
                            [](const std::string& n) { return n.find("/dev/") != n.npos; }),
              5)
        << "the first job needs several parts";
    EXPECT_TRUE(
        same("FWSW;0\r\n" + dlgn("log2", 1, 0, 10) + "DLCN;0\r\n", uploads("mid")[0].bytes));
    const std::vector<unsigned> sizes = {1000, 50, 50};
    EXPECT_TRUE(
        same("FWSW;0\r\nDLTS;0\r\n" + dlgn("short", 1, 0, 9, sizes), uploads("short")[0].bytes));
    EXPECT_TRUE(
        same("FWSW;0\r\nDLTS;0\r\n" + dlgn("short", 1, 9, 12, sizes), uploads("short")[1].bytes));

    // What the stand-ins were asked.
    for (const unsigned interval : {10240u, 10240u, 10241u, 256000u, 128001u}) {
        EXPECT_TRUE(sim_.wait_for_line("tulvad_iv: method SetFullDatasetInterval (u " +
                                       std::to_string(interval) + ")"))
            << interval;
    }
    for (const char* asked : {"tulvad_log1: method DeleteDLF (s \"log1\", u 1) on vel.kem.method",
                              "mittlad: method GetLoggerDLGN (s \"log2\") on vel.kem.mittlad",
                              "mittlad: signal vel.kem.mittlad.ClearLoggerDLCN (s \"log2\")",
                              "tulvad_short: method SetFullDatasetInterval (u 10240)"}) {
        EXPECT_TRUE(sim_.wait_for_line(asked)) << asked;
    }
    const std::string sim = sim_.output();
    EXPECT_EQ(std::string::npos, sim.find("tulvad_log1: method SetFullDatasetInterval"));
    EXPECT_EQ(1u, count(recorder_, call_filter("RequestDLF", "short")))
        << "the second cycle resumes the working copy";
    EXPECT_EQ(0u, count(recorder_, call_filter("DeleteDLF", "log2")));
    EXPECT_EQ(2u, count(recorder_, call_filter("RequestDLF", "log1")));

    // What is left on disk: cleared working copies are gone, a file without DATASTART waits
    // for the next DLGN, a refused file stays where the logger put it.
    for (const std::string& gone :
         {dev + "/log1_tmp", dev + "/log1_tmp_pos", mid + "/log2_tmp", mid + "/log2_tmp_pos",
          stand_.path() + "/nods-0001.dlf", dev + "/wrong_tmp"}) {
        EXPECT_NE(0, access(gone.c_str(), F_OK)) << gone;
    }
    EXPECT_NE(std::string::npos, read_file(dev + "/nods_tmp").find("F0002B00000:"));
    EXPECT_EQ(0, access((stand_.path() + "/wrong-0001.dlf").c_str(), F_OK));
    const std::string log = korvad_.log();
    for (const char* text :
         {": gs32_dlf_request: Logger name does not fit!: xwrong != wrong",
          ": gs32_dlf_set_startpos Error. Datastart not found:.",
          ": ms32_njch_dl_get_by_name: Can't get startpos, delete actual tmp file",
          "gs32_tulvad_RequestDLF: Error: ERROR: no logger file",
          "gs32_tulvad_RequestDLF: reply is no string argument error!"}) {
        EXPECT_NE(std::string::npos, log.find(text)) << text;
    }
    // The forged path shows up escaped, so every line of the log is one of the daemon's.
    size_t forged = 0;
    for (size_t at = 0, end; at < log.size(); at = end + 1) {
        end = std::min(log.find('\n', at), log.size());
        const std::string line = log.substr(at, end - at);
        EXPECT_NE(0u, line.rfind("01.01.70_00:00:00 4242", 0)) << line;
        if (line.find("forged") == std::string::npos) continue;
        ++forged;
        EXPECT_NE(std::string::npos, line.find("/evil\\r\\n01.01.70_00:00:00 4242: forged\\x01"))
            << line;
    }
    EXPECT_GE(forged, 1u);
}

// Checks the DLGN answers of the uploads: every answer holds consecutive blocks and ends at
// its file's end or after the tenth block (budget 10040: ten blocks of 1004 bytes reach it
// exactly, so the eleventh waits); each one starts where the one before ended, except after
// a fault, where it may start again as early as the first block of the answer before.
// Returns the blocks delivered, in file order.
unsigned check_chain(const std::vector<Upload>& uploads, unsigned per_file, unsigned* repeated) {
    unsigned next = 0, previous_first = 0;
    *repeated = 0;
    for (const Upload& upload : uploads) {
        const std::vector<std::string> blocks = dlgn_blocks(upload.bytes);
        if (blocks.empty()) continue;
        std::vector<unsigned> ids;
        for (const std::string& data : blocks) {
            unsigned file = 0, number = 0;
            EXPECT_EQ(2, sscanf(data.c_str(), "F%4uB%5u:", &file, &number)) << data.substr(0, 12);
            EXPECT_EQ(block(file, number, 1000), data);
            ids.push_back((file - 1) * per_file + number);
        }
        for (size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(ids[i - 1] + 1, ids[i]);
        const unsigned first = ids.front();
        EXPECT_EQ(std::min(10u, per_file - first % per_file), ids.size()) << "from " << first;
        if (upload.after_fault) {
            EXPECT_TRUE(first >= previous_first && first <= next)
                << "after a fault from " << first << ", expected " << previous_first << " to "
                << next;
        } else {
            EXPECT_EQ(next, first) << "without a fault";
        }
        *repeated += first < next ? next - first : 0;
        previous_first = first;
        next = std::max(next, ids.back() + 1);
    }
    return next;
}

// One DLGN per job, as a server that wants every block exactly once writes it: the resume
// point reaches the position file only when the next DLGN starts, after the answer of the
// one before was acknowledged in full.
TEST_F(Logger, NothingIsLostOverBudgetsRestartsAndAFailedUpload) {
    KORVAD_START_WORLD(standins({"tulvad_log1"}, {"tulvad_log1.blocks=25"}));
    const std::string job = "FWSW;0\r\nDLTS;10040\r\nDLGN;log1;;;0\r\n";
    connect("dev", job);
    // A failed upload makes the worker wait 60 s; a faster clock shortens that where it can.
    const int speed = faketime_library().empty() ? 1 : 10;
    korvad_.start(speed);
    ASSERT_TRUE(wait_uploads("dev", 3)) << korvad_.log().substr(0, 3000);
    unsigned repeated = 0;
    std::vector<Upload> first = uploads("dev");
    first.resize(3);
    EXPECT_EQ(25u, check_chain(first, 25, &repeated)) << "the first file in three cycles";

    // Stopped and started again between cycles.
    EXPECT_EQ(0, korvad_.stop(SIGTERM, 10000));
    std::vector<size_t> restarts = {server_.posts().size()};
    korvad_.start(speed);
    ASSERT_TRUE(wait_uploads("dev", 6, 30000, restarts)) << korvad_.log().substr(0, 3000);

    // The second part from now is answered with 500.
    const size_t failing = server_.posts().size() + 2;
    server_.control("{\"post_fail\": [" + std::to_string(failing) + "]}");
    ASSERT_TRUE(eventually([&] { return server_.posts().size() >= failing; }, 30000));
    EXPECT_EQ(500, server_.posts()[failing - 1].status);
    ASSERT_TRUE(wait_uploads("dev", 10, 60000 / speed + 30000, restarts))
        << korvad_.log().substr(0, 3000);
    EXPECT_EQ(0, korvad_.stop(SIGTERM, 10000));

    const std::vector<Upload> all = uploads("dev", restarts);
    const unsigned delivered = check_chain(all, 25, &repeated);
    EXPECT_GE(delivered, 60u) << "ten cycles of up to ten blocks, less what came again";
    EXPECT_LE(repeated, 20u) << "at most the answer before each of the two faults again";
    EXPECT_GE(std::count_if(all.begin(), all.end(), [](const Upload& u) { return u.after_fault; }),
              2);
    // Each file was asked for once: a resumed working copy needs no RequestDLF.
    EXPECT_LE(count(recorder_, call_filter("RequestDLF", "log1")), delivered / 25 + 1);
}

// The exchange folder is the daemon's alone. A folder that others could change gets -10
// from DLGN and DLCN before any logger is asked; a link planted in place of the working copy
// or the position file, before the first DLGN or between two budgeted ones, is never
// followed: DLGN answers -10 and the link's target is neither created nor changed.
TEST_F(Logger, UnsafeFoldersAndPlantedLinksAreRefused) {
    struct Unsafe {
        const char* id;
        mode_t mode;
        uid_t owner;
        bool link;  // the folder is a link to a safe folder
        const char* why;
    } const unsafe[] = {{"grp", 0770, 0, false, "is writable by group or others"},
                        {"oth", 0703, 0, false, "is writable by group or others"},
                        {"usr", 0700, 4242, false, "belongs to another user"},
                        {"lnk", 0700, 0, true, "is a link"}};
    struct Planted {
        const char* id;
        const char* entry;  // what is replaced by a link
        bool dangling;      // to a missing file, else to a file outside
        bool between;       // after the first budgeted DLGN, else before any
    } const planted[] = {{"pre", "_tmp_pos", true, false},
                         {"prc", "_tmp", false, false},
                         {"pos", "_tmp_pos", true, true},
                         {"cpy", "_tmp", false, true}};
    std::vector<std::string> names, sets;
    for (const Unsafe& u : unsafe) names.push_back("tulvad_"s + u.id);
    for (const Planted& p : planted) {
        names.push_back("tulvad_"s + p.id);
        sets.push_back("tulvad_"s + p.id + ".blocks=25");
    }
    KORVAD_START_WORLD(standins(names, sets));
    server_.control(kHoldGets);
    for (const Unsafe& u : unsafe) {
        const std::string folder =
            connect(u.id, "FWSW;3600\r\nDLGN;"s + u.id + ";;;0\r\nDLCN;" + u.id + "\r\n");
        const std::string real = u.link ? absent(u.id) : folder;
        ASSERT_EQ(0, mkdir(real.c_str(), u.mode));
        ASSERT_EQ(0, chmod(real.c_str(), u.mode));
        ASSERT_EQ(0, chown(real.c_str(), u.owner, u.owner));
        if (u.link) {
            ASSERT_EQ(0, symlink(real.c_str(), folder.c_str()));
        }
    }
    auto plant = [&](const Planted& p, const std::string& folder) {
        const std::string entry = folder + "/" + p.id + p.entry;
        unlink(entry.c_str());
        const std::string target = p.dangling ? absent(p.id) : kept(p.id);
        ASSERT_EQ(0, symlink(target.c_str(), entry.c_str())) << entry;
    };
    std::vector<std::string> folders;
    for (const Planted& p : planted) {
        folders.push_back(connect(p.id, budgeted_job(p.id)));
        if (p.between) continue;
        ASSERT_EQ(0, mkdir(folders.back().c_str(), 0700));
        plant(p, folders.back());
    }
    korvad_.start();

    for (size_t i = 0; i < std::size(planted); ++i) {
        const Planted& p = planted[i];
        if (!p.between) continue;
        ASSERT_TRUE(wait_uploads(p.id, 1)) << korvad_.log().substr(0, 3000);
        plant(p, folders[i]);
    }
    for (const Unsafe& u : unsafe) {
        SCOPED_TRACE(u.id);
        ASSERT_TRUE(wait_uploads(u.id, 1)) << korvad_.log().substr(0, 3000);
        EXPECT_TRUE(same("FWSW;0\r\nDLGN;-10\r\nDLCN;-10\r\n", uploads(u.id)[0].bytes));
        EXPECT_FALSE(asked(u.id));
        const std::string real = u.link ? absent(u.id) : exchange_.path() + "/" + u.id;
        EXPECT_NE(0, access((real + "/" + u.id + "_tmp").c_str(), F_OK)) << "nothing taken";
        EXPECT_TRUE(korvad_.wait_log("Exchange folder " + exchange_.path() + "/" + u.id + " " +
                                         u.why + ": unsafe, refused", 0));
    }
    for (size_t i = 0; i < std::size(planted); ++i) {
        const Planted& p = planted[i];
        SCOPED_TRACE(p.id);
        ASSERT_TRUE(wait_uploads(p.id, p.between ? 2 : 1)) << korvad_.log().substr(0, 3000);
        const std::vector<Upload> done = uploads(p.id);
        const std::string refused = "FWSW;0\r\nDLTS;0\r\nDLGN;-10\r\n";
        if (p.between) {
            EXPECT_TRUE(same("FWSW;0\r\nDLTS;0\r\n" + dlgn(p.id, 1, 0, 10), done[0].bytes));
            struct stat info {};
            ASSERT_EQ(0, stat(folders[i].c_str(), &info));
            EXPECT_EQ(0700u, info.st_mode & 07777) << "the daemon's own folder";
        } else {
            EXPECT_FALSE(asked(p.id));
        }
        EXPECT_TRUE(same(refused, done[p.between ? 1 : 0].bytes));
        if (p.dangling) {
            EXPECT_NE(0, access(absent(p.id).c_str(), F_OK)) << "created through the link";
        } else {
            EXPECT_EQ("keep", read_file(absent(p.id)));
        }
        const std::string entry = folders[i] + "/" + p.id + p.entry;
        EXPECT_TRUE(korvad_.wait_log(entry + " is a link, not a regular file: left alone, unsafe",
                                     0));
    }
}

// A folder that cannot be written is found before a logger is asked for a file that nobody
// could take over; a position file that cannot be written after a budgeted DLGN ends the
// next one with -10 rather than with blocks that a restart would deliver again.
TEST_F(Logger, ReadOnlyFolderOrPositionFileEndsDlgn) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        GTEST_SKIP() << "no mount namespace of its own here (" << strerror(errno)
                     << "): needs root and a single-threaded test process";
    }
    KORVAD_START_WORLD(standins({"tulvad_ro", "tulvad_rp"}, {"tulvad_rp.blocks=25"}));
    server_.control(kHoldGets);
    const std::string folder = connect("ro", "FWSW;3600\r\nDLGN;ro;;;0\r\n");
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    const ReadOnlyMount read_only_folder{folder};
    ASSERT_TRUE(read_only_folder.ok) << strerror(errno);
    const std::string pos = connect("rp", budgeted_job("rp")) + "/rp_tmp_pos";
    korvad_.start();

    ASSERT_TRUE(wait_uploads("rp", 1)) << korvad_.log().substr(0, 3000);
    const ReadOnlyMount read_only_pos{pos};
    ASSERT_TRUE(read_only_pos.ok) << strerror(errno);
    ASSERT_TRUE(wait_uploads("rp", 2)) << korvad_.log().substr(0, 3000);
    ASSERT_TRUE(wait_uploads("ro", 1));
    EXPECT_TRUE(same("FWSW;0\r\nDLGN;-10\r\n", uploads("ro")[0].bytes));
    EXPECT_FALSE(asked("ro"));
    EXPECT_TRUE(same("FWSW;0\r\nDLTS;0\r\n" + dlgn("rp", 1, 0, 10), uploads("rp")[0].bytes));
    EXPECT_TRUE(same("FWSW;0\r\nDLTS;0\r\nDLGN;-10\r\n", uploads("rp")[1].bytes));
    EXPECT_EQ("0\r\n0\r\n", read_file(pos));
    const std::string read_only = strerror(EROFS);
    EXPECT_TRUE(korvad_.wait_log(
        "Exchange folder " + folder + " is not writable: " + read_only + ", refused", 0));
    EXPECT_TRUE(korvad_.wait_log("Can't write " + pos + ": " + read_only, 0));
}

}  // namespace
