// What the panel reads from a request besides the HTTP itself: the JSON bodies of the switch
// calls and the password of Basic authentication. Each takes any bytes and answers empty for
// anything but the expected form.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace vexanet::web {

// {"on": true|false}; other members are ignored.
std::optional<bool> ParseOneRelay(std::string_view body);
// {"relays": [eight booleans]}; other members are ignored.
std::optional<std::array<bool, 8>> ParseAllRelays(std::string_view body);
// The password of an "Authorization: Basic BASE64(user:password)" header value, whatever the
// user name.
std::optional<std::string> BasicPassword(std::string_view header);

}  // namespace vexanet::web
