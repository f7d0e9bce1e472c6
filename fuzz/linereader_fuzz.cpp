// Fuzz target: the session's line reader, fed an arbitrary byte stream in arbitrary pieces.
//
// Input: byte 0 chooses the line limit (0: the default 64 KiB, with a line of about that length
// put in front of the stream; else the limit is that byte's value); byte 1 says how many piece
// sizes follow, cycled through while feeding; the rest is the stream.
//
// The lines must equal what a reference splitter gives on the whole stream at once: LF, CR and
// CR LF end a line, also when CR and LF arrive in different pieces. A line longer than the limit
// makes exactly the piece holding its first excess byte and every later one fail; the lines
// before it are all delivered and nothing after it is.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "server/LineReader.h"

namespace {

struct Reference {
  std::vector<std::string> lines;    // complete lines before any overflow
  std::optional<std::string> last;   // text after the last line end, when there is some
  std::optional<size_t> overflowAt;  // stream offset of the first byte past the limit
};

Reference Split(std::string_view stream, size_t limit) {
  Reference r;
  std::string line;
  for (size_t i = 0; i < stream.size(); ++i) {
    const char c = stream[i];
    if (c == '\n' && i > 0 && stream[i - 1] == '\r') {
      continue;
    }
    if (c == '\r' || c == '\n') {
      r.lines.push_back(line);
      line.clear();
      continue;
    }
    if (line.size() == limit) {
      r.overflowAt = i;
      r.last.reset();
      return r;
    }
    line.push_back(c);
  }
  if (!line.empty()) r.last = line;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t limitByte = in.Byte();
  std::string stream;
  size_t limit = limitByte;
  if (limitByte == 0) {
    limit = LineReader::kDefaultMaxLine;
    const auto around = static_cast<size_t>(in.Range(0, 4));
    stream.assign(limit - 2 + around, 'x');  // 2 under to 2 over the limit, no line end yet
  }
  std::vector<size_t> pieces(static_cast<size_t>(in.Range(1, 8)));
  for (size_t& p : pieces) p = static_cast<size_t>(in.Range(0, 64));  // 0: an empty piece
  if (std::all_of(pieces.begin(), pieces.end(), [](size_t p) { return p == 0; })) pieces[0] = 1;
  stream += in.Rest();

  const Reference ref = Split(stream, limit);

  LineReader reader(limit);
  FUZZ_CHECK(reader.maxLine() == limit, "limit");
  std::vector<std::string> lines;
  size_t offset = 0;
  size_t next = 0;
  bool failed = false;
  while (offset < stream.size()) {
    const size_t n = std::min(pieces[next++ % pieces.size()], stream.size() - offset);
    const bool ok = reader.Feed(std::string_view(stream).substr(offset, n), lines);
    const bool holdsExcess = ref.overflowAt && *ref.overflowAt < offset + n;
    FUZZ_CHECK(ok == !holdsExcess, "Feed of bytes " + std::to_string(offset) + ".." +
                                       std::to_string(offset + n) + " returned " +
                                       (ok ? "true" : "false"));
    failed = failed || !ok;
    offset += n;
  }

  FUZZ_CHECK(lines.size() == ref.lines.size(), "line count " + std::to_string(lines.size()) +
                                                   ", expected " +
                                                   std::to_string(ref.lines.size()));
  for (size_t i = 0; i < lines.size(); ++i) {
    FUZZ_CHECK(lines[i] == ref.lines[i], "line " + std::to_string(i) + " " + fuzz::Show(lines[i]) +
                                             ", expected " + fuzz::Show(ref.lines[i]));
  }
  const std::optional<std::string> last = reader.Finish();
  FUZZ_CHECK(last == ref.last, "last line " + (last ? fuzz::Show(*last) : "none") + ", expected " +
                                   (ref.last ? fuzz::Show(*ref.last) : "none"));
  FUZZ_CHECK(!reader.Finish(), "a second Finish gave a line again");
  if (failed) {
    std::vector<std::string> more;
    FUZZ_CHECK(!reader.Feed("more\n", more) && more.empty(), "reader usable after overflow");
  }
  return 0;
}
