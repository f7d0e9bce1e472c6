// SafetyPolicies: the relay safety rules of PolicySettings, applied to every way in alike as an
// observer of the relay service and a source of its own ("policy"):
//  - restore: every change is written to the state file; start-up sends the recorded states;
//  - off on close: when a client's session ends (or a connection is refused), the listed relays
//    that are on are switched off before the next request and before the next session starts;
//  - maximum on-time: a relay switched on is switched off after its time; on again restarts it,
//    off cancels it. One thread waits for the earliest deadline (no polling), measured from the
//    change, so load cannot make the times drift;
//  - interlocks: handed to the relay service, which switches the others of a group off first.
//
// Threads: the observer callbacks (any thread, some with the driver's switch lock held) only
// note what is due under the policies' own lock, write the state file, and wake the policies'
// thread, which makes the switches through the relay service.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "policy/PolicySettings.h"
#include "relay/RelayService.h"

namespace vexanet::policy {

class SafetyPolicies : public relay::RelayObserver {
 public:
  using Clock = std::chrono::steady_clock;

  // stateFile: where restore keeps the states. The service must outlive the policies.
  SafetyPolicies(PolicySettings settings, relay::RelayService& relays,
                 std::filesystem::path stateFile);
  ~SafetyPolicies() override;  // stops watching and joins the thread
  SafetyPolicies(const SafetyPolicies&) = delete;
  SafetyPolicies& operator=(const SafetyPolicies&) = delete;

  // The states start-up sends instead of all off: with restore, the recorded ones (one console
  // line and empty when the file cannot be used; of interlocked relays recorded on together only
  // the first of the group, with a line for each other); otherwise empty.
  std::optional<std::array<bool, 8>> StartStates() const;
  // Hands the interlocks to the service, starts watching and the thread. Before start-up's
  // initial switching, so that it counts as a change like any other.
  void Start();

  void RelayChanged(int32_t relay, bool was, bool now, const relay::Source& source) override;
  void Client(relay::ClientEvent event, const std::string& client) override;

 private:
  void Run();

  const PolicySettings settings_;
  relay::RelayService& relays_;
  const std::filesystem::path stateFile_;

  std::mutex lock_;
  std::condition_variable wake_;
  std::array<std::optional<Clock::time_point>, 8> offAt_{};  // guarded by lock_
  bool pending_ = false;                                     // guarded by lock_
  bool stop_ = false;                                        // guarded by lock_
  std::mutex fileLock_;  // one writer of the state file at a time, in the order of the changes
  bool watching_ = false;
  std::thread thread_;
};

}  // namespace vexanet::policy
