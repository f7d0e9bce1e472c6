// Where the web panel listens: VEXANET_HTTP=[ADDRESS:]PORT. A port alone means the loopback
// address 127.0.0.1; an IPv6 address is written in brackets ("[::1]:8080").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexanet::web {

struct HttpSetting {
  std::string address = "127.0.0.1";  // an IPv4 or IPv6 address, without brackets
  uint16_t port = 0;                  // 0: any free port (the panel says which)

  // "127.0.0.1:8080", "[::1]:8080".
  std::string Text() const;
  // Only this machine can reach it.
  bool Loopback() const;
};

// The setting's value, or empty with problem set to one line for the console.
std::optional<HttpSetting> ParseHttpSetting(std::string_view text, std::string& problem);

}  // namespace vexanet::web
