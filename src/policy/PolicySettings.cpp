#include "policy/PolicySettings.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "access/AccessPolicy.h"

namespace vexanet::policy {
namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A relay number 1..8 as its index 0..7.
std::optional<int32_t> RelayIndex(std::string_view text) {
  text = Trim(text);
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 1 ||
      value > 8)
    return std::nullopt;
  return value - 1;
}

std::string Quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

}  // namespace

bool PolicySettings::Any() const {
  return restore || std::any_of(offOnClose.begin(), offOnClose.end(), [](bool b) { return b; }) ||
         std::any_of(maxOn.begin(), maxOn.end(), [](const auto& d) { return d.has_value(); }) ||
         !interlocks.empty();
}

std::string PolicySettings::Describe() const {
  std::vector<std::string> parts;
  if (restore) parts.push_back("start state restore");
  std::string close;
  for (size_t i = 0; i < offOnClose.size(); ++i) {
    if (offOnClose[i]) close += (close.empty() ? "" : ",") + std::to_string(i + 1);
  }
  if (!close.empty()) parts.push_back("off on close " + close);
  std::string max;
  for (size_t i = 0; i < maxOn.size(); ++i) {
    if (maxOn[i]) {
      max += (max.empty() ? "" : ", ") + std::to_string(i + 1) + ":" +
             access::DurationText(*maxOn[i]);
    }
  }
  if (!max.empty()) parts.push_back("max on " + max);
  for (const auto& group : interlocks) {
    std::string text;
    for (const int32_t r : group) text += (text.empty() ? "" : "+") + std::to_string(r + 1);
    parts.push_back("interlock " + text);
  }
  if (parts.empty()) return "none";
  std::string line;
  for (const std::string& p : parts) line += (line.empty() ? "" : "; ") + p;
  return line;
}

PolicySettings PolicySettings::FromEnvironment(const EnvLookup& getenv,
                                               std::vector<std::string>& errors) {
  PolicySettings s;
  auto value = [&](const char* name) -> std::optional<std::string> {
    std::optional<std::string> v = getenv(name);
    if (v && Trim(*v).empty()) return std::nullopt;
    return v;
  };

  if (const auto v = value("VEXANET_START_STATE")) {
    const std::string_view t = Trim(*v);
    if (t == "restore") {
      s.restore = true;
    } else if (t != "off") {
      errors.push_back("VEXANET_START_STATE: " + Quoted(*v) + " is neither off nor restore");
    }
  }

  if (const auto v = value("VEXANET_OFF_ON_CLOSE")) {
    if (Trim(*v) == "all") {
      s.offOnClose.fill(true);
    } else {
      for (const std::string_view part : Split(*v, ',')) {
        const auto relay = RelayIndex(part);
        if (!relay) {
          errors.push_back("VEXANET_OFF_ON_CLOSE: " + Quoted(part) +
                           " is not a relay number 1 to 8 (write 1,3,8 or all)");
          s.offOnClose.fill(false);
          break;
        }
        s.offOnClose[static_cast<size_t>(*relay)] = true;
      }
    }
  }

  if (const auto v = value("VEXANET_MAX_ON")) {
    for (const std::string_view part : Split(*v, ',')) {
      const size_t colon = part.find(':');
      const auto relay = colon == std::string_view::npos ? std::nullopt
                                                          : RelayIndex(part.substr(0, colon));
      std::string reason;
      const auto duration = colon == std::string_view::npos
                                ? std::nullopt
                                : access::ParseDuration(part.substr(colon + 1), reason);
      if (!relay || !duration || duration->count() <= 0) {
        errors.push_back("VEXANET_MAX_ON: " + Quoted(part) +
                         " is not RELAY:DURATION (relay 1 to 8, a duration above 0 such as "
                         "500ms, 10s or 2m)");
        s.maxOn.fill(std::nullopt);
        break;
      }
      if (s.maxOn[static_cast<size_t>(*relay)]) {
        errors.push_back("VEXANET_MAX_ON: relay " + std::to_string(*relay + 1) +
                         " is given twice");
        s.maxOn.fill(std::nullopt);
        break;
      }
      s.maxOn[static_cast<size_t>(*relay)] = *duration;
    }
  }

  if (const auto v = value("VEXANET_INTERLOCK")) {
    std::array<bool, 8> used{};
    for (const std::string_view part : Split(*v, ',')) {
      std::vector<int32_t> group;
      bool ok = true;
      for (const std::string_view member : Split(part, '+')) {
        const auto relay = RelayIndex(member);
        if (!relay || used[static_cast<size_t>(*relay)]) {
          ok = false;
          break;
        }
        used[static_cast<size_t>(*relay)] = true;
        group.push_back(*relay);
      }
      if (!ok || group.size() < 2) {
        errors.push_back("VEXANET_INTERLOCK: " + Quoted(part) +
                         " is not a group of two or more relays written like 1+2, each relay in "
                         "one group only");
        s.interlocks.clear();
        break;
      }
      s.interlocks.push_back(std::move(group));
    }
  }
  return s;
}

}  // namespace vexanet::policy
