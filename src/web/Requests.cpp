#include "web/Requests.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace vexanet::web {
namespace {

using json = nlohmann::json;

// Standard base64 (RFC 4648) with or without padding; empty on anything else.
std::optional<std::string> Base64Decode(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 == 0 && text.ends_with("==")) {
    text.remove_suffix(2);
  } else if (text.size() % 4 == 0 && text.ends_with("=")) {
    text.remove_suffix(1);
  }
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const int v = value(c);
    if (v < 0) return std::nullopt;
    bits = ((bits << 6) | static_cast<uint32_t>(v)) & 0xFFFFFF;
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

json Parse(std::string_view body) {
  return json::parse(body.begin(), body.end(), nullptr, false);
}

}  // namespace

std::optional<bool> ParseOneRelay(std::string_view body) {
  const json j = Parse(body);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  const auto on = j.find("on");
  if (on == j.end() || !on->is_boolean()) return std::nullopt;
  return on->get<bool>();
}

std::optional<std::array<bool, 8>> ParseAllRelays(std::string_view body) {
  const json j = Parse(body);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  const auto list = j.find("relays");
  if (list == j.end() || !list->is_array() || list->size() != 8) return std::nullopt;
  std::array<bool, 8> states{};
  for (size_t i = 0; i < 8; ++i) {
    if (!(*list)[i].is_boolean()) return std::nullopt;
    states[i] = (*list)[i].get<bool>();
  }
  return states;
}

std::optional<std::string> BasicPassword(std::string_view header) {
  constexpr std::string_view kScheme = "basic ";
  if (header.size() < kScheme.size()) return std::nullopt;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(header[i])) != kScheme[i]) return std::nullopt;
  }
  std::string_view encoded = header.substr(kScheme.size());
  while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
  while (!encoded.empty() && encoded.back() == ' ') encoded.remove_suffix(1);
  const std::optional<std::string> decoded = Base64Decode(encoded);
  if (!decoded) return std::nullopt;
  const size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return decoded->substr(colon + 1);
}

}  // namespace vexanet::web
