#include "relay/RelayService.h"

#include <algorithm>

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
    service_.current_ = source;
    service_.turnOwner_.store(std::this_thread::get_id());
  }
  ~Turn() { service_.turnOwner_.store(std::thread::id()); }
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

void RelayService::Init() {
  device_.DevInit();
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
