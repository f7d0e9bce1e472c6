// What the server sends: line splitting, the lines with a meaning of their own, the status line
// and its two printed forms.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexanet::client {

inline constexpr std::string_view kGreeting = "OK";
inline constexpr std::string_view kAccepted = "Password/Connection Accepted!";
inline constexpr std::string_view kRejected = "Password/Connection Rejected!";
inline constexpr std::string_view kTimeUp = "TIME";
inline constexpr std::string_view kClosedByServer = "CLOSE";

// The eight relays, relay 1 first: 1 on, 0 off.
using Relays = std::array<int, 8>;

// "Stat" and anything after it: the line that answers a relay word or Get.
bool IsStatusLine(std::string_view line);
// "Stat" and exactly eight digits 0 or 1; nullopt for anything else.
std::optional<Relays> ParseStatus(std::string_view line);

// Two lines: relay numbers over on/off, ending with a line feed.
std::string StatusTable(const Relays& relays);
// {"relays":[1,0,0,0,0,0,0,0]} and a line feed.
std::string StatusJson(const Relays& relays);

// Cuts a byte stream into lines. A line ends with LF, CR, or CR LF (one end, even when the two
// bytes arrive apart); the end is not part of the line. A line may be at most `maxLine` bytes.
class LineSplitter {
 public:
  static constexpr std::size_t kDefaultMaxLine = 64 * 1024;
  explicit LineSplitter(std::size_t maxLine = kDefaultMaxLine) : maxLine_(maxLine) {}

  // Appends the complete lines in `bytes` to `lines`; false once a line grows beyond the limit
  // (the splitter is of no further use then).
  bool Feed(std::string_view bytes, std::vector<std::string>& lines);
  // At the end of the stream: the last line if it had no end.
  std::optional<std::string> Finish();

 private:
  std::size_t maxLine_;
  std::string partial_;
  bool afterCR_ = false;
};

}  // namespace vexanet::client
