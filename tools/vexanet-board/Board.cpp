#include "vexanet-board/Board.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

namespace vexanet::board {

namespace {

constexpr const char* kExpected = "9600 bit/s, 8 data bits, no parity, 1 stop bit, raw";

bool ValidBoard(int board) noexcept {
  return board >= 0 && board < kBoards;
}

std::string Hex2(std::uint8_t b) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(b));
  return buf;
}

// "R4 on" for the plain lines and the terminal's last-byte line.
std::string CommandText(const RelayCommand& c) {
  return "board " + std::to_string(c.board) + " R" + std::to_string(c.relay) +
         (c.state ? " on" : " off");
}

// Bit rate of a termios speed code, 0 for a code not in the table.
long BitsPerSecond(speed_t s) {
  static constexpr std::pair<speed_t, long> kTable[] = {
      {B0, 0},
      {B50, 50},
      {B75, 75},
      {B110, 110},
      {B134, 134},
      {B150, 150},
      {B200, 200},
      {B300, 300},
      {B600, 600},
      {B1200, 1200},
      {B1800, 1800},
      {B2400, 2400},
      {B4800, 4800},
      {B9600, 9600},
      {B19200, 19200},
      {B38400, 38400},
      {B57600, 57600},
      {B115200, 115200},
      {B230400, 230400},
      {B460800, 460800},
      {B500000, 500000},
      {B576000, 576000},
      {B921600, 921600},
      {B1000000, 1000000},
      {B1152000, 1152000},
      {B1500000, 1500000},
      {B2000000, 2000000},
      {B2500000, 2500000},
      {B3000000, 3000000},
      {B3500000, 3500000},
      {B4000000, 4000000},
  };
  for (const auto& [code, bps] : kTable) {
    if (code == s) return bps;
  }
  return -1;
}

std::string SpeedText(speed_t s) {
  const long bps = BitsPerSecond(s);
  if (bps < 0) return "speed code " + std::to_string(static_cast<unsigned long>(s));
  return std::to_string(bps) + " bit/s";
}

}  // namespace

bool BoardBank::Apply(const RelayCommand& c) noexcept {
  if (!ValidBoard(c.board) || c.relay < 1 || c.relay > kRelays) return false;
  ++received_;
  addressed_ = static_cast<std::uint16_t>(addressed_ | (1u << c.board));
  const auto mask = static_cast<std::uint8_t>(1u << (c.relay - 1));
  const std::uint8_t before = relays_[c.board];
  relays_[c.board] = static_cast<std::uint8_t>(c.state ? before | mask : before & ~mask);
  return relays_[c.board] != before;
}

bool BoardBank::Addressed(int board) const noexcept {
  return ValidBoard(board) && (addressed_ & (1u << board)) != 0;
}

bool BoardBank::RelayOn(int board, int relay) const noexcept {
  if (!ValidBoard(board) || relay < 1 || relay > kRelays) return false;
  return (relays_[board] & (1u << (relay - 1))) != 0;
}

std::vector<int> BoardBank::AddressedBoards() const {
  std::vector<int> boards;
  for (int b = 0; b < kBoards; ++b) {
    if (Addressed(b)) boards.push_back(b);
  }
  return boards;
}

std::string FormatUtcTime(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(t);
  const auto secs = floor<seconds>(ms);
  const auto millis = (ms - secs).count();
  const std::time_t tt = system_clock::to_time_t(time_point<system_clock, seconds>(secs));
  std::tm tm{};
  if (::gmtime_r(&tt, &tm) == nullptr) return "0000-00-00T00:00:00.000Z";
  char buf[96];  // room for any int the format could meet
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(millis));
  return buf;
}

std::string FormatJsonLine(const RelayCommand& c, std::chrono::system_clock::time_point t) {
  return "{\"byte\":" + std::to_string(c.byte) + ",\"board\":" + std::to_string(c.board) +
         ",\"relay\":" + std::to_string(c.relay) + ",\"state\":" + std::to_string(c.state) +
         ",\"time\":\"" + FormatUtcTime(t) + "\"}\n";
}

std::string FormatBoardLine(const BoardBank& bank, int board, bool emphasis) {
  std::string line = "board " + std::to_string(board);
  line.resize(10, ' ');  // "board 15" and two spaces
  for (int r = 1; r <= kRelays; ++r) {
    line += 'R';
    line += static_cast<char>('0' + r);
    if (!bank.RelayOn(board, r)) {
      line += " off";
    } else if (emphasis) {
      line += " \x1b[1mON\x1b[0m ";
    } else {
      line += " ON ";
    }
    if (r < kRelays) line += "  ";
  }
  // No trailing blank after R8 when it is on.
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string FormatPlainLine(const RelayCommand& c, const BoardBank& bank,
                            std::chrono::system_clock::time_point t) {
  std::string head = FormatUtcTime(t) + "  " + Hex2(c.byte) + "  " + CommandText(c);
  // Width of the longest head, "...Z  0x0B  board 15 R8 off", so the boards line up.
  constexpr std::size_t kHeadWidth = 24 + 2 + 4 + 2 + 15;
  if (head.size() < kHeadWidth) head.resize(kHeadWidth, ' ');
  return head + " | " + FormatBoardLine(bank, c.board) + "\n";
}

std::string TerminalView::Redraw(const BoardBank& bank, const std::optional<RelayCommand>& last) {
  std::string out;
  // Back to the start of the first line drawn last time; every line is cleared before it is
  // drawn again. Boards never disappear, so the view never gets shorter.
  if (lines_ > 0) out += "\x1b[" + std::to_string(lines_) + "F";
  int lines = 0;
  for (int b : bank.AddressedBoards()) {
    out += "\x1b[2K" + FormatBoardLine(bank, b, true) + "\n";
    ++lines;
  }
  out += "\x1b[2K";
  if (last) {
    out += std::to_string(bank.Received()) + (bank.Received() == 1 ? " byte" : " bytes") +
           ", last " + Hex2(last->byte) + " = " + CommandText(*last) + "\n";
  } else {
    out += "waiting for command bytes\n";
  }
  ++lines;
  lines_ = lines;
  return out;
}

std::vector<std::string> LineSettingProblems(const termios& t) {
  std::vector<std::string> problems;
  // One speed for both directions: the C library on Linux keeps no separate input speed.
  if (const speed_t speed = cfgetospeed(&t); speed != B9600) problems.push_back(SpeedText(speed));
  switch (t.c_cflag & CSIZE) {
    case CS5:
      problems.emplace_back("5 data bits");
      break;
    case CS6:
      problems.emplace_back("6 data bits");
      break;
    case CS7:
      problems.emplace_back("7 data bits");
      break;
    default:
      break;
  }
  if (t.c_cflag & PARENB)
    problems.emplace_back((t.c_cflag & PARODD) ? "odd parity" : "even parity");
  if (t.c_cflag & CSTOPB) problems.emplace_back("2 stop bits");
  if (t.c_lflag & ICANON) problems.emplace_back("canonical input");
  if (t.c_lflag & ECHO) problems.emplace_back("echo");
  if (t.c_oflag & OPOST) problems.emplace_back("output processing");
  return problems;
}

bool SameLineSetting(const termios& a, const termios& b) noexcept {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b);
}

LineSettingMonitor::LineSettingMonitor(const termios& initial, Clock::duration settle)
    : current_(initial), settle_(settle) {}

std::optional<std::string> LineSettingMonitor::Observe(const termios& t, bool data_arrived,
                                                       Clock::time_point now) {
  if (!SameLineSetting(t, current_)) {
    current_ = t;
    changed_at_ = now;
    judged_ = false;
    configured_ = true;
  }
  if (data_arrived) configured_ = true;
  if (!configured_ || judged_) return std::nullopt;
  if (!data_arrived && now - changed_at_ < settle_) return std::nullopt;
  return Judge(t);
}

std::optional<std::string> LineSettingMonitor::Judge(const termios& t) {
  judged_ = true;
  const std::vector<std::string> problems = LineSettingProblems(t);
  if (problems.empty()) {
    if (reported_.empty()) return std::nullopt;
    reported_.clear();
    return std::string("the serial line is now set right (") + kExpected + ")";
  }
  std::string text;
  for (const auto& p : problems) text += (text.empty() ? "" : ", ") + p;
  if (text == reported_) return std::nullopt;
  reported_ = text;
  return "warning: the serial line is set to " + text + "; a board expects " + kExpected;
}

}  // namespace vexanet::board
