// HealthWatch: tells the service manager's watchdog that the program is alive, twice per
// interval, but only while no watched part is stuck: a part busy with one piece of work for
// longer than half the interval (a relay request, a byte on the serial line, a client's line)
// stops the messages, so the manager restarts the program. One console line when that happens
// and one when it is over.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/Activity.h"
#include "service/ServiceManager.h"

namespace vexanet::service {

class HealthWatch {
 public:
  // Every part must outlive the watch.
  HealthWatch(ServiceManager& manager, std::chrono::microseconds interval,
              std::vector<const Activity*> parts);
  ~HealthWatch();  // stops and joins the thread
  HealthWatch(const HealthWatch&) = delete;
  HealthWatch& operator=(const HealthWatch&) = delete;

  // The stuck parts and for how long ("serial line writer busy for 1200 ms, ..."), or empty
  // when all are well.
  std::optional<std::string> Stuck() const;

 private:
  void Run();

  ServiceManager& manager_;
  const std::chrono::microseconds interval_;
  const std::vector<const Activity*> parts_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by lock_
  std::thread thread_;
};

}  // namespace vexanet::service
