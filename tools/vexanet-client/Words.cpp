#include "vexanet-client/Words.h"

#include <algorithm>
#include <sstream>

namespace vexanet::client {

namespace {

constexpr int kRelays = 8;

bool IsNumber(std::string_view word) {
  return !word.empty() &&
         std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsFriendly(std::string_view word) {
  return word == "on" || word == "off" || word == "toggle" || word == "status" || word == "all-off";
}

Step Send(std::string line) {
  Step s;
  s.expect = ExpectFor(line);
  s.line = std::move(line);
  return s;
}

}  // namespace

std::string RelayWord(int relay, bool on) {
  return "R" + std::to_string(relay) + (on ? "On" : "Off");
}

Expect ExpectFor(std::string_view line) {
  if (line == "Get") return Expect::kStatus;
  if (line.size() >= 4 && line[0] == 'R' && line[1] >= '1' && line[1] <= '8') {
    const std::string_view rest = line.substr(2);
    if (rest == "On" || rest == "Off") return Expect::kStatus;
  }
  if (line == "Close" || line == "KILL") return Expect::kEnd;
  if (line.starts_with("PWD")) return Expect::kPassword;
  if (line.starts_with("TO=")) return Expect::kNothing;
  return Expect::kBriefly;
}

Expansion ExpandWords(const std::vector<std::string>& words) {
  Expansion e;
  auto fail = [&e](std::string why) {
    e.steps.clear();
    e.error = std::move(why);
    return e;
  };
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "on" || w == "off" || w == "toggle") {
      std::size_t j = i + 1;
      for (; j < words.size() && IsNumber(words[j]); ++j) {
        const std::string& n = words[j];
        if (n.size() > 1 || n[0] < '1' || n[0] > '0' + kRelays)
          return fail("relay numbers are 1 to 8, not " + n);
        const int relay = n[0] - '0';
        if (w == "toggle") {
          Step s;
          s.kind = Step::Kind::kToggle;
          s.relay = relay;
          e.steps.push_back(s);
        } else {
          e.steps.push_back(Send(RelayWord(relay, w == "on")));
        }
      }
      if (j == i + 1) return fail("'" + w + "' needs relay numbers 1 to 8, e.g. " + w + " 1 3");
      i = j - 1;
    } else if (w == "status") {
      Step s;
      s.kind = Step::Kind::kShowStatus;
      e.steps.push_back(s);
    } else if (w == "all-off") {
      for (int relay = 1; relay <= kRelays; ++relay)
        e.steps.push_back(Send(RelayWord(relay, false)));
    } else if (w.empty()) {
      return fail("an empty word would end the session; use Close");
    } else if (w.find_first_of("\r\n") != std::string::npos) {
      return fail("a word cannot hold a line break");
    } else {
      e.steps.push_back(Send(w));
      if (e.steps.back().expect == Expect::kEnd && i + 1 < words.size())
        return fail("'" + w + "' ends the session: no word may follow it");
    }
  }
  return e;
}

Expansion ExpandTyped(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return {};
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  if (!words.empty() && IsFriendly(words.front())) return ExpandWords(words);
  if (line.find_first_of("\r\n") != std::string::npos)
    return {{}, "a line cannot hold a line break"};
  return {{Send(std::move(line))}, {}};
}

}  // namespace vexanet::client
