// Fuzz target: the relay board's handling of arbitrary command lines (ParseNetCommand of the real
// Vexa8 driver). The driver is subclassed only to record what it hands on: the command bytes it
// would send to the serial line (CommandB0) and the status texts it would show (ShowStat). No
// host does nothing, so nothing reaches a socket, window or port.
//
// Input: byte 0 bit 0 turns the board-number words on (the board driver's net); the rest is split
// at LF into the lines handed to the parser one after another.
//
// Properties checked for every line, against a model of the eight relays and the board number:
//  - a line that is exactly one of the sixteen relay words sends exactly one byte, the right one
//    (board * 16 + state * 8 + relay index), records the new state and publishes the status line;
//  - "Get" sends nothing and publishes the status line;
//  - "Bnum0".."Bnum7" change the board number only while the driver's net is set;
//  - every other line sends nothing, publishes nothing and changes nothing;
//  - the result is true exactly for the recognised words.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "device/DeviceHost.h"
#include "device/Vexa8.h"

namespace {

class NoHost : public DeviceHost {
 public:
  bool CommandB0(std::span<const uint8_t>) override { return true; }
  void DelayT(int32_t) override {}
  void ShowStat(const std::string&) override {}
  void SelectRelay(int32_t, int32_t) override {}
  void SendRStat(const std::string&) override {}
};

class RecordingVexa8 : public Vexa8 {
 public:
  RecordingVexa8(DeviceHost& host, bool net) : Vexa8(host, net) {}
  bool CommandB0(std::span<const uint8_t> bytes) override {
    ++sends;
    sent.insert(sent.end(), bytes.begin(), bytes.end());
    return true;
  }
  void DelayT(int32_t) override { ++delays; }
  void ShowStat(const std::string& text) override { shown.push_back(text); }

  int sends = 0;
  int delays = 0;
  std::vector<uint8_t> sent;
  std::vector<std::string> shown;
};

struct Model {
  std::array<int32_t, 8> relays{};
  int32_t board = 0;

  std::string Status() const {
    std::string s = "Stat";
    for (const int32_t r : relays) s += static_cast<char>('0' + r);
    return s;
  }
};

// "R<n>On" / "R<n>Off" for n = 1..8: relay index and new state.
std::optional<std::pair<int32_t, int32_t>> RelayWord(std::string_view line) {
  if (line.size() < 4 || line[0] != 'R' || line[1] < '1' || line[1] > '8') return std::nullopt;
  const int32_t relay = line[1] - '1';
  const std::string_view rest = line.substr(2);
  if (rest == "On") return std::make_pair(relay, 1);
  if (rest == "Off") return std::make_pair(relay, 0);
  return std::nullopt;
}

std::optional<int32_t> BoardWord(std::string_view line) {
  if (line.size() == 5 && line.substr(0, 4) == "Bnum" && line[4] >= '0' && line[4] <= '7') {
    return line[4] - '0';
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const bool net = in.Bool();
  const std::string_view text = in.Rest();

  NoHost host;
  RecordingVexa8 device(host, net);
  Model model;

  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string line(text.substr(start, end - start));
    start = end + 1;

    const size_t sentBefore = device.sent.size();
    const int sendsBefore = device.sends;
    const size_t shownBefore = device.shown.size();
    const bool result = device.ParseNetCommand(line);

    std::optional<uint8_t> byte;
    bool publishes = false;
    bool recognised = false;
    if (const auto word = RelayWord(line)) {
      byte = static_cast<uint8_t>(model.board * 16 + word->second * 8 + word->first);
      model.relays[static_cast<size_t>(word->first)] = word->second;
      publishes = recognised = true;
    } else if (line == "Get") {
      publishes = recognised = true;
    } else if (const auto board = BoardWord(line); board && net) {
      model.board = *board;
      recognised = true;
    }

    const std::string what = " for line " + fuzz::Show(line);
    FUZZ_CHECK(result == recognised, "result " + std::to_string(result) + what);
    if (byte) {
      FUZZ_CHECK(device.sends == sendsBefore + 1 && device.sent.size() == sentBefore + 1,
                 std::to_string(device.sent.size() - sentBefore) + " bytes sent" + what);
      FUZZ_CHECK(device.sent.back() == *byte, "byte " + std::to_string(device.sent.back()) +
                                                  " sent, expected " + std::to_string(*byte) +
                                                  what);
    } else {
      FUZZ_CHECK(device.sends == sendsBefore && device.sent.size() == sentBefore,
                 "a byte was sent" + what);
    }
    if (publishes) {
      FUZZ_CHECK(device.shown.size() == shownBefore + 1 && device.shown.back() == model.Status(),
                 "status " + (device.shown.size() > shownBefore ? device.shown.back() : "none") +
                     ", expected " + model.Status() + what);
      FUZZ_CHECK(device.stat() == model.Status(), "recorded status " + device.stat() + what);
    } else {
      FUZZ_CHECK(device.shown.size() == shownBefore, "status shown" + what);
    }
    for (int32_t r = 0; r < 8; ++r) {
      FUZZ_CHECK(device.relayState(r) == model.relays[static_cast<size_t>(r)],
                 "relay " + std::to_string(r + 1) + " state" + what);
    }
    FUZZ_CHECK(device.boardnum.load() == model.board, "board number" + what);
    FUZZ_CHECK(device.delays == 0, "the driver paused" + what);
  }
  return 0;
}
