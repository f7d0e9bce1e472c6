#include "web/PanelState.h"

namespace vexanet::web {

PanelState::PanelState(const relay::RelayService& relays) {
  current_.relays = relays.States();
  current_.status = relays.Status();
  current_.serialUp = relays.SerialUp();
  kept_.push_back(current_);
}

void PanelState::RelayChanged(int32_t relay, bool /*was*/, bool now,
                              const relay::Source& /*source*/) {
  if (relay < 0 || relay > 7) return;
  std::lock_guard lock(lock_);
  current_.relays[static_cast<size_t>(relay)] = now;
  Publish();
}

void PanelState::StatusText(const std::string& text) {
  std::lock_guard lock(lock_);
  current_.status = text;
  Publish();
}

void PanelState::SerialLine(bool up, const std::string& /*reason*/) {
  std::lock_guard lock(lock_);
  current_.serialUp = up;
  Publish();
}

void PanelState::Client(relay::ClientEvent event, const std::string& client) {
  std::lock_guard lock(lock_);
  switch (event) {
    case relay::ClientEvent::Connected:
      current_.client = PanelSnapshot::Client{client, std::chrono::system_clock::now()};
      break;
    case relay::ClientEvent::Closed:
    case relay::ClientEvent::TimedOut:
      current_.client.reset();
      break;
    case relay::ClientEvent::Authenticated:
    case relay::ClientEvent::Refused:
      return;  // the same client, or one that was never let in
  }
  Publish();
}

void PanelState::Publish() {
  ++current_.seq;
  kept_.push_back(current_);
  if (kept_.size() > kKept) kept_.pop_front();
  changed_.notify_all();
}

PanelSnapshot PanelState::Current() const {
  std::lock_guard lock(lock_);
  return current_;
}

std::vector<PanelSnapshot> PanelState::After(uint64_t after,
                                             std::chrono::milliseconds timeout) const {
  std::unique_lock lock(lock_);
  changed_.wait_for(lock, timeout, [&] { return stopped_ || current_.seq > after; });
  std::vector<PanelSnapshot> newer;
  if (stopped_ || current_.seq <= after) return newer;
  if (kept_.front().seq > after + 1) {
    newer.push_back(current_);  // fell too far behind: the newest only
    return newer;
  }
  for (const PanelSnapshot& s : kept_) {
    if (s.seq > after) newer.push_back(s);
  }
  return newer;
}

void PanelState::Stop() {
  std::lock_guard lock(lock_);
  stopped_ = true;
  changed_.notify_all();
}

bool PanelState::stopped() const {
  std::lock_guard lock(lock_);
  return stopped_;
}

}  // namespace vexanet::web
