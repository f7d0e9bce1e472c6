// What a console line makes of text from outside: terminal controls escaped, text kept.
#include "base/Console.h"

#include <gtest/gtest.h>

#include <string>

using vexanet::ConsoleSafe;

TEST(ConsoleSafe, PrintableAsciiAndUtf8TextStayAsTheyAre) {
  const std::string ascii = "Status: Client Command: R1On ~!\\\"#{}";
  EXPECT_EQ(ConsoleSafe(ascii), ascii);
  // Two-, three- and four-byte sequences, the no-break space just past the C1 controls among them.
  const std::string utf8 =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0|";
  EXPECT_EQ(ConsoleSafe(utf8), utf8);
  EXPECT_EQ(ConsoleSafe(""), "");
}

TEST(ConsoleSafe, TerminalControlsAreEscaped) {
  EXPECT_EQ(ConsoleSafe("\x1b]0;owned\x07"), "\\x1b]0;owned\\x07");
  EXPECT_EQ(ConsoleSafe("\x1b[2J"), "\\x1b[2J");
  EXPECT_EQ(ConsoleSafe(std::string("a\0b", 3)), "a\\x00b");
  EXPECT_EQ(ConsoleSafe("one\r\ntwo\tthree\x7f"), "one\\x0d\\x0atwo\\x09three\\x7f");
  EXPECT_EQ(ConsoleSafe("\x1f\x20"), "\\x1f ");
  // C1 controls in their UTF-8 form (U+009B is a one-character CSI on some terminals).
  EXPECT_EQ(ConsoleSafe("\xC2\x9B"
                        "2J \xC2\x80"),
            "\\xc2\\x9b2J \\xc2\\x80");
}

TEST(ConsoleSafe, MalformedUtf8IsEscapedByteByByte) {
  EXPECT_EQ(ConsoleSafe("\xFF\xFE"), "\\xff\\xfe");
  EXPECT_EQ(ConsoleSafe("x\x80y"), "x\\x80y");                         // stray continuation byte
  EXPECT_EQ(ConsoleSafe("\xC0\xAF"), "\\xc0\\xaf");                    // overlong '/'
  EXPECT_EQ(ConsoleSafe("\xE0\x80\xAF"), "\\xe0\\x80\\xaf");           // overlong, three bytes
  EXPECT_EQ(ConsoleSafe("\xED\xA0\x80"), "\\xed\\xa0\\x80");           // surrogate
  EXPECT_EQ(ConsoleSafe("\xF4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // past U+10FFFF
  // Cut short, at the end and before an ASCII byte: the following text is kept.
  EXPECT_EQ(ConsoleSafe("ab\xE2\x82"), "ab\\xe2\\x82");
  EXPECT_EQ(ConsoleSafe("\xE2\x82Z\xC3\xA9"), "\\xe2\\x82Z\xC3\xA9");
}
