#include "base/Hex.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using vexanet::hex::BS2S;
using vexanet::hex::C2B;
using vexanet::hex::S2BS;

TEST(Hex, DigitValues) {
  EXPECT_EQ(C2B(U'0'), 0);
  EXPECT_EQ(C2B(U'9'), 9);
  EXPECT_EQ(C2B(U'A'), 10);
  EXPECT_EQ(C2B(U'F'), 15);
  EXPECT_EQ(C2B(U'a'), 10);
  EXPECT_EQ(C2B(U'f'), 15);
  for (char32_t c : {U'G', U'g', U' ', U'/', U':', U'@', U'`', U'\0', char32_t{0xFF10}}) {
    EXPECT_EQ(C2B(c), 0) << static_cast<uint32_t>(c);
  }
}

struct S2BSCase {
  std::string text;
  std::vector<uint8_t> bytes;
};

// "\"1A2b\" -> 1A 2B"
void PrintTo(const S2BSCase& c, std::ostream* os) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  *os << '"';
  for (const char ch : c.text) {
    const auto u = static_cast<unsigned char>(ch);
    if (u >= 0x20 && u < 0x7F) {
      *os << ch;
    } else {
      *os << "\\x" << kDigits[u >> 4] << kDigits[u & 15];
    }
  }
  *os << "\" ->";
  for (const uint8_t b : c.bytes) *os << ' ' << kDigits[b >> 4] << kDigits[b & 15];
  if (c.bytes.empty()) *os << " nothing";
}

class S2BSTable : public ::testing::TestWithParam<S2BSCase> {};

TEST_P(S2BSTable, ConvertsPairs) {
  EXPECT_EQ(S2BS(GetParam().text), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, S2BSTable,
    ::testing::Values(S2BSCase{"1A2b", {0x1A, 0x2B}}, S2BSCase{"", {}}, S2BSCase{"zz", {0x00}},
                      S2BSCase{"0F", {0x0F}}, S2BSCase{"0 ", {0x00}},
                      // an unpaired last character is ignored
                      S2BSCase{"ABC", {0xAB}}, S2BSCase{"7", {}},
                      // a non-ASCII character is one character, not its UTF-8 bytes
                      S2BSCase{"\xC3\xA9"
                               "1",
                               {0x01}},
                      // malformed UTF-8 bytes count one character each
                      S2BSCase{"\xFF"
                               "F",
                               {0x0F}}));

TEST(Hex, S2BSConvertsEveryPairOfLongTexts) {
  // Every pair is converted, also past the 15th byte: the raw command field sends exactly what
  // the operator typed, never zero bytes in place of digits.
  std::string text;
  std::vector<uint8_t> expected;
  for (int i = 0; i < 20; ++i) {
    text += BS2S(std::vector<uint8_t>{static_cast<uint8_t>(0x10 + i)}, 1);
    expected.push_back(static_cast<uint8_t>(0x10 + i));
  }
  ASSERT_EQ(text.size(), 40u);
  EXPECT_EQ(S2BS(text), expected);
}

TEST(Hex, BS2S) {
  const std::vector<uint8_t> b{0x0A, 0xFF};
  EXPECT_EQ(BS2S(b, 2), "0AFF");
  EXPECT_EQ(BS2S(b, 1), "0A");
  EXPECT_EQ(BS2S(b, 0), "");
  EXPECT_EQ(BS2S(b, -3), "");
  EXPECT_EQ(BS2S(b, 9), "0AFF");  // never reads past the bytes given
}

TEST(Hex, RoundTripOfEveryByte) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  const std::string text = BS2S(all, 256);
  EXPECT_EQ(text.size(), 512u);
  EXPECT_EQ(S2BS(text), all);
}
