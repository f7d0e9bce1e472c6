// Hexadecimal helpers shared by the configuration tool, the serial trace and the window's raw
// command field. The main class Vexa exposes them under their short names.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexanet::hex {

// The sixteen hexadecimal digit characters in ascending order, upper case.
inline constexpr std::array<char, 16> kDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                 '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

// Value of one hexadecimal digit: '0'-'9', 'A'-'F', 'a'-'f'; every other character gives 0.
int32_t C2B(char32_t c) noexcept;

// Hexadecimal text to bytes, two characters per byte, high digit first. Every complete pair is
// converted; an unpaired last character is ignored. The text is taken as UTF-8 and split into
// characters first, so a non-ASCII character counts as one (non-digit) character.
std::vector<uint8_t> S2BS(std::string_view text);

// The first n bytes as upper-case hexadecimal text, no separators. n <= 0 gives "".
// n is clamped to the number of bytes given.
std::string BS2S(std::span<const uint8_t> bytes, int32_t n);

// UTF-8 decoding used by S2BS: every malformed byte becomes one character of its own value.
std::u32string DecodeUtf8(std::string_view text);
// UTF-8 encoding of one character (used for the port name character of the configuration).
std::string EncodeUtf8(char32_t c);

}  // namespace vexanet::hex
