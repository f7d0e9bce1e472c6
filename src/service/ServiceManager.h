// What the service manager (systemd on Linux) hears from the program: ready, the latest status,
// stopping, and "still alive" for its watchdog. Without a service manager (or a build without
// its library) every call does nothing.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace vexanet::service {

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  virtual void Ready() = 0;
  virtual void Status(const std::string& text) = 0;
  virtual void Stopping() = 0;
  // The watchdog's interval when the manager runs one for this process.
  virtual std::optional<std::chrono::microseconds> WatchdogInterval() = 0;
  virtual void Alive() = 0;
};

// The manager that started this process, if any. Call it before other threads start (it reads
// the environment).
std::unique_ptr<ServiceManager> ConnectServiceManager();

}  // namespace vexanet::service
