// Shared pieces of the bus tests: a connected BusContext, a raw sender, child processes.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bus/dbus.h"
#include "core/util.h"
#include "support/bus_fixture.h"
#include "support/bus_recorder.h"

namespace bus_test {

// A BusContext with its name set; released at the end of the scope.
struct ScopedContext {
    BusContext context{};
    explicit ScopedContext(const std::string& name) {
        gu32_copy_bounded(context.name, name.c_str(), sizeof context.name);
    }
    ~ScopedContext() { gv_dbus_disconnect(&context); }
    ScopedContext(const ScopedContext&) = delete;
    ScopedContext& operator=(const ScopedContext&) = delete;
    BusContext* operator->() { return &context; }
    BusContext* get() { return &context; }
};

// A recorded message as "destination path interface.member (signature) [arg]...", so that
// one exact comparison checks all of it; "nothing" when none came.
inline std::string seen(const std::optional<korvad_test::BusRecord>& record) {
    if (!record) return "nothing";
    std::string text = korvad_test::describe(*record);
    return text.substr(text.find(" -> ") + 4);
}

inline std::string worker_name() {
    return "korvad_" + std::to_string(getpid());
}

// Every bus test: the private bus of the program and a recorder on it.
class BusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        korvad_test::PrivateBus* bus = korvad_test::test_bus(&why, reply_timeout_ms());
        if (bus == nullptr) GTEST_SKIP() << why;
        ASSERT_TRUE(recorder.start(bus->address(), &why)) << why;
    }
    // The bus answers calls that got no reply by then; 0 keeps the daemon's default.
    virtual int reply_timeout_ms() const { return 0; }

    korvad_test::BusRecorder recorder;
};

// korvad-sim hosting one stand-in, and a connected worker. The bus answers an unanswered
// call after a second, long before the library's 25-second default.
class StandInTest : public BusTest {
  protected:
    explicit StandInTest(std::string standin) : standin_(std::move(standin)) {}
    int reply_timeout_ms() const override { return 1000; }
    void SetUp() override {
        BusTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string why;
        ASSERT_TRUE(sim.start({standin_}, &why)) << why;
        ASSERT_EQ(gs32_dbus_connect_private(worker.get()), 0);
    }
    // Tells the stand-in how to answer method ("answer", "silent", ...) and waits until the
    // setting is taken.
    void tell(const std::string& what, const std::string& method, const std::string& value = "") {
        const std::string target = what + " " + standin_ + "." + method;
        sim.command(target + (value.empty() ? "" : " " + value));
        ASSERT_TRUE(sim.wait_for_line("sim: " + target + " set")) << sim.output();
    }

    korvad_test::SimProcess sim;
    ScopedContext worker{worker_name()};

  private:
    std::string standin_;
};

// A plain private connection of the test itself, for sending what the code under test
// receives and for owning names.
class RawConnection {
  public:
    RawConnection() {
        std::string why;  // the private bus must be the system bus before anything connects
        if (korvad_test::test_bus(&why) == nullptr) return;
        connection_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
        if (connection_ != nullptr) dbus_connection_set_exit_on_disconnect(connection_, FALSE);
    }
    ~RawConnection() {
        if (connection_ == nullptr) return;
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    DBusConnection* get() const { return connection_; }

    int request_name(const std::string& name, unsigned int flags) {
        return dbus_bus_request_name(connection_, name.c_str(), flags, nullptr);
    }

    // Sends a signal whose arguments are texts and u32 numbers (given as "u:<n>").
    void signal(const std::string& path, const std::string& interface, const std::string& member,
                const std::vector<std::string>& args) {
        DBusMessage* message =
            dbus_message_new_signal(path.c_str(), interface.c_str(), member.c_str());
        ASSERT_NE(message, nullptr);
        DBusMessageIter iter;
        dbus_message_iter_init_append(message, &iter);
        for (const std::string& arg : args) {
            if (arg.rfind("u:", 0) == 0) {
                dbus_uint32_t number = static_cast<dbus_uint32_t>(std::stoul(arg.substr(2)));
                dbus_message_iter_append_basic(&iter, DBUS_TYPE_UINT32, &number);
            } else {
                const char* text = arg.c_str();
                dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &text);
            }
        }
        dbus_connection_send(connection_, message, nullptr);
        dbus_connection_flush(connection_);
        dbus_message_unref(message);
    }

  private:
    DBusConnection* connection_ = nullptr;
};

// Runs body in a forked child and returns its exit status (body's result, 0..255). The
// child ends with _exit, so nothing of the test program's state runs twice.
inline int run_in_child(const std::function<int()>& body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body() & 0xFF);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace bus_test
