// The korvad binary's command line and start-up, run as a process.
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include <gtest/gtest.h>

#include "core/startup.h"
#include "support/process.h"

using korvad_test::RunResult;
using korvad_test::TempDir;

namespace {

// After the start-up korvad goes on to the bus; with no bus to be had it ends at once with
// "korva daemon can't register on dbus", which keeps these tests away from any real bus.
RunResult korvad(const std::vector<std::string>& args) {
    return korvad_test::run(
        korvad_test::target_command(korvad_test::binary_path("src/daemon/korvad"), args),
        {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/korvad-test-bus"});
}

const char kHelp[] =
    "\n"
    "korvad v3_02r5 - daemon handles communication between client and server \n"
    "\n"
    "Usage: korvad <config-file> [-h] [-v] [-m] \n"
    "Requires: configuration file \n"
    "Options: \n"
    "    -v   version number of the daemon \n"
    "    -h   usage and options (this help) \n"
    "    -m   manual page \n"
    "\n";

const std::string kManual = "\nNAME \n    korvad - daemon handles communication";

const char kConnection[] =
    "com_server_url 127.0.0.1\nport_no 8080\ncom_server_path_get get/<client_id>/\n"
    "com_server_path_put put/<client_id>/\nsrv_cmd_file job\nusr_cmd_file res\n"
    "connection_cycle_timeout 60\nServerExchangeFolder /tmp/\n";

}  // namespace

TEST(CommandLine, OptionsAreSubstringsOfTheFirstArgument) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{"-v"}, 0, "v3_02r5\n"},
        {{"/etc/my-values.config"}, 0, "v3_02r5\n"},
        {{"x-hy", "-v"}, 0, kHelp},
        {{"-h"}, 0, kHelp},
        {{"-m"}, 0, kManual},
        {{"/etc/my-manual"}, 0, kManual},
        {{}, 1,
         "invalid argument, type korvad -h for help \nUsage: korvad <config-file> [-h] [-v] "
         "[-m] \n"},
        {{""}, 1, kHelp},
        {{"   "}, 1, kHelp},
        {{"/no/such/file"}, 1, "No valid config file '/no/such/file'\n"},
        {{"/tmp"}, 1, "No valid config file '/tmp'\n"},
    };
    for (const auto& c : cases) {
        RunResult r = korvad(c.args);
        std::string label = c.args.empty() ? "<none>" : c.args[0];
        EXPECT_EQ(c.status, r.exit_status) << label;
        // The manual is known by its beginning, every other text whole.
        EXPECT_EQ(c.out, c.out == kManual ? r.out.substr(0, c.out.size()) : r.out) << label;
    }
    std::string manual = korvad({"-m"}).out;
    EXPECT_NE(std::string::npos, manual.find("\nFILES \n    /etc/init.d/korvad.config \n"));
    EXPECT_NE(std::string::npos, manual.find("\nAUTHOR \n"));
    EXPECT_EQ("\n\n\n", manual.substr(manual.size() - 3));
}

TEST(CommandLine, OnlyTheFirstWordIsThePath) {
    TempDir dir;
    std::string system = dir.write("sys.conf", "ConfigFileFolderPath " + dir.path() + "/none\n");
    RunResult r = korvad({" " + system + " trailing words", "ignored"});
    EXPECT_EQ(0, r.exit_status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Can't open configuration directory!"));
    EXPECT_EQ(1, korvad({std::string(600, 'a')}).exit_status);
}

TEST(Startup, FatalFailuresEndWithStatusOne) {
    TempDir dir;
    std::string system = dir.write("sys.conf", "Log_File /no/such/dir/k.log\n");
    RunResult r = korvad({system});
    EXPECT_EQ(1, r.exit_status);
    EXPECT_EQ("Can not open log file '/no/such/dir/k.log' to write to.\n"
              "Could not open log file: /no/such/dir/k.log\n",
              r.out);
    if (getuid() != 0) {
        std::string locked = dir.write("locked.conf", "x\n");
        chmod(locked.c_str(), 0);
        EXPECT_EQ("Could not open config file: " + locked, korvad({locked}).out);
    }
}

TEST(Startup, DirectoryScanTakesRegularConfigFilesAndReadsEach) {
    TempDir dir;
    std::string folder = dir.path() + "/conf";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    dir.write("conf/a.config", "client_id A\n" + std::string(kConnection));
    dir.write("conf/b.config.old", "client_id B\n" + std::string(kConnection));
    dir.write("conf/c.txt", "client_id C\n" + std::string(kConnection));
    dir.write("conf/broken.config", "client_id D\n");
    ASSERT_EQ(0, mkdir((folder + "/sub.config").c_str(), 0700));
    ASSERT_EQ(0, symlink((folder + "/sub.config").c_str(), (folder + "/ld.config").c_str()));
    ASSERT_EQ(0, symlink((folder + "/a.config").c_str(), (folder + "/link.config").c_str()));
    dir.write("conf/" + std::string(40, 'n') + ".config", kConnection);

    SystemConfig system{};
    snprintf(system.ConfigFileFolderPath, sizeof system.ConfigFileFolderPath, "%s",
             folder.c_str());
    ConnectionList list{0, nullptr};
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, gs32_startup_scan_config_dir(&system, &list));
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, printed.find("longer than 31 characters"));
    std::set<std::string> names;
    for (uint16_t i = 0; i < list.count; ++i) names.insert(list.items[i].config_name);
    EXPECT_EQ((std::set<std::string>{"a.config", "b.config.old", "broken.config",
                                     "link.config"}),
              names);
    gv_cfg_release_connections(&list);

    // Without a log file the log goes to stdout; logging to a file: the system tests.
    std::string sys = dir.write("sys.conf", "ConfigFileFolderPath " + folder + "\n");
    RunResult r = korvad({sys});
    EXPECT_EQ(0, r.exit_status);
    EXPECT_EQ(0u, r.out.find("Error in config file. No valid Log_File found\n"
                             "No log file entry found in config file -> send log msg to stdout\n"));
    EXPECT_NE(std::string::npos,
              r.out.find("Error in config file. No valid com_server_url found!\n"
                         "Quit because of an error while reading the config file " +
                         folder + "/broken.config\n"));
    EXPECT_NE(std::string::npos, r.out.find(" korva daemon can't register on dbus\n"));
}
