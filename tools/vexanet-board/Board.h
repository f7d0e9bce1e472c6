// The simulated eight-relay board without its terminal: decoding the command byte, the relay state
// of every board address, the three output forms (JSON lines, plain lines, the in-place terminal
// view) and the check of the line setting that the server applied. Nothing here touches a
// descriptor, so all of it is tested directly.
#pragma once

#include <termios.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexanet::board {

inline constexpr int kBoards = 16;  // four address bits
inline constexpr int kRelays = 8;

// One decoded command byte.
//   bits 7..4: board address 0..15
//   bit 3:     new state, 1 on, 0 off
//   bits 2..0: relay index 0..7, reported as relay 1..8 (the numbering of the command words)
struct RelayCommand {
  std::uint8_t byte = 0;
  int board = 0;
  int relay = 1;
  int state = 0;

  friend bool operator==(const RelayCommand&, const RelayCommand&) = default;
};

constexpr RelayCommand Decode(std::uint8_t byte) noexcept {
  return RelayCommand{byte, byte >> 4, (byte & 0x07) + 1, (byte >> 3) & 0x01};
}

// The relays of all sixteen board addresses; a board shows once a byte has addressed it.
class BoardBank {
 public:
  // Records the command's state; returns true when the relay changed.
  bool Apply(const RelayCommand& c) noexcept;

  bool Addressed(int board) const noexcept;
  // relay counted from 1; false for a board or relay out of range.
  bool RelayOn(int board, int relay) const noexcept;
  // Addressed boards in ascending order.
  std::vector<int> AddressedBoards() const;
  // Command bytes applied so far.
  std::uint64_t Received() const noexcept { return received_; }

 private:
  std::array<std::uint8_t, kBoards> relays_{};  // bit k: relay k + 1 on
  std::uint16_t addressed_ = 0;                 // bit b: board b addressed
  std::uint64_t received_ = 0;
};

// "2024-05-01T12:34:56.789Z": UTC, milliseconds truncated.
std::string FormatUtcTime(std::chrono::system_clock::time_point t);

// {"byte":11,"board":0,"relay":4,"state":1,"time":"2024-05-01T12:34:56.789Z"} and a line feed.
std::string FormatJsonLine(const RelayCommand& c, std::chrono::system_clock::time_point t);

// "board 0   R1 off  R2 ON   ..." (fixed width). With `emphasis` every "ON" is in bold (for a
// terminal only).
std::string FormatBoardLine(const BoardBank& bank, int board, bool emphasis = false);

// One line per byte for a log or a pipe:
// "2024-05-01T12:34:56.789Z  0x0B  board 0 R4 on   | board 0   R1 off ..." and a line feed.
std::string FormatPlainLine(const RelayCommand& c, const BoardBank& bank,
                            std::chrono::system_clock::time_point t);

// The view on a terminal: one line per addressed board and a last line with the byte count and the
// last byte. Each Redraw returns the text that moves the cursor back over what the previous call
// drew and draws everything again, so the view updates in place.
class TerminalView {
 public:
  std::string Redraw(const BoardBank& bank, const std::optional<RelayCommand>& last);
  // Starts the next Redraw below the current cursor position: used after other text (a warning on
  // the same terminal) has been written under the view.
  void Detach() noexcept { lines_ = 0; }

 private:
  int lines_ = 0;
};

// What differs from 9600 bit/s, 8 data bits, no parity, 1 stop bit, raw (no canonical input, no
// echo, no output processing), one short phrase each; empty when the setting is right.
std::vector<std::string> LineSettingProblems(const termios& t);

// Watches the line setting over time and says when to warn.
//
// A fresh pseudo-terminal starts with the system's default setting (38400 bit/s, canonical,
// echo), and a serial library may apply its setting in several steps, so a setting is judged only
// once it differs from the initial one and has stayed unchanged for `settle`, or as soon as data
// arrives (a program that writes has finished setting up its line). A wrong setting is reported
// once: the same problems again (say, after the server reopens the line) stay quiet; different
// problems are reported anew, and a return to the right setting after a warning is reported once.
class LineSettingMonitor {
 public:
  using Clock = std::chrono::steady_clock;

  LineSettingMonitor(const termios& initial, Clock::duration settle);

  // Feeds the current setting; returns a message to show, if any.
  std::optional<std::string> Observe(const termios& t, bool data_arrived, Clock::time_point now);

 private:
  std::optional<std::string> Judge(const termios& t);

  termios current_;
  Clock::duration settle_;
  Clock::time_point changed_at_{};
  bool judged_ = false;      // current_ has been judged
  bool configured_ = false;  // the setting changed since start, or data arrived
  std::string reported_;     // problems last warned about; empty when none outstanding
};

// Same line setting: flags, control characters and speeds.
bool SameLineSetting(const termios& a, const termios& b) noexcept;

}  // namespace vexanet::board
