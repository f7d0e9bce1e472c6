#include "vexanet-client/Replies.h"

#include <utility>

namespace vexanet::client {

namespace {
constexpr std::string_view kStat = "Stat";
}

bool IsStatusLine(std::string_view line) {
  return line.starts_with(kStat);
}

std::optional<Relays> ParseStatus(std::string_view line) {
  if (!IsStatusLine(line) || line.size() != kStat.size() + Relays{}.size()) return std::nullopt;
  Relays relays{};
  for (std::size_t i = 0; i < relays.size(); ++i) {
    const char c = line[kStat.size() + i];
    if (c != '0' && c != '1') return std::nullopt;
    relays[i] = c - '0';
  }
  return relays;
}

std::string StatusTable(const Relays& relays) {
  std::string head = "relay";
  std::string state = "state";
  for (std::size_t i = 0; i < relays.size(); ++i) {
    head += "  " + std::to_string(i + 1) + "  ";
    state += relays[i] != 0 ? "  on " : "  off";
  }
  while (!head.empty() && head.back() == ' ') head.pop_back();
  while (!state.empty() && state.back() == ' ') state.pop_back();
  return head + "\n" + state + "\n";
}

std::string StatusJson(const Relays& relays) {
  std::string json = "{\"relays\":[";
  for (std::size_t i = 0; i < relays.size(); ++i) {
    if (i > 0) json += ',';
    json += relays[i] != 0 ? '1' : '0';
  }
  return json + "]}\n";
}

bool LineSplitter::Feed(std::string_view bytes, std::vector<std::string>& lines) {
  for (const char c : bytes) {
    const bool skipLF = std::exchange(afterCR_, false) && c == '\n';
    if (skipLF) continue;
    if (c == '\n' || c == '\r') {
      afterCR_ = c == '\r';
      lines.push_back(std::exchange(partial_, {}));
      continue;
    }
    if (partial_.size() >= maxLine_) return false;
    partial_ += c;
  }
  return true;
}

std::optional<std::string> LineSplitter::Finish() {
  if (partial_.empty()) return std::nullopt;
  return std::exchange(partial_, {});
}

}  // namespace vexanet::client
