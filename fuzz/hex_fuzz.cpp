// Fuzz target: the hexadecimal helpers and the UTF-8 decoding beneath S2BS.
//
// Properties checked, against small reference functions written here:
//  - C2B gives the digit's value for 0-9, A-F, a-f and 0 for every other character;
//  - DecodeUtf8 takes well-formed sequences as one character and every malformed byte as a
//    character of its own value; EncodeUtf8 and DecodeUtf8 undo each other;
//  - S2BS converts every complete pair of characters, high digit first, and ignores an unpaired
//    last character;
//  - BS2S gives two upper-case digits per byte for the first n bytes (none for n <= 0, at most
//    as many as there are), and S2BS undoes it, also in lower case.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "base/Hex.h"

namespace hex = vexanet::hex;

namespace {

int32_t RefDigit(char32_t c) {
  static constexpr std::u32string_view kLower = U"0123456789abcdef";
  static constexpr std::u32string_view kUpper = U"0123456789ABCDEF";
  if (auto i = kLower.find(c); i != kLower.npos) return static_cast<int32_t>(i);
  if (auto i = kUpper.find(c); i != kUpper.npos) return static_cast<int32_t>(i);
  return 0;
}

// Lead byte: sequence length and the payload bits it carries; 0 for a byte no sequence starts with.
size_t SequenceLength(unsigned char b) {
  if (b < 0x80) return 1;
  if (b >= 0xC0 && b < 0xE0) return 2;
  if (b >= 0xE0 && b < 0xF0) return 3;
  if (b >= 0xF0 && b < 0xF8) return 4;
  return 0;
}

std::u32string RefDecode(std::string_view text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    const size_t len = SequenceLength(b0);
    bool ok = len > 0 && text.size() - i >= len;
    for (size_t k = 1; ok && k < len; ++k) {
      ok = (static_cast<unsigned char>(text[i + k]) >> 6) == 2;
    }
    if (!ok) {
      out.push_back(b0);
      ++i;
      continue;
    }
    static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t cp = b0 & kLeadMask[len];
    for (size_t k = 1; k < len; ++k)
      cp = cp * 64 + (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.push_back(cp);
    i += len;
  }
  return out;
}

void CheckDigits(const std::u32string& chars) {
  for (const char32_t c : chars) {
    FUZZ_CHECK(hex::C2B(c) == RefDigit(c), "C2B of U+" + std::to_string(c));
  }
}

void CheckS2BS(std::string_view text) {
  const std::u32string chars = RefDecode(text);
  FUZZ_CHECK(hex::DecodeUtf8(text) == chars, "decoding " + fuzz::Show(text));
  CheckDigits(chars);
  const std::vector<uint8_t> bytes = hex::S2BS(text);
  FUZZ_CHECK(bytes.size() == chars.size() / 2, "S2BS size for " + fuzz::Show(text));
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int32_t want = RefDigit(chars[2 * i]) * 16 + RefDigit(chars[2 * i + 1]);
    FUZZ_CHECK(bytes[i] == want, "S2BS byte " + std::to_string(i) + " of " + fuzz::Show(text));
  }
}

void CheckBS2S(std::span<const uint8_t> bytes, int32_t n) {
  const std::string text = hex::BS2S(bytes, n);
  const size_t count = n <= 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), bytes.size());
  FUZZ_CHECK(text.size() == 2 * count,
             "BS2S length " + std::to_string(text.size()) + " for n " + std::to_string(n));
  static constexpr char kUpper[] = "0123456789ABCDEF";
  for (size_t i = 0; i < count; ++i) {
    FUZZ_CHECK(text[2 * i] == kUpper[bytes[i] >> 4] && text[2 * i + 1] == kUpper[bytes[i] & 15],
               "BS2S digits of byte " + std::to_string(i) + ": " + text);
  }
  const std::vector<uint8_t> back = hex::S2BS(text);
  FUZZ_CHECK(std::equal(back.begin(), back.end(), bytes.begin(), bytes.begin() + count) &&
                 back.size() == count,
             "S2BS(BS2S) differs for " + text);
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  FUZZ_CHECK(hex::S2BS(lower) == back, "lower-case digits convert differently: " + lower);
}

void CheckUtf8RoundTrip(char32_t c) {
  const std::string encoded = hex::EncodeUtf8(c);
  FUZZ_CHECK(hex::DecodeUtf8(encoded) == std::u32string(1, c),
             "EncodeUtf8/DecodeUtf8 of U+" + std::to_string(c) + " gives " + fuzz::Show(encoded));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::span<const uint8_t> bytes(data, size);

  CheckS2BS(text);

  fuzz::Input in(data, size);
  CheckBS2S(bytes, static_cast<int32_t>(in.U32()));  // any n, negative and huge included
  CheckBS2S(bytes, static_cast<int32_t>(size));
  CheckBS2S(bytes, static_cast<int32_t>(size / 2));

  // Code points from the input: the whole Unicode range, not only what UTF-8 text carries.
  for (size_t i = 0; i + 3 <= size && i < 48; i += 3) {
    const char32_t c =
        (static_cast<char32_t>(data[i]) << 16 | data[i + 1] << 8 | data[i + 2]) % 0x110000;
    CheckUtf8RoundTrip(c);
    CheckDigits(std::u32string(1, c));
  }
  return 0;
}
