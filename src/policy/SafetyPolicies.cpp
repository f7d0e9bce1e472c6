#include "policy/SafetyPolicies.h"

#include <string>
#include <utility>
#include <vector>

#include "base/Console.h"
#include "policy/StateFile.h"

namespace vexanet::policy {

SafetyPolicies::SafetyPolicies(PolicySettings settings, relay::RelayService& relays,
                               std::filesystem::path stateFile)
    : settings_(std::move(settings)), relays_(relays), stateFile_(std::move(stateFile)) {}

SafetyPolicies::~SafetyPolicies() {
  if (watching_) relays_.RemoveObserver(*this);
  {
    std::lock_guard lock(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::optional<std::array<bool, 8>> SafetyPolicies::StartStates() const {
  if (!settings_.restore) return std::nullopt;
  std::string why;
  std::optional<std::array<bool, 8>> states = ReadStateFile(stateFile_, why);
  if (!states) {
    ConsoleLine("Relay states not restored: " + why + "; all relays off");
    return states;
  }
  // A file from before an interlock was set may hold two relays of a group on: the first stays.
  for (const std::vector<int32_t>& group : settings_.interlocks) {
    bool kept = false;
    for (const int32_t relay : group) {
      bool& on = (*states)[static_cast<size_t>(relay)];
      if (on && kept) {
        on = false;
        ConsoleLine("Relay " + std::to_string(relay + 1) +
                    " not restored on: an interlocked relay of its group is");
      }
      kept = kept || on;
    }
  }
  return states;
}

void SafetyPolicies::Start() {
  relays_.SetInterlocks(settings_.interlocks);
  relays_.AddObserver(*this);
  watching_ = true;
  thread_ = std::thread([this] { Run(); });
}

void SafetyPolicies::RelayChanged(int32_t relay, bool /*was*/, bool now,
                                  const relay::Source& /*source*/) {
  if (relay < 0 || relay > 7) return;
  const auto index = static_cast<size_t>(relay);
  if (settings_.restore) {
    // Changes are reported with the driver's switch lock held, so they come here in order.
    std::lock_guard file(fileLock_);
    std::string error;
    if (!WriteStateFile(stateFile_, relays_.States(), error)) {
      ConsoleLine("Relay states not saved: " + error);
    }
  }
  if (settings_.maxOn[index]) {
    std::lock_guard lock(lock_);
    if (now) {
      offAt_[index] = Clock::now() + *settings_.maxOn[index];
    } else {
      offAt_[index].reset();
    }
    wake_.notify_all();
  }
}

void SafetyPolicies::Client(relay::ClientEvent event, const std::string& /*client*/) {
  if (event != relay::ClientEvent::Closed && event != relay::ClientEvent::TimedOut &&
      event != relay::ClientEvent::Refused)
    return;
  const std::array<bool, 8> states = relays_.States();
  std::array<std::optional<bool>, 8> off;
  bool any = false;
  for (size_t i = 0; i < off.size(); ++i) {
    if (settings_.offOnClose[i] && states[i]) {
      off[i] = false;
      any = true;
    }
  }
  if (!any) return;
  // Not from this callback (its thread may hold locks a switch needs): before the next request,
  // before the next session (the core runs the pending switches then), or on our thread.
  relays_.SwitchSoon(off, relay::Source::Policy());
  {
    std::lock_guard lock(lock_);
    pending_ = true;
  }
  wake_.notify_all();
}

void SafetyPolicies::Run() {
  std::unique_lock lock(lock_);
  while (!stop_) {
    if (pending_) {
      pending_ = false;
      lock.unlock();
      relays_.RunPending();
      lock.lock();
      continue;
    }
    std::optional<size_t> next;
    for (size_t i = 0; i < offAt_.size(); ++i) {
      if (offAt_[i] && (!next || *offAt_[i] < *offAt_[*next])) next = i;
    }
    if (!next) {
      wake_.wait(lock);
      continue;
    }
    if (Clock::now() < *offAt_[*next]) {
      wake_.wait_until(lock, *offAt_[*next]);
      continue;
    }
    // Due: switched off before any later request (which may switch it on again afterwards).
    offAt_[*next].reset();
    std::array<std::optional<bool>, 8> off;
    off[*next] = false;
    relays_.SwitchSoon(off, relay::Source::Policy());
    lock.unlock();
    relays_.RunPending();
    lock.lock();
  }
}

}  // namespace vexanet::policy
