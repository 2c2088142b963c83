// A private dbus-daemon that the simulator starts for itself when no bus is given.
#pragma once

#include <sys/types.h>

#include <string>

namespace sim {

class OwnBus {
  public:
    // Starts dbus-daemon with a permissive policy on a socket in a fresh temporary folder;
    // throws std::runtime_error when it does not come up.
    OwnBus();
    ~OwnBus();
    OwnBus(const OwnBus&) = delete;
    OwnBus& operator=(const OwnBus&) = delete;
    const std::string& address() const { return address_; }

  private:
    std::string folder_;
    std::string address_;
    pid_t pid_ = -1;
};

}  // namespace sim
