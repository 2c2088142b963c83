// Registration and the signals of a worker on a private bus.
#include "bus_test_util.h"

using bus_test::BusTest;
using bus_test::ScopedContext;

TEST_F(BusTest, RegistrationTakesTheNameOrSaysWhyNot) {
    EXPECT_EQ(gs32_dbus_connect(nullptr), -5);
    EXPECT_EQ(gs32_dbus_connect_private(nullptr), -5);
    // Connections of the test itself that own names before the worker.
    ScopedContext yielding("yielding"), holding("holding");
    for (ScopedContext* own : {&yielding, &holding}) {
        ASSERT_EQ(gs32_dbus_connect_unnamed(own->get()), 0);
    }
    ASSERT_EQ(dbus_bus_request_name(yielding->connection, "vel.kem.yielding",
                                    DBUS_NAME_FLAG_ALLOW_REPLACEMENT, nullptr),
              DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
    ASSERT_EQ(dbus_bus_request_name(holding->connection, "vel.kem.holding", 0, nullptr),
              DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);

    // A worker's private registration owns vel.kem.korvad_<pid> and becomes the own context.
    ScopedContext worker(bus_test::worker_name());
    ASSERT_EQ(gs32_dbus_connect_private(worker.get()), 0);
    EXPECT_NE(worker->connection, nullptr);
    EXPECT_EQ(gp_dbus_own_context(), worker.get());
    EXPECT_TRUE(dbus_bus_name_has_owner(holding->connection,
                                        ("vel.kem." + bus_test::worker_name()).c_str(), nullptr));

    // A name that cannot form a bus name is not obtained, but the connection is kept.
    ScopedContext bad("no such name");
    EXPECT_EQ(gs32_dbus_connect_private(bad.get()), -10);
    EXPECT_NE(bad->connection, nullptr);

    // An owner that allows replacement gives the name up; one that does not keeps it.
    ScopedContext replacing("yielding");
    EXPECT_EQ(gs32_dbus_connect_private(replacing.get()), 0);
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

TEST_F(BusTest, SignalsRefuseWhatCannotBeSent) {
    ScopedContext connected(bus_test::worker_name());
    ASSERT_EQ(gs32_dbus_connect_private(connected.get()), 0);
    ScopedContext unconnected("korvad");
    BusContext bad_path = connected.context;  // a name that makes no object path
    gu32_copy_bounded(bad_path.name, "korvad-1", sizeof bad_path.name);
    BusContext bad_text = connected.context;  // a text that is not UTF-8
    gu32_copy_bounded(bad_text.state, "\xff\xfe", sizeof bad_text.state);
    using Sender = int32_t (*)(const BusContext*);
    const std::pair<const char*, Sender> presence[] = {{"HELLO", gs32_dbus_send_hello},
                                                       {"GOODBYE", gs32_dbus_send_goodbye},
                                                       {"WhoIsThere", gs32_dbus_send_who_is_there}};
    for (const auto& [member, send] : presence) {
        EXPECT_EQ(send(nullptr), -5) << member;
        EXPECT_EQ(send(unconnected.get()), -5) << member;
        EXPECT_EQ(send(&bad_path), -1) << member;
        EXPECT_EQ(send(&bad_text), -10) << member;
    }
    EXPECT_TRUE(recorder.matching({DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.broadcast"}).empty());

    const BusContext* worker = connected.get();
    const struct {
        const BusContext* context;
        const char* target;
        const char* member;
        const char* text;
        int32_t result;
    } cases[] = {
        {nullptr, "mitm", "M", "t", -5},     {worker, nullptr, "M", "t", -5},
        {worker, "mitm", nullptr, "t", -5},  {worker, "mitm", "M", nullptr, -5},
        {worker, "two words", "M", "t", -1},  // no valid path or interface
        {worker, "mitm", "9lives", "t", -1},  // no valid member
        {worker, "mitm", "M", "\xc3", -1},    // text not UTF-8
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gs32_dbus_send_signal(c.context, c.target, c.member, c.text), c.result)
            << (c.target ? c.target : "-") << " " << (c.member ? c.member : "-");
    }
}

// The names themselves ("vel.kem.<name>", "/vel/kem/<name>/Object") show in every whole cycle.
TEST(BusNames, RefuseWhatLibdbusWouldNot) {
    char out[kBusNameSize];
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
