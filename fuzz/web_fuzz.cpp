// Fuzz target: what the web panel reads from requests and from its setting.
//
// Input: byte 0 chooses what the rest is: a switch body for one relay, one for all eight, an
// Authorization header value, or a VEXANET_HTTP value.
//
// Properties checked:
//  - no input crashes or throws;
//  - a body accepted for one relay re-serialises to an accepted body with the same value, and
//    one for eight relays likewise;
//  - a Basic header built from any user name without a colon and the password taken from the
//    input gives back exactly that password;
//  - an accepted VEXANET_HTTP value prints as a value that parses to the same address and port;
//    a refused one always names the setting.
#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "web/HttpSetting.h"
#include "web/Requests.h"

namespace {

std::string Base64(std::string_view text) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= text.size(); i += 3) {
    const uint32_t v = (uint8_t(text[i]) << 16) | (uint8_t(text[i + 1]) << 8) | uint8_t(text[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += kDigits[(v >> shift) & 63];
  }
  const size_t rest = text.size() - i;
  if (rest > 0) {
    uint32_t v = uint8_t(text[i]) << 16;
    if (rest == 2) v |= uint8_t(text[i + 1]) << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += rest == 2 ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  using vexanet::web::BasicPassword;
  using vexanet::web::ParseAllRelays;
  using vexanet::web::ParseHttpSetting;
  using vexanet::web::ParseOneRelay;
  switch (data[0] % 4) {
    case 0:
      if (const std::optional<bool> on = ParseOneRelay(rest)) {
        const std::string again = nlohmann::json{{"on", *on}}.dump();
        FUZZ_CHECK(ParseOneRelay(again) == on, again);
      }
      break;
    case 1:
      if (const auto all = ParseAllRelays(rest)) {
        const std::string again = nlohmann::json{{"relays", *all}}.dump();
        FUZZ_CHECK(ParseAllRelays(again) == all, again);
      }
      break;
    case 2: {
      (void)BasicPassword(rest);
      const std::string header = "Basic " + Base64("user:" + std::string(rest));
      FUZZ_CHECK(BasicPassword(header) == std::string(rest), header);
      break;
    }
    default: {
      std::string problem;
      if (const auto setting = ParseHttpSetting(rest, problem)) {
        std::string again;
        const auto reparsed = ParseHttpSetting(setting->Text(), again);
        FUZZ_CHECK(reparsed && reparsed->address == setting->address &&
                       reparsed->port == setting->port,
                   setting->Text());
      } else {
        FUZZ_CHECK(problem.rfind("VEXANET_HTTP: ", 0) == 0, problem);
      }
      break;
    }
  }
  return 0;
}
