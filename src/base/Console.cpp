#include "base/Console.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "base/ConsoleOutput.h"

namespace vexanet {

namespace {

void AppendEscaped(std::string& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

// The length of the well-formed UTF-8 sequence of two or more bytes at text[i] and its code
// point, or 0 when there is none (a stray continuation byte, an overlong form, a surrogate, a
// value past U+10FFFF or a sequence cut short).
size_t Utf8Sequence(std::string_view text, size_t i, uint32_t* codePoint) {
  const auto lead = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  uint32_t value = 0;
  uint32_t lowest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
    lowest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
    lowest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *codePoint = value;
  return length;
}

}  // namespace

std::string ConsoleSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      out.push_back(static_cast<char>(byte));
      ++i;
      continue;
    }
    uint32_t codePoint = 0;
    const size_t length = byte >= 0x80 ? Utf8Sequence(text, i, &codePoint) : 0;
    if (length > 0 && codePoint >= 0xA0) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    // A C1 control is escaped byte by byte, as are controls and malformed bytes.
    const size_t escaped = length > 0 ? length : 1;
    for (size_t k = 0; k < escaped; ++k) {
      AppendEscaped(out, static_cast<unsigned char>(text[i + k]));
    }
    i += escaped;
  }
  return out;
}

void ConsoleLine(std::string_view text) {
  static std::mutex m;
  std::string line = ConsoleSafe(text);
  line.push_back('\n');
  std::lock_guard lock(m);
  WriteConsoleOutput(line);
}

}  // namespace vexanet
