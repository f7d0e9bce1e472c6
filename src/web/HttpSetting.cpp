#include "web/HttpSetting.h"

#include <asio/ip/address.hpp>
#include <charconv>
#include <system_error>

namespace vexanet::web {
namespace {

std::optional<uint16_t> ParsePort(std::string_view text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace

std::string HttpSetting::Text() const {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

bool HttpSetting::Loopback() const {
  std::error_code ec;
  const asio::ip::address a = asio::ip::make_address(address, ec);
  if (ec) return false;
  if (a.is_v6() && a.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).is_loopback();
  }
  return a.is_loopback();
}

std::optional<HttpSetting> ParseHttpSetting(std::string_view text, std::string& problem) {
  const std::string quoted = "\"" + std::string(text) + "\"";
  if (text.empty()) {
    problem = "VEXANET_HTTP: empty; expected [ADDRESS:]PORT";
    return std::nullopt;
  }
  HttpSetting setting;
  std::string_view portText = text;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      problem = "VEXANET_HTTP: " + quoted + " is not [IPV6-ADDRESS]:PORT";
      return std::nullopt;
    }
    setting.address = std::string(text.substr(1, close - 1));
    portText = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    setting.address = std::string(text.substr(0, colon));
    portText = text.substr(colon + 1);
  }
  std::error_code ec;
  const asio::ip::address address = asio::ip::make_address(setting.address, ec);
  if (ec || (text.front() == '[') != address.is_v6()) {
    problem = "VEXANET_HTTP: " + quoted + ": \"" + setting.address + "\" is not an IP address";
    return std::nullopt;
  }
  setting.address = address.to_string();
  const std::optional<uint16_t> port = ParsePort(portText);
  if (!port) {
    problem = "VEXANET_HTTP: " + quoted + ": \"" + std::string(portText) +
              "\" is not a port number (0 to 65535)";
    return std::nullopt;
  }
  setting.port = *port;
  return setting;
}

}  // namespace vexanet::web
