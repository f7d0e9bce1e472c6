#include "service/HealthWatch.h"

#include "base/Console.h"

namespace vexanet::service {

HealthWatch::HealthWatch(ServiceManager& manager, std::chrono::microseconds interval,
                         std::vector<const Activity*> parts)
    : manager_(manager), interval_(interval), parts_(std::move(parts)) {
  thread_ = std::thread([this] { Run(); });
}

HealthWatch::~HealthWatch() {
  {
    std::lock_guard lock(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::optional<std::string> HealthWatch::Stuck() const {
  const auto now = Activity::Clock::now();
  const auto limit = interval_ / 2;
  std::string stuck;
  for (const Activity* part : parts_) {
    const auto busy = part->BusyFor(now);
    if (busy > limit) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(busy).count();
      stuck += (stuck.empty() ? "" : ", ") + part->name() + " busy for " + std::to_string(ms) +
               " ms";
    }
  }
  if (stuck.empty()) return std::nullopt;
  return stuck;
}

void HealthWatch::Run() {
  bool wasStuck = false;
  std::unique_lock lock(lock_);
  while (!stop_) {
    const std::optional<std::string> stuck = Stuck();
    if (!stuck) {
      manager_.Alive();
      if (wasStuck) ConsoleLine("Watchdog: every part works again");
    } else if (!wasStuck) {
      ConsoleLine("Watchdog: " + *stuck + "; not telling the service manager that all is well");
    }
    wasStuck = stuck.has_value();
    wake_.wait_for(lock, interval_ / 2, [this] { return stop_; });
  }
}

}  // namespace vexanet::service
