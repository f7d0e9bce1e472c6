#include "base/Hex.h"

#include <algorithm>

namespace vexanet::hex {

int32_t C2B(char32_t c) noexcept {
  if (c >= U'0' && c <= U'9') return static_cast<int32_t>(c - U'0');
  if (c >= U'A' && c <= U'F') return static_cast<int32_t>(c - U'A' + 10);
  if (c >= U'a' && c <= U'f') return static_cast<int32_t>(c - U'a' + 10);
  return 0;
}

std::u32string DecodeUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    size_t len = 0;
    char32_t cp = 0;
    if (b0 < 0x80) {
      len = 1;
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      len = 2;
      cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3;
      cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4;
      cp = b0 & 0x07;
    }
    bool ok = len > 0 && i + len <= text.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (ok) {
      out.push_back(cp);
      i += len;
    } else {
      out.push_back(b0);
      i += 1;
    }
  }
  return out;
}

std::string EncodeUtf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (c >> 6)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    s.push_back(static_cast<char>(0xE0 | (c >> 12)));
    s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xF0 | (c >> 18)));
    s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return s;
}

std::vector<uint8_t> S2BS(std::string_view text) {
  const std::u32string chars = DecodeUtf8(text);
  std::vector<uint8_t> out(chars.size() / 2, 0);
  for (size_t i = 0; i + 1 < chars.size(); i += 2) {
    out[i / 2] = static_cast<uint8_t>((C2B(chars[i]) * 16 + C2B(chars[i + 1])) & 0xFF);
  }
  return out;
}

std::string BS2S(std::span<const uint8_t> bytes, int32_t n) {
  std::string out;
  if (n <= 0) return out;
  const size_t count = std::min(static_cast<size_t>(n), bytes.size());
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace vexanet::hex
