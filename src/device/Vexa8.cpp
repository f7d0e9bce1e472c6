#include "device/Vexa8.h"

#include <string_view>

#include "device/DeviceHost.h"

namespace {

// The network command words, in the order they are compared.
constexpr std::array<std::string_view, 8> kOnWords = {"R1On", "R2On", "R3On", "R4On",
                                                      "R5On", "R6On", "R7On", "R8On"};
constexpr std::array<std::string_view, 8> kOffWords = {"R1Off", "R2Off", "R3Off", "R4Off",
                                                       "R5Off", "R6Off", "R7Off", "R8Off"};
constexpr std::array<std::string_view, 8> kBoardWords = {"Bnum0", "Bnum1", "Bnum2", "Bnum3",
                                                         "Bnum4", "Bnum5", "Bnum6", "Bnum7"};

}  // namespace

void Vexa8::set(int32_t /*value*/) {}

void Vexa8::setoutmode(int32_t /*mode*/) {}

void Vexa8::setboardnum(int32_t n) {
  boardnum.store(n);
}

std::string Vexa8::StatusText(const std::array<int32_t, 8>& states) {
  std::string text = "Stat";
  for (int32_t s : states) text += std::to_string(s);
  return text;
}

std::string Vexa8::stat() const {
  std::lock_guard lock(statLock_);
  return stat_;
}

void Vexa8::set(int32_t relay, int32_t state) {
  {
    std::unique_lock wait(initLock_);
    initDone_.wait(wait, [this] { return !initPending_; });
  }
  host_.BeforeSwitch(relay, state);
  {
    std::lock_guard lock(switchLock_);
    SwitchHeld(relay, state);
  }
  status();
}

void Vexa8::SwitchHeld(int32_t relay, int32_t state) {
  Vexacmd1[0] = CommandByte(boardnum.load(), state, relay);
  CommandB0(Vexacmd1);  // the result does not matter: the state is recorded either way
  if (relay >= 0 && relay < 8) {
    host_.SelectRelay(relay, state);
    r_[static_cast<size_t>(relay)].store(state);
  }
}

void Vexa8::status() {
  std::lock_guard lock(statLock_);
  std::array<int32_t, 8> states{};
  for (size_t i = 0; i < states.size(); ++i) states[i] = r_[i].load();
  stat_ = StatusText(states);
  host_.SendRStat(stat_);
  ShowStat(stat_);
}

std::array<uint8_t, 8> Vexa8::RecordedCommandBytes() const {
  std::array<uint8_t, 8> bytes{};
  for (int32_t relay = 0; relay < 8; ++relay) {
    bytes[static_cast<size_t>(relay)] =
        CommandByte(boardnum.load(), r_[static_cast<size_t>(relay)].load(), relay);
  }
  return bytes;
}

void Vexa8::DevInit() {
  DevInit(std::array<int32_t, 8>{});
}

void Vexa8::DevInit(const std::array<int32_t, 8>& states) {
  // The whole sequence under one hold of the switch lock: a switch asked for meanwhile (a client
  // that connected early, the operator) waits and comes after it, instead of being switched back
  // by the rest of the sequence. Each step still publishes its status line.
  {
    std::lock_guard lock(switchLock_);
    for (int32_t relay = 0; relay < 8; ++relay) {
      SwitchHeld(relay, states[static_cast<size_t>(relay)] != 0 ? 1 : 0);
      status();
    }
  }
  {
    std::lock_guard wait(initLock_);
    initPending_ = false;
  }
  initDone_.notify_all();
}

void Vexa8::HoldSwitchesUntilInit() {
  std::lock_guard wait(initLock_);
  initPending_ = true;
}

bool Vexa8::ParseNetCommand(const std::string& line) {
  bool matched = false;
  for (int32_t n = 0; n < 8; ++n) {
    if (line == kOnWords[static_cast<size_t>(n)]) {
      set(n, 1);
      matched = true;
    }
  }
  for (int32_t n = 0; n < 8; ++n) {
    if (line == kOffWords[static_cast<size_t>(n)]) {
      set(n, 0);
      matched = true;
    }
  }
  if (line == "Get") {
    status();
    matched = true;
  }
  if (net_) {
    for (int32_t n = 0; n < 8; ++n) {
      if (line == kBoardWords[static_cast<size_t>(n)]) {
        setboardnum(n);
        matched = true;
      }
    }
  }
  return matched;
}

bool Vexa8::CommandB0(std::span<const uint8_t> bytes) {
  return host_.CommandB0(bytes);
}

void Vexa8::DelayT(int32_t ms) {
  host_.DelayT(ms);
}

void Vexa8::ShowStat(const std::string& text) {
  host_.ShowStat(text);
}
