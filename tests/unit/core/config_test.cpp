// Key lookup and the system and connection file readers.
#include <cstdlib>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "core/config.h"
#include "support/process.h"

using korvad_test::TempDir;

namespace {

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

File open_text(const TempDir& dir, const std::string& content, const char* mode = "a+") {
    return File(fopen(dir.write("cfg.config", content).c_str(), mode));
}

// The value found, or "<absent:...>" with what is left in the output.
std::string lookup(const std::string& content, const char* key, uint32_t size) {
    TempDir dir;
    File file = open_text(dir, content, "r");
    std::vector<char> out(size + 8, '#');
    out.back() = '\0';
    if (gs32_cfg_get_value(file.get(), key, out.data(), size) == 0) return out.data();
    return "<absent:" + std::string(out.data()) + ">";
}

}  // namespace

TEST(ConfigLookup, FirstLineBeginningWithTheKeyGivesTheRestBehindOneSeparator) {
    const struct {
        const char* content;
        const char* key;
        uint32_t size;
        const char* value;
    } cases[] = {
        {"com_server_url = 10.0.0.1\n", "com_server_url", 512, "= 10.0.0.1"},
        {"k\t x \n", "k", 512, " x "},
        {"k v\r\n", "k", 512, "v"},
        {"k v\r\r\n", "k", 512, "v\r"},  // only one CR goes with the line end
        {"k v", "k", 512, "v"},              // last line without line end
        {"port_no_old 81\nport_no 8080\n", "port_no", 512, "old 81"},
        {"#port_no 1\n port_no 3\nport_no 2\nport_no 4\n", "port_no", 512, "2"},
        {"Port_no 1\n", "port_no", 512, "<absent:>"},
        {"client_id\n", "client_id", 512, ""},
        {"client_id \n", "client_id", 512, ""},
        // Size 8 reads a line 7 characters at a time: a later piece that begins with the
        // key counts as a line.
        {"key 12345678\n", "key", 8, "123"},
        {"aaaaaaakey x\n", "key", 8, "x"},
        {"k v\n", "k", 0, "<absent:#######>"},  // no room: nothing written
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.value, lookup(c.content, c.key, c.size)) << c.content;
    }
    char out[8];
    EXPECT_EQ(-1, gs32_cfg_get_value(nullptr, "k", out, sizeof out));
}

namespace {

SystemConfig read_system(const std::string& content, std::string* printed = nullptr) {
    TempDir dir;
    File file = open_text(dir, content, "r");
    SystemConfig config;
    memset(&config, 0, sizeof config);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, gs32_cfg_read_system(file.get(), &config));
    std::string out = testing::internal::GetCapturedStdout();
    if (printed) *printed = out;
    return config;
}

}  // namespace

TEST(ConfigSystem, DefaultsAndWatchdogBounds) {
    std::string printed;
    SystemConfig empty = read_system("", &printed);
    EXPECT_EQ("Error in config file. No valid Log_File found\n", printed);
    EXPECT_STREQ("", empty.Log_File);
    EXPECT_EQ(100, empty.watchdog_interval);
    EXPECT_STREQ("signal01.beep", empty.CMDOnWatchdog);
    EXPECT_STREQ("", empty.ConfigFileFolderPath);

    const struct {
        const char* line;
        int32_t expected;
    } cases[] = {{"watchdog_interval 250\n", 250}, {"watchdog_interval abc\n", 100},
                 {"watchdog_interval 99\n", 100},  {"watchdog_interval 100\n", 100},
                 {"watchdog_interval  120x\n", 120}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, read_system(c.line).watchdog_interval) << c.line;
    }

    // Log_File and ConfigFileFolderPath are read in every start of the system tests.
    EXPECT_STREQ("beep2", read_system("CMDOnWatchdog beep2\n").CMDOnWatchdog);
}

namespace {

// The required keys but client_id, which the reader adds when it is missing.
const char kRequired[] =
    "com_server_url srv.example\n"
    "com_server_path_get jobs/<client_id>/\n"
    "com_server_path_put results/<client_id>/\n"
    "srv_cmd_file job.txt\n"
    "usr_cmd_file result.txt\n"
    "connection_cycle_timeout 300\n";
const std::string kWithId = "client_id dev1\n" + std::string(kRequired);

struct Read {
    int32_t result;
    ConnectionConfig config;
    std::string printed;
    std::string file_after;
};

Read read_connection(const std::string& content, uint16_t index = 0, const char* mode = "a+") {
    TempDir dir;
    std::string path = dir.write("c.config", content);
    Read r{};
    ConnectionConfig records[4];
    memset(records, 0, sizeof records);
    ConnectionList list{4, records};
    {
        File file(fopen(path.c_str(), mode));
        testing::internal::CaptureStdout();
        r.result = gs32_cfg_read_connection(file.get(), &list, index);
        r.printed = testing::internal::GetCapturedStdout();
    }
    r.config = records[index];
    r.file_after = korvad_test::read_file(path);
    return r;
}

}  // namespace

// The required keys reach their fields in every cycle of the system tests; here the
// optional ones with their defaults.
TEST(ConfigConnection, OptionalKeysHaveTheirDefaults) {
    Read r = read_connection(kWithId + "ServerExchangeFolder /tmp/x/\n");
    EXPECT_EQ(0, r.result);
    EXPECT_EQ("", r.printed);
    EXPECT_EQ(80, r.config.port_no);
    EXPECT_STREQ("", r.config.http_user);
    EXPECT_STREQ("", r.config.http_passwd);
    EXPECT_EQ(0, r.config.DLTS);
    EXPECT_EQ(8192u, r.config.max_result_file_size);
    EXPECT_STREQ("", r.config.man_in_the_middle);
    EXPECT_STREQ("/tmp/x/", r.config.ServerExchangeFolder);
}

TEST(ConfigConnection, NumbersBoundsAndCuts) {
    const std::string base = kWithId + "ServerExchangeFolder /x\n";
    EXPECT_EQ(4096u, read_connection(base + "max_result_file_size 4095\n")
                         .config.max_result_file_size);
    EXPECT_EQ(4097u, read_connection(base + "max_result_file_size 4097\n")
                         .config.max_result_file_size);
    EXPECT_EQ(8080, read_connection(base + "port_no 8080\n").config.port_no);
    EXPECT_EQ(0, read_connection("port_no_old 81\nport_no 8080\n" + base).config.port_no);
    EXPECT_EQ(464, read_connection(base + "port_no 66000\n").config.port_no);  // low 16 bits
    EXPECT_EQ(-12, read_connection(base + "DLTS -12\n").config.DLTS);
    EXPECT_EQ(2147483647, read_connection(base + "DLTS 99999999999\n").config.DLTS);

    Read cut = read_connection("client_id " + std::string(40, 'c') + "\n" + kRequired +
                               "http_user " + std::string(40, 'u') + "\nhttp_passwd " +
                               std::string(50, 'p') + "\nman_in_the_middle " +
                               std::string(70, 'm') + "\nServerExchangeFolder " +
                               std::string(300, 'e') + "\n");
    EXPECT_EQ(0, cut.result);
    EXPECT_EQ("Value of client_id longer than 31 characters, cut to '" + std::string(31, 'c') +
                  "'\n",
              cut.printed);
    EXPECT_EQ(std::string(31, 'c'), cut.config.client_id);
    EXPECT_EQ(std::string(30, 'u'), cut.config.http_user);
    EXPECT_EQ(std::string(30, 'p'), cut.config.http_passwd);
    EXPECT_EQ(std::string(60, 'm'), cut.config.man_in_the_middle);
    EXPECT_EQ(std::string(255, 'e'), cut.config.ServerExchangeFolder);
}

TEST(ConfigConnection, ExchangeFolderFallsBackToTheDefault) {
    const std::string defaulted = "Using default server exchange directory\n";
    const struct {
        std::string line;
        std::string printed;
    } cases[] = {{"ServerExchangeFolder /my dir/\n", "Invalid path, maybe spaces?\n" + defaulted},
                 {"", "No dlf base path!\n" + defaulted}};
    for (const auto& c : cases) {
        Read r = read_connection(kWithId + c.line);
        EXPECT_EQ(0, r.result);
        EXPECT_EQ(c.printed, r.printed);
        EXPECT_STREQ("/mnt/dataflash/vel/korvad/", r.config.ServerExchangeFolder);
    }
}

TEST(ConfigConnection, FirstMissingRequiredKeyStopsTheReading) {
    const struct {
        const char* drop;
        const char* message;
    } cases[] = {
        {"com_server_url", "Error in config file. No valid com_server_url found!\n"},
        {"com_server_path_get", "Error in config file. No valid com_server_path_get found!\n"},
        {"com_server_path_put", "Error in config file. No valid com_server_path_put found!\n"},
        {"srv_cmd_file", "Error in config file. No valid server command found!\n"},
        {"usr_cmd_file", "Error in config file. No valid user command ound!\n"},
        {"connection_cycle_timeout",
         "Error in config file. No valid connection cycle timeout found. Note: Value must be a "
         "integer number!\n"},
    };
    for (const auto& c : cases) {
        std::string content = kWithId + "port_no 81\nDLTS 5\n";
        size_t at = content.find(std::string(c.drop) + " ");
        content.erase(at, content.find('\n', at) + 1 - at);
        Read r = read_connection(content);
        EXPECT_EQ(-10, r.result) << c.drop;
        EXPECT_EQ(c.message, r.printed) << c.drop;
        EXPECT_EQ(0, r.config.DLTS) << "keys after the missing one stay untouched";
        if (std::string(c.drop) != "com_server_url") {
            EXPECT_STREQ("srv.example", r.config.com_server_url);
            EXPECT_EQ(81, r.config.port_no);
        }
    }
}

// The generated line is read back on the next start, with its blank, and is never joined
// to a last line that has no line end.
TEST(ConfigConnection, GeneratedClientIdIsAppendedOnceAndReadBack) {
    unsetenv("HOSTNAME");
    const std::string generated = "client_id QM4-GET_HOSTNAME_ERR_0 \n";
    const std::string cut_end = std::string(kRequired, strlen(kRequired) - 1);
    for (const std::string& content : {std::string(kRequired), cut_end}) {
        SCOPED_TRACE(content.back() == '\n' ? "with line end" : "without line end");
        Read first = read_connection(content);
        EXPECT_EQ(0, first.result);
        EXPECT_EQ(std::string(kRequired) + generated, first.file_after);
        Read again = read_connection(first.file_after);
        EXPECT_EQ(first.file_after, again.file_after);
        EXPECT_STREQ("QM4-GET_HOSTNAME_ERR_0 ", again.config.client_id);
        EXPECT_EQ(300, again.config.connection_cycle_timeout);
    }
    setenv("HOSTNAME", "unit9", 1);
    EXPECT_STREQ("unit9_1", read_connection(kRequired, 1).config.client_id);
    // A host name too long for the 31 characters is cut, the connection index is kept.
    setenv("HOSTNAME", std::string(100, 'h').c_str(), 1);
    Read long_host = read_connection(kRequired, 3);
    EXPECT_EQ(std::string(29, 'h') + "_3", long_host.config.client_id);
    EXPECT_EQ(std::string(kRequired) + "client_id " + std::string(29, 'h') + "_3 \n",
              long_host.file_after);
    unsetenv("HOSTNAME");
}

TEST(ConfigConnection, UnwritableFileFailsBeforeTheServerKey) {
    // Not writable: the client_id line cannot be added.
    Read r = read_connection("com_server_url x\n", 0, "r");
    EXPECT_EQ(-10, r.result);
    EXPECT_EQ("", r.printed);
    EXPECT_STREQ("", r.config.com_server_url);
}

// Allow-lists: no key allows everything, an empty one nothing; entries are matched whole; a
// line longer than the limit loses the entry that the cut went through.
TEST(ConfigConnection, AllowListsAndTheirEntries) {
    TempDir dir;
    auto read = [&](const std::string& lines, ConnectionList* list) {
        list->count = 1;
        list->items = static_cast<ConnectionConfig*>(calloc(1, sizeof(ConnectionConfig)));
        File file(fopen(dir.write("c.config", kWithId + lines).c_str(), "a+"));
        return gs32_cfg_read_connection(file.get(), list, 0);
    };
    ConnectionList list{};
    ASSERT_EQ(0, read("allow_dbus target.Get .*\nallow_kfgv\nallow_logger one two\n", &list));
    const ConnectionConfig& c = list.items[0];
    EXPECT_STREQ("target.Get .*", c.allow[kAllowDbus]);
    EXPECT_STREQ("", c.allow[kAllowKfgv]);
    EXPECT_EQ(nullptr, c.allow[kAllowKfsv]);
    EXPECT_STREQ("one two", c.allow[kAllowLogger]);
    gv_cfg_release_connections(&list);
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, read("allow_kfsv a.b\tc.d " + std::string(kAllowLineSize, 'x') + "\n", &list));
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ("a.b\tc.d ", list.items[0].allow[kAllowKfsv]);
    gv_cfg_release_connections(&list);
    EXPECT_EQ(nullptr, list.items);

    const struct {
        const char* list;
        const char* first;
        const char* second;
        bool allowed;
    } pairs[] = {{nullptr, "t", "m", true},     {"", "t", "m", false},
                 {"x.y \t t.m", "t", "m", true}, {"t.m", "t", "mm", false},
                 {"t.mm", "t", "m", false},     {"t.*", "t", "any", true},
                 {"tt.*", "t", "m", false},     {"t.*", "tt", "m", false},
                 {".*", "", "Wakeup", true},    {".*", "t", "m", false},
                 {".Wakeup", "", "Wakeup", true}, {"a.b.c", "a.b", "c", true}};
    for (const auto& p : pairs) {
        EXPECT_EQ(p.allowed, gb_allowed_pair(p.list, p.first, p.second))
            << (p.list ? p.list : "(none)") << " / " << p.first << "." << p.second;
    }
    EXPECT_TRUE(gb_allowed_name(nullptr, "one"));
    EXPECT_TRUE(gb_allowed_name("one two", "two"));
    EXPECT_FALSE(gb_allowed_name("one two", "on"));
    EXPECT_FALSE(gb_allowed_name("", "one"));
}
