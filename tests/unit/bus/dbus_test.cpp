// Registration, presence signals and the one-text signal on a private bus.
#include "bus/dbus.h"

#include <cstdlib>

#include "bus_test_util.h"

using bus_test::BusTest;
using bus_test::RawConnection;
using bus_test::ScopedContext;
using korvad_test::BusFilter;
using korvad_test::BusRecord;

namespace {

const char kSupervisorDescription[] = "daemon handles communication between client and server";

// Waits until the bus reports that name has no owner any more.
bool wait_name_free(korvad_test::BusRecorder& recorder, const std::string& name) {
    for (;;) {
        auto changed = recorder.wait_for(
            {DBUS_MESSAGE_TYPE_SIGNAL, DBUS_INTERFACE_DBUS, "NameOwnerChanged", "", "", "", name});
        if (!changed) return false;
        if (changed->args.size() == 3 && changed->args[2].empty()) return true;
    }
}

}  // namespace

TEST_F(BusTest, RegistrationTakesTheNameOrSaysWhyNot) {
    EXPECT_EQ(gs32_dbus_connect(nullptr), -5);
    EXPECT_EQ(gs32_dbus_connect_private(nullptr), -5);

    // A worker's private registration owns vel.kem.korvad_<pid> and becomes the own context.
    ScopedContext worker(bus_test::worker_name());
    ASSERT_EQ(gs32_dbus_connect_private(worker.get()), 0);
    EXPECT_NE(worker->connection, nullptr);
    EXPECT_EQ(gp_dbus_own_context(), worker.get());
    RawConnection probe;
    EXPECT_TRUE(dbus_bus_name_has_owner(probe.get(), ("vel.kem." + bus_test::worker_name()).c_str(),
                                        nullptr));

    // A name that cannot form a bus name is not obtained, but the connection is kept.
    ScopedContext bad("no such name");
    EXPECT_EQ(gs32_dbus_connect_private(bad.get()), -10);
    EXPECT_NE(bad->connection, nullptr);

    // An owner that allows replacement gives the name up; one that does not keeps it.
    RawConnection yielding;
    ASSERT_EQ(yielding.request_name("vel.kem.yielding", DBUS_NAME_FLAG_ALLOW_REPLACEMENT),
              DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
    ScopedContext replacing("yielding");
    EXPECT_EQ(gs32_dbus_connect_private(replacing.get()), 0);
    RawConnection holding;
    ASSERT_EQ(holding.request_name("vel.kem.holding", 0), DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
    ScopedContext queued("holding");
    EXPECT_EQ(gs32_dbus_connect_private(queued.get()), -10);

    // The last registration is the process's own context until it is released.
    EXPECT_EQ(gp_dbus_own_context(), queued.get());
    gv_dbus_disconnect(worker.get());
    EXPECT_EQ(worker->connection, nullptr);
    EXPECT_EQ(gp_dbus_own_context(), queued.get());
    gv_dbus_disconnect(queued.get());
    EXPECT_EQ(gp_dbus_own_context(), nullptr);
}

TEST_F(BusTest, SecondDaemonInstanceIsRefusedTheSupervisorName) {
    {
        // The first instance holds vel.kem.korvad without allowing replacement.
        RawConnection first;
        ASSERT_EQ(first.request_name("vel.kem.korvad", 0), DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
        int status = bus_test::run_in_child([] {
            BusContext second{};
            gu32_copy_bounded(second.name, "korvad", sizeof second.name);
            return bus_test::exit_code(gs32_dbus_connect(&second));
        });
        EXPECT_EQ(status, 10);
    }
    EXPECT_TRUE(wait_name_free(recorder, "vel.kem.korvad"));
    // The first request is the holder's; the second asked to replace it.
    const BusFilter request_name{DBUS_MESSAGE_TYPE_METHOD_CALL,
                                 DBUS_INTERFACE_DBUS,
                                 "RequestName",
                                 "",
                                 "",
                                 "",
                                 "vel.kem.korvad"};
    ASSERT_TRUE(recorder.wait_for(request_name));
    auto request = recorder.wait_for(request_name);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->signature, "su");
    EXPECT_EQ(request->args[1], std::to_string(DBUS_NAME_FLAG_REPLACE_EXISTING));
}

TEST_F(BusTest, RegistrationWithoutABusGivesMinus9) {
    int status = bus_test::run_in_child([] {
        // Forget the address libdbus read at the first connection, then point it nowhere.
        dbus_shutdown();
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/korvad-test-bus", 1);
        BusContext context{};
        gu32_copy_bounded(context.name, "korvad", sizeof context.name);
        return bus_test::exit_code(gs32_dbus_connect(&context));
    });
    EXPECT_EQ(status, 9);
}

TEST_F(BusTest, SupervisorHelloAndGoodbyeCarryItsFourTexts) {
    int status = bus_test::run_in_child([] {
        BusContext supervisor{};
        gu32_copy_bounded(supervisor.name, "korvad", sizeof supervisor.name);
        gu32_copy_bounded(supervisor.version, "v3_02r5", sizeof supervisor.version);
        gu32_copy_bounded(supervisor.state, "unknown", sizeof supervisor.state);
        gu32_copy_bounded(supervisor.description, kSupervisorDescription,
                          sizeof supervisor.description);
        if (gs32_dbus_connect(&supervisor) != 0) return 1;
        if (gs32_dbus_send_hello(&supervisor) != 0) return 2;
        if (gs32_dbus_send_goodbye(&supervisor) != 0) return 3;
        return 0;
    });
    ASSERT_EQ(status, 0);
    for (const char* member : {"HELLO", "GOODBYE"}) {
        auto signal = recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.broadcast", member});
        ASSERT_TRUE(signal) << member;
        EXPECT_EQ(signal->path, "/vel/kem/korvad/Object");
        EXPECT_EQ(signal->destination, "");
        EXPECT_EQ(signal->signature, "ssss");
        EXPECT_EQ(signal->args, (std::vector<std::string>{"korvad", "v3_02r5", "unknown",
                                                          kSupervisorDescription}));
    }
    EXPECT_TRUE(wait_name_free(recorder, "vel.kem.korvad"));
}

TEST_F(BusTest, WorkerWhoIsThereCarriesItsNameAndThreeEmptyTexts) {
    ScopedContext worker(bus_test::worker_name());
    ASSERT_EQ(gs32_dbus_connect_private(worker.get()), 0);
    ASSERT_EQ(gs32_dbus_send_who_is_there(worker.get()), 0);
    auto signal = recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.broadcast", "WhoIsThere"});
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->path, "/vel/kem/" + bus_test::worker_name() + "/Object");
    EXPECT_EQ(signal->sender, dbus_bus_get_unique_name(worker->connection));
    EXPECT_EQ(signal->args, (std::vector<std::string>{bus_test::worker_name(), "", "", ""}));
}

TEST_F(BusTest, PresenceSignalsRefuseWhatCannotBeSent) {
    using Sender = int32_t (*)(const BusContext*);
    const struct {
        const char* member;
        Sender send;
    } senders[] = {{"HELLO", gs32_dbus_send_hello},
                   {"GOODBYE", gs32_dbus_send_goodbye},
                   {"WhoIsThere", gs32_dbus_send_who_is_there}};
    ScopedContext connected(bus_test::worker_name());
    ASSERT_EQ(gs32_dbus_connect_private(connected.get()), 0);
    for (const auto& sender : senders) {
        SCOPED_TRACE(sender.member);
        EXPECT_EQ(sender.send(nullptr), -5);
        ScopedContext unconnected("korvad");
        EXPECT_EQ(sender.send(unconnected.get()), -5);

        // A name that makes no object path: the signal is not created.
        BusContext bad_path = connected.context;
        gu32_copy_bounded(bad_path.name, "korvad-1", sizeof bad_path.name);
        EXPECT_EQ(sender.send(&bad_path), -1);

        // A text that is not UTF-8 cannot be appended.
        BusContext bad_text = connected.context;
        gu32_copy_bounded(bad_text.state, "\xff\xfe", sizeof bad_text.state);
        EXPECT_EQ(sender.send(&bad_text), -10);
    }
    EXPECT_TRUE(recorder.matching({DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.broadcast"}).empty());
}

TEST_F(BusTest, SendSignalAddressesTheTargetDaemon) {
    ScopedContext worker(bus_test::worker_name());
    ASSERT_EQ(gs32_dbus_connect_private(worker.get()), 0);
    ASSERT_EQ(gs32_dbus_send_signal(worker.get(), "mitm", "ClearLoggerDLCN", "logger_1"), 0);
    auto signal = recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "", "ClearLoggerDLCN"});
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->path, "/vel/kem/mitm/Object");
    EXPECT_EQ(signal->interface, "vel.kem.mitm");
    EXPECT_EQ(signal->args, std::vector<std::string>{"logger_1"});

    const struct {
        const BusContext* context;
        const char* target;
        const char* member;
        const char* text;
        int32_t result;
    } cases[] = {
        {nullptr, "mitm", "M", "t", -5},           {worker.get(), nullptr, "M", "t", -5},
        {worker.get(), "mitm", nullptr, "t", -5},  {worker.get(), "mitm", "M", nullptr, -5},
        {worker.get(), "two words", "M", "t", -1},  // no valid path or interface
        {worker.get(), "mitm", "9lives", "t", -1},  // no valid member
        {worker.get(), "mitm", "M", "\xc3", -1},    // text not UTF-8
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gs32_dbus_send_signal(c.context, c.target, c.member, c.text), c.result)
            << (c.target ? c.target : "-") << " " << (c.member ? c.member : "-");
    }
}

TEST(BusNames, FollowTheNamingSchemeAndRefuseWhatLibdbusWouldNot) {
    char out[kBusNameSize];
    ASSERT_EQ(gs32_dbus_bus_name("tulvad_can1", out), 0);
    EXPECT_STREQ(out, "vel.kem.tulvad_can1");
    ASSERT_EQ(gs32_dbus_object_path("korvad_1234", out), 0);
    EXPECT_STREQ(out, "/vel/kem/korvad_1234/Object");

    const std::string too_long(kBusNameSize, 'a');
    for (const char* bad : {"", "a b", "a-b", "a//b", too_long.c_str()}) {
        EXPECT_EQ(gs32_dbus_object_path(bad, out), -1) << bad;
        EXPECT_STREQ(out, "");
    }
    for (const char* bad : {"", "a b", "a..b", too_long.c_str()}) {
        EXPECT_EQ(gs32_dbus_bus_name(bad, out), -1) << bad;
    }
    EXPECT_EQ(gs32_dbus_bus_name(nullptr, out), -1);
}
