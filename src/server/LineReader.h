// LineReader: splits a received byte stream into text lines.
//
// A line ends at LF, at CR, or at CR LF; the terminator is not part of the line. A CR that ends
// one piece of input followed by an LF that starts the next is one line end, not two. Bytes are
// kept as they are (no decoding, no trimming). A line longer than the limit is refused instead of
// being collected without bound.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class LineReader {
 public:
  static constexpr size_t kDefaultMaxLine = 64 * 1024;

  explicit LineReader(size_t maxLine = kDefaultMaxLine) : maxLine_(maxLine) {}

  // Feeds the next piece of input and appends every completed line to lines. Returns false when
  // a line grew past the limit; the reader is then unusable (the connection should end).
  bool Feed(std::string_view bytes, std::vector<std::string>& lines);

  // End of input: the text after the last terminator, if any, is a last line.
  std::optional<std::string> Finish();

  size_t maxLine() const { return maxLine_; }

 private:
  size_t maxLine_;
  std::string partial_;
  bool afterCR_ = false;
  bool overflow_ = false;
};
