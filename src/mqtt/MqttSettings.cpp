#include "mqtt/MqttSettings.h"

#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

#include "base/Console.h"

namespace vexanet::mqtt {

namespace {

constexpr size_t kMaxSecretBytes = 1024;

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<std::string> Value(const EnvLookup& getenv, const char* name) {
  std::optional<std::string> value = getenv(name);
  if (!value || Trim(*value).empty()) return std::nullopt;
  return std::string(Trim(*value));
}

// host[:port] of a broker address; an IPv6 address in brackets.
bool ParseHostPort(std::string_view text, MqttSettings& s, std::string& problem) {
  std::string_view host = text;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) {
      problem = "an IPv6 address needs its closing ']'";
      return false;
    }
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        problem = "unexpected text after the address";
        return false;
      }
      port = rest.substr(1);
    }
  } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      problem = "write an IPv6 address in brackets ([::1]:1883)";
      return false;
    }
  }
  if (host.empty()) {
    problem = "no host";
    return false;
  }
  for (const char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '.' && c != '-' && c != '_' && c != ':') {
      problem = "the host has a character a host name or address cannot have";
      return false;
    }
  }
  s.host = std::string(host);
  if (!port.empty() || (text.size() > 0 && text.back() == ':')) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (error != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
      problem = "the port must be a number from 1 to 65535";
      return false;
    }
    s.port = static_cast<uint16_t>(value);
  }
  return true;
}

// A topic prefix: UTF-8 without controls (as topics must be), no wildcards, no empty level, no
// trailing '/' (one is taken off).
bool ValidPrefix(std::string& prefix) {
  if (ConsoleSafe(prefix) != prefix) return false;  // escapes exactly controls and bad UTF-8
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  if (prefix.empty() || prefix.front() == '/' || prefix.size() > 200) return false;
  if (prefix.find("//") != std::string::npos) return false;
  for (const char c : prefix) {
    if (c == '+' || c == '#' || c == '\0' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

// The first line of a regular file (a secret: never printed).
std::optional<std::string> FirstLine(const std::string& path, std::string& problem) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error || !fs::exists(status)) {
    problem = "cannot read " + path;
    return std::nullopt;
  }
  // A pipe or a device could block start-up; a password lives in a plain file.
  if (!fs::is_regular_file(status)) {
    problem = path + " is not a regular file";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::string line;
  char c = 0;
  while (in.get(c) && c != '\n' && c != '\r') {
    if (line.size() == kMaxSecretBytes) {
      problem = path + ": the first line is longer than " + std::to_string(kMaxSecretBytes) +
                " bytes";
      return std::nullopt;
    }
    line.push_back(c);
  }
  if (!in && !in.eof()) {
    problem = "cannot read " + path;
    return std::nullopt;
  }
  return line;
}

}  // namespace

std::string NodeName(const std::string& text) {
  std::string node = text;
  for (char& c : node) {
    const auto u = static_cast<unsigned char>(c);
    if (!(std::isalnum(u) && u < 0x80) && c != '_' && c != '-') c = '_';
  }
  return node;
}

std::string MqttSettings::BrokerText() const {
  const bool v6 = host.find(':') != std::string::npos;
  return std::string(tls ? "mqtts://" : "mqtt://") + (v6 ? "[" + host + "]" : host) + ":" +
         std::to_string(port);
}

std::string MqttSettings::ClientId() const {
  constexpr size_t kLongestId = 23;
  const std::string plain = "vexanet-" + node;
  if (plain.size() <= kLongestId) return plain;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char c : node) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string id = "vexanet-";
  for (int i = 0; i < 15; ++i) id.push_back(kDigits[(hash >> (4 * i)) & 0xF]);
  return id;
}

std::optional<MqttSettings> MqttSettings::FromEnvironment(const EnvLookup& getenv,
                                                          const std::string& hostName,
                                                          std::vector<std::string>& problems) {
  const std::optional<std::string> url = Value(getenv, "VEXANET_MQTT");
  if (!url) return std::nullopt;
  const auto fail = [&](const std::string& what) {
    problems.push_back(what + "; running without the MQTT bridge");
    return std::nullopt;
  };
  MqttSettings s;
  std::string_view rest = *url;
  if (rest.rfind("mqtt://", 0) == 0) {
    rest.remove_prefix(7);
  } else if (rest.rfind("mqtts://", 0) == 0) {
    rest.remove_prefix(8);
    s.tls = true;
    s.port = 8883;
  } else {
    return fail("VEXANET_MQTT: \"" + *url + "\" is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find('@') != std::string_view::npos || rest.find('/') != std::string_view::npos) {
    return fail("VEXANET_MQTT: give only HOST[:PORT] (the user and password have settings of "
                "their own)");
  }
  std::string problem;
  if (!ParseHostPort(rest, s, problem)) return fail("VEXANET_MQTT: " + problem);

  if (const auto ca = Value(getenv, "VEXANET_MQTT_CAFILE")) {
    if (!s.tls) return fail("VEXANET_MQTT_CAFILE is for mqtts:// only");
    std::error_code error;
    if (!std::filesystem::is_regular_file(*ca, error)) {
      return fail("VEXANET_MQTT_CAFILE: cannot read " + *ca);
    }
    s.caFile = *ca;
  }
  if (const auto user = Value(getenv, "VEXANET_MQTT_USER")) s.user = *user;
  const std::optional<std::string> password = getenv("VEXANET_MQTT_PASSWORD");
  const auto passwordFile = Value(getenv, "VEXANET_MQTT_PASSWORD_FILE");
  if (password && !password->empty() && passwordFile) {
    return fail("VEXANET_MQTT_PASSWORD and VEXANET_MQTT_PASSWORD_FILE are both set; use one");
  }
  if (passwordFile) {
    s.password = FirstLine(*passwordFile, problem);
    if (!s.password) return fail("VEXANET_MQTT_PASSWORD_FILE: " + problem);
  } else if (password && !password->empty()) {
    s.password = *password;
  }
  if (s.password && s.user.empty()) {
    return fail("VEXANET_MQTT_PASSWORD needs VEXANET_MQTT_USER");
  }

  s.prefix = Value(getenv, "VEXANET_MQTT_PREFIX").value_or("vexanet/" + NodeName(hostName));
  if (!ValidPrefix(s.prefix)) {
    return fail("VEXANET_MQTT_PREFIX: a topic prefix in UTF-8 without '+', '#', control "
                "characters or empty levels");
  }
  s.discovery = Value(getenv, "VEXANET_MQTT_DISCOVERY").value_or("homeassistant");
  if (s.discovery == "off") {
    s.discovery.clear();
  } else if (!ValidPrefix(s.discovery)) {
    return fail("VEXANET_MQTT_DISCOVERY: a topic prefix or off");
  }
  s.node = NodeName(s.prefix);
  return s;
}

}  // namespace vexanet::mqtt
