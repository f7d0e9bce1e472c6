// Helpers shared by the fuzz targets: a reader that takes typed values from the fuzzer's bytes
// (running out of bytes yields zeros, never an error) and a check that aborts with a message, so
// both libFuzzer and the corpus replay report a broken property as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* what,
                              const std::string& why) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n  %s\n", file, line, what, why.c_str());
  std::fflush(stderr);
  std::abort();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t left() const { return size_ - pos_; }

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool Bool() { return (Byte() & 1) != 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }

  // A value from lo to hi inclusive (lo when the bytes have run out).
  int64_t Range(int64_t lo, int64_t hi) {
    const auto span = static_cast<uint64_t>(hi - lo) + 1;
    const uint64_t raw = span <= 0x100 ? Byte() : span <= 0x10000 ? U16() : U32();
    return lo + static_cast<int64_t>(raw % span);
  }

  // Up to n bytes (fewer when the input ends).
  std::string_view Bytes(size_t n) {
    const size_t take = n < left() ? n : left();
    std::string_view out(reinterpret_cast<const char*>(data_ + pos_), take);
    pos_ += take;
    return out;
  }

  std::string_view Rest() { return Bytes(left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Printable form of bytes for failure messages.
inline std::string Show(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && u != '"' && u != '\\') {
      out.push_back(c);
    } else {
      out += "\\x";
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0x0F]);
    }
  }
  return out + "\"";
}

}  // namespace fuzz

// Aborts with the condition's text and an explanation when the condition does not hold.
#define FUZZ_CHECK(cond, why)                                    \
  do {                                                           \
    if (!(cond)) ::fuzz::Fail(__FILE__, __LINE__, #cond, (why)); \
  } while (false)
