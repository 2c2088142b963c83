// Shared pieces of the bus tests: a BusContext released with its scope, the private bus with
// a recorder, and stand-ins in korvad-sim.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

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

inline std::string worker_name() {
    return "korvad_" + std::to_string(getpid());
}

// Every bus test: the private bus of the program and a recorder on it. The bus answers an
// unanswered call after a second, long before the library's 25-second default.
class BusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        korvad_test::PrivateBus* bus = korvad_test::test_bus(&why, 1000);
        if (bus == nullptr) GTEST_SKIP() << why;
        ASSERT_TRUE(recorder.start(bus->address(), &why)) << why;
    }

    korvad_test::BusRecorder recorder;
};

// korvad-sim hosting the probe and hodrad stand-ins, and a connected worker.
class StandInTest : public BusTest {
  protected:
    void SetUp() override {
        BusTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string why;
        ASSERT_TRUE(sim.start({"probe", "hodrad"}, &why)) << why;
        ASSERT_EQ(gs32_dbus_connect_private(worker.get()), 0);
    }
    // Tells the stand-in how to answer "standin.Method" ("answer", "silent", ...) and waits
    // until the setting is taken.
    void tell(const std::string& what, const std::string& method, const std::string& value = "") {
        const std::string target = what + " " + method;
        sim.command(target + (value.empty() ? "" : " " + value));
        ASSERT_TRUE(sim.wait_for_line("sim: " + target + " set")) << sim.output();
    }

    korvad_test::SimProcess sim;
    ScopedContext worker{worker_name()};
};

}  // namespace bus_test
