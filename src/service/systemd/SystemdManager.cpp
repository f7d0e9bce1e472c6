// systemd's notification protocol through libsystemd (sd_notify): READY=1, STATUS=, STOPPING=1,
// WATCHDOG=1. Without NOTIFY_SOCKET (not started by systemd, or Type= other than notify) every
// message is dropped by the library itself.
#include <systemd/sd-daemon.h>

#include <cstdint>

#include "service/ServiceManager.h"

namespace vexanet::service {
namespace {

class SystemdManager : public ServiceManager {
 public:
  SystemdManager() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) watchdog_ = std::chrono::microseconds(usec);
  }
  void Ready() override { sd_notify(0, "READY=1"); }
  void Status(const std::string& text) override {
    // One line: a status text with a line break would end the message's field early.
    std::string line = text;
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    sd_notify(0, ("STATUS=" + line).c_str());
  }
  void Stopping() override { sd_notify(0, "STOPPING=1"); }
  std::optional<std::chrono::microseconds> WatchdogInterval() override { return watchdog_; }
  void Alive() override { sd_notify(0, "WATCHDOG=1"); }

 private:
  std::optional<std::chrono::microseconds> watchdog_;
};

}  // namespace

std::unique_ptr<ServiceManager> ConnectServiceManager() {
  return std::make_unique<SystemdManager>();
}

}  // namespace vexanet::service
