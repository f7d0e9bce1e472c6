#include "relay/RelayService.h"

#include <algorithm>
#include <utility>

#include "device/Device.h"

namespace vexanet::relay {

const char* EventName(ClientEvent event) {
  switch (event) {
    case ClientEvent::Connected:
      return "connected";
    case ClientEvent::Authenticated:
      return "authenticated";
    case ClientEvent::Refused:
      return "refused";
    case ClientEvent::Closed:
      return "closed";
    case ClientEvent::TimedOut:
      return "timeout";
  }
  return "unknown";
}

// Holds the service's turn for one request and names its source for the switches it makes.
class RelayService::Turn {
 public:
  Turn(RelayService& service, const Source& source) : service_(service), lock_(service.turn_) {
    service_.turnOwner_.store(std::this_thread::get_id());
    service_.activity_.Begin();
    service_.RunPendingInTurn();
    service_.current_ = source;
  }
  ~Turn() {
    service_.activity_.End();
    service_.turnOwner_.store(std::thread::id());
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  RelayService& service_;
  std::lock_guard<std::mutex> lock_;
};

RelayService::RelayService(Device& device, RawSend sendRaw)
    : device_(device), sendRaw_(std::move(sendRaw)) {}

void RelayService::AddObserver(RelayObserver& observer) {
  std::unique_lock lock(observersLock_);
  observers_.push_back(&observer);
}

void RelayService::RemoveObserver(RelayObserver& observer) {
  std::unique_lock lock(observersLock_);
  std::erase(observers_, &observer);
}

template <typename F>
void RelayService::Tell(F&& f) {
  std::shared_lock lock(observersLock_);
  for (RelayObserver* observer : observers_) f(*observer);
}

void RelayService::Switch(int32_t relay, bool on, const Source& source) {
  Turn turn(*this, source);
  device_.set(relay, on ? 1 : 0);
}

int32_t RelayService::SwitchSeveral(const std::array<std::optional<bool>, 8>& wanted,
                                    const Source& source) {
  Turn turn(*this, source);
  int32_t switched = 0;
  for (size_t relay = 0; relay < wanted.size(); ++relay) {
    // Compared inside the turn: no other request can change a state between look and switch.
    if (!wanted[relay] || *wanted[relay] == states_[relay].load()) continue;
    device_.set(static_cast<int32_t>(relay), *wanted[relay] ? 1 : 0);
    ++switched;
  }
  return switched;
}

bool RelayService::ClientLine(const std::string& line, const Source& source) {
  Turn turn(*this, source);
  return device_.ParseNetCommand(line);
}

bool RelayService::SendRaw(std::span<const uint8_t> bytes, const Source& source) {
  Turn turn(*this, source);
  std::lock_guard lock(device_.SwitchLock());
  return sendRaw_ ? sendRaw_(bytes) : false;
}

void RelayService::Init(const std::optional<std::array<bool, 8>>& states) {
  if (!states) {
    device_.DevInit();
    return;
  }
  std::array<int32_t, 8> wanted{};
  for (size_t i = 0; i < wanted.size(); ++i) wanted[i] = (*states)[i] ? 1 : 0;
  device_.DevInit(wanted);
}

void RelayService::SetInterlocks(std::vector<std::vector<int32_t>> groups) {
  interlocks_ = std::move(groups);
}

void RelayService::SwitchSoon(const std::array<std::optional<bool>, 8>& wanted,
                              const Source& source) {
  std::lock_guard lock(pendingLock_);
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (wanted[i]) pending_[i] = wanted[i];
  }
  pendingSource_ = source;
}

void RelayService::RunPending() {
  {
    std::lock_guard lock(pendingLock_);
    if (std::none_of(pending_.begin(), pending_.end(), [](const auto& w) { return w.has_value(); }))
      return;
  }
  Turn turn(*this, Source::Policy());
}

void RelayService::RunPendingInTurn() {
  std::array<std::optional<bool>, 8> wanted;
  {
    std::lock_guard lock(pendingLock_);
    wanted = std::exchange(pending_, {});
    current_ = pendingSource_;
  }
  for (size_t relay = 0; relay < wanted.size(); ++relay) {
    if (!wanted[relay] || *wanted[relay] == states_[relay].load()) continue;
    device_.set(static_cast<int32_t>(relay), *wanted[relay] ? 1 : 0);
  }
}

void RelayService::BeforeSwitch(int32_t relay, int32_t state) {
  // Only inside a request's turn (every switch but start-up's is), where the source can be named.
  if (state == 0 || interlocks_.empty() || turnOwner_.load() != std::this_thread::get_id()) return;
  for (const std::vector<int32_t>& group : interlocks_) {
    if (std::find(group.begin(), group.end(), relay) == group.end()) continue;
    for (const int32_t other : group) {
      if (other == relay || !states_[static_cast<size_t>(other)].load()) continue;
      const Source asked = std::exchange(current_, Source::Policy());
      device_.set(other, 0);  // an off switch: no interlock of its own
      current_ = asked;
    }
  }
}

std::array<bool, 8> RelayService::States() const {
  std::array<bool, 8> states{};
  for (size_t i = 0; i < states.size(); ++i) states[i] = states_[i].load();
  return states;
}

std::string RelayService::Status() const {
  std::lock_guard lock(statusLock_);
  return status_;
}

void RelayService::Recorded(int32_t relay, int32_t state) {
  if (relay < 0 || relay >= static_cast<int32_t>(states_.size())) return;
  const bool now = state != 0;
  const bool was = states_[static_cast<size_t>(relay)].exchange(now);
  // Switches outside any request's turn are the driver's own initial ones.
  const Source source =
      turnOwner_.load() == std::this_thread::get_id() ? current_ : Source::StartUp();
  Tell([&](RelayObserver& o) { o.RelayChanged(relay, was, now, source); });
}

void RelayService::StateLine(const std::string& text) {
  Tell([&](RelayObserver& o) { o.StateLine(text); });
}

void RelayService::ShowStatus(const std::string& text) {
  {
    std::lock_guard lock(statusLock_);
    status_ = text;
  }
  Tell([&](RelayObserver& o) { o.StatusText(text); });
}

void RelayService::SerialLineChanged(bool up, const std::string& reason) {
  serialUp_.store(up);
  Tell([&](RelayObserver& o) { o.SerialLine(up, reason); });
}

void RelayService::ClientChanged(ClientEvent event, const std::string& client) {
  Tell([&](RelayObserver& o) { o.Client(event, client); });
}

}  // namespace vexanet::relay
