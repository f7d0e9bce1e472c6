// PanelState: what the web panel shows, kept up to date as an observer of the relay service:
// the eight relays, the latest status text, the serial line, the connected client. Every change
// is one numbered snapshot; event streams wait for snapshots newer than the last they sent.
//
// Threads: the observer callbacks come from whichever thread caused the change (some with the
// driver's switch lock held): they only copy a few values under the state's own lock and wake
// the waiting streams. The streams' threads wait and read.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "relay/RelayService.h"

namespace vexanet::web {

struct PanelSnapshot {
  uint64_t seq = 0;
  std::array<bool, 8> relays{};
  std::string status;
  bool serialUp = true;
  struct Client {
    std::string address;  // "ADDRESS:PORT"
    std::chrono::system_clock::time_point since;
  };
  std::optional<Client> client;
};

class PanelState : public relay::RelayObserver {
 public:
  // Snapshots kept for streams that fall behind; one further behind gets the newest only.
  static constexpr size_t kKept = 64;

  // Starts from what the service knows now.
  explicit PanelState(const relay::RelayService& relays);

  void RelayChanged(int32_t relay, bool was, bool now, const relay::Source& source) override;
  void StatusText(const std::string& text) override;
  void SerialLine(bool up, const std::string& reason) override;
  void Client(relay::ClientEvent event, const std::string& client) override;

  PanelSnapshot Current() const;
  // The snapshots after seq `after`, waiting up to `timeout` for one; empty after the timeout or
  // once stopped.
  std::vector<PanelSnapshot> After(uint64_t after, std::chrono::milliseconds timeout) const;
  // Wakes every waiting stream for good.
  void Stop();
  bool stopped() const;

 private:
  // Records the changed current snapshot as the next one. Called with lock_ held.
  void Publish();

  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  PanelSnapshot current_;            // guarded by lock_
  std::deque<PanelSnapshot> kept_;   // guarded by lock_; the last kKept snapshots
  bool stopped_ = false;             // guarded by lock_
};

}  // namespace vexanet::web
