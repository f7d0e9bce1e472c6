#include "server/LineReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Split {
  std::vector<std::string> lines;
  std::optional<std::string> last;
  bool ok = true;
};

Split SplitPieces(const std::string& input, size_t piece,
                  size_t maxLine = LineReader::kDefaultMaxLine) {
  LineReader reader(maxLine);
  Split s;
  for (size_t i = 0; i < input.size() && s.ok; i += piece) {
    s.ok = reader.Feed(std::string_view(input).substr(i, piece), s.lines);
  }
  if (s.ok) s.last = reader.Finish();
  return s;
}

}  // namespace

// Every input must split the same way whatever pieces it arrives in.
class LineReaderPieces : public ::testing::TestWithParam<size_t> {};

TEST_P(LineReaderPieces, TerminatorsAndLastLine) {
  const size_t piece = GetParam();
  auto s = SplitPieces("R1On\r\nGet\nPWDx\rKILL", piece);
  EXPECT_EQ(s.lines, (std::vector<std::string>{"R1On", "Get", "PWDx"}));
  EXPECT_EQ(s.last, "KILL");

  // CR LF is one line end even when split across pieces; CR CR is an empty line between.
  s = SplitPieces("a\r\nb\r\r\nc\n\n", piece);
  EXPECT_EQ(s.lines, (std::vector<std::string>{"a", "b", "", "c", ""}));
  EXPECT_FALSE(s.last);

  // LF CR is two line ends.
  s = SplitPieces("a\n\rb\n", piece);
  EXPECT_EQ(s.lines, (std::vector<std::string>{"a", "", "b"}));

  // Bytes are kept as they are: NUL, invalid UTF-8, blanks.
  s = SplitPieces(std::string("x\0y \xFF\xC3\n", 7), piece);
  ASSERT_EQ(s.lines.size(), 1u);
  EXPECT_EQ(s.lines[0], std::string("x\0y \xFF\xC3", 6));
}

TEST_P(LineReaderPieces, RefusesLinesPastTheLimit) {
  const size_t piece = GetParam();
  EXPECT_TRUE(SplitPieces(std::string(16, 'a') + "\n", piece, 16).ok);
  EXPECT_FALSE(SplitPieces(std::string(17, 'a') + "\n", piece, 16).ok);
  // Many short lines are fine however long the stream.
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "0123456789\n";
  auto s = SplitPieces(many, piece, 16);
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.lines.size(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(PieceSizes, LineReaderPieces, ::testing::Values(1, 2, 3, 10, 4096));

TEST(LineReader, EmptyStreamHasNoLastLine) {
  LineReader reader;
  EXPECT_FALSE(reader.Finish());
}

TEST(LineReader, UnusableAfterOverflow) {
  LineReader reader(4);
  std::vector<std::string> lines;
  EXPECT_FALSE(reader.Feed("abcdef", lines));
  EXPECT_FALSE(reader.Feed("\nok\n", lines));
  EXPECT_TRUE(lines.empty());
  EXPECT_FALSE(reader.Finish());
}
