// Fuzz target: the serial pattern watcher (SerLooker) against arbitrary received bytes and
// patterns, on a fake port that delivers the fuzzer's bytes.
//
// The watcher's search is not a full substring search: it runs two trackers per pattern (the
// second starts one byte after the first while the first is under way), so some overlapping
// occurrences are missed by design. The reference here is therefore a direct model of those two
// trackers, and the watcher must agree with it exactly: result, pattern sighted, bytes taken from
// the port, receive count and saved bytes. Independently of the model, a reported match must
// really end at the last byte taken (no false positive), the bytes to send must reach the port
// unchanged, and the port's receive timeout must be back at its earlier value after every wait,
// however it ended.
//
// Input layout (every value is taken modulo its range, so any bytes are valid):
//   flags: bit 0 folds patterns and data into the letters a, b, c (so matches are frequent),
//          bit 1 setSaveReset, bits 2..7 the save buffer size given to the constructor (0: none)
//   count of waits (1..4), then per wait:
//     control: bits 0-1 patterns (1..4), bits 2-3 how the bytes arrive (below), bit 4 the list
//              form of waitFor, bit 5 text instead of bytes, bit 6 the save buffer is replaced
//              first (size in the next byte), bits 6-7 with a next byte of 0x5A: port not open
//     the bytes to send (length byte, bytes), the patterns (length byte, bytes; 0xFF: empty,
//     0xFE: a list element that is no pattern), the received bytes (length byte * 2 + bit,
//     bytes), the piece size (bit 7: the port overstates its count) and the receive timeout.
//   Arrival: 0 in pieces, the wait ended by a port error when they run out; 1 all in one look
//   with a timeout of 0; 2 in pieces, the wait ended by abort() when they run out (last wait
//   only, as abort stays set); 3 as 1.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "FuzzSupport.h"
#include "SerialKit/SerLooker.h"
#include "SerialKit/SerialPort.h"

namespace {

using Bytes = std::vector<uint8_t>;
using SerialKit::LookItem;
using SerialKit::SerialIOException;
using SerialKit::SerLooker;

// The end of the delivered bytes in arrival modes 0 and 2.
struct OutOfData {};

class FakePort : public SerialKit::SerialPort {
 public:
  // --- what a wait will see -------------------------------------------------------------
  std::deque<Bytes> pieces;  // delivered one per look at the port
  int32_t overstate = 0;     // rxReadyCount promises this many more than the piece holds
  int mode = 0;
  SerLooker* looker = nullptr;
  bool open = true;

  // --- what the wait did ----------------------------------------------------------------
  Bytes sent;
  Bytes taken;
  int32_t timeoutRx = 1234;
  bool lookedWithTimeout = false;  // rxReadyCount called while the receive timeout was not 0

  void setConfig(std::shared_ptr<SerialKit::SerialConfig>) override {}
  std::shared_ptr<SerialKit::SerialConfig> getConfig() override { return nullptr; }
  void configure(const SerialKit::SerialConfig&) override {}
  void close() override { open = false; }

  void putByte(uint8_t b) override { sent.push_back(b); }
  void putString(const std::string& text) override {
    sent.insert(sent.end(), text.begin(), text.end());
  }
  void putData(std::span<const uint8_t> data) override {
    sent.insert(sent.end(), data.begin(), data.end());
  }
  void putData(std::span<const uint8_t> data, int32_t count) override { putData(data, 0, count); }
  void putData(std::span<const uint8_t> data, int32_t offset, int32_t count) override {
    FUZZ_CHECK(offset >= 0 && count >= 0 && static_cast<size_t>(offset) + count <= data.size(),
               "putData outside its array");
    sent.insert(sent.end(), data.begin() + offset, data.begin() + offset + count);
  }

  int32_t getByte() override {
    if (current_.empty()) return -1;
    const uint8_t b = current_.front();
    current_.pop_front();
    taken.push_back(b);
    return b;
  }
  int32_t getData(std::span<uint8_t>) override { return 0; }
  int32_t getData(std::span<uint8_t>, int32_t, int32_t) override { return 0; }

  int32_t rxFlush() override { return 0; }
  int32_t txFlush() override { return 0; }
  int32_t txDrain() override { return 0; }
  int32_t rxReadyCount() override {
    if (timeoutRx != 0) lookedWithTimeout = true;
    if (current_.empty()) {
      if (pieces.empty()) {
        if (mode == 0) throw OutOfData{};
        if (mode == 2 && looker != nullptr) looker->abort();
        return 0;
      }
      current_.assign(pieces.front().begin(), pieces.front().end());
      pieces.pop_front();
    }
    return static_cast<int32_t>(current_.size()) + overstate;
  }
  int32_t txBufCount() override { return 0; }
  bool rxOverflow() override { return false; }

  bool sigDSR() override { return false; }
  bool sigCTS() override { return false; }
  bool sigCD() override { return false; }
  bool sigFrameErr() override { return false; }
  bool sigOverrun() override { return false; }
  bool sigParityErr() override { return false; }
  bool sigRing() override { return false; }
  bool sigBreak() override { return false; }
  void setDTR(bool) override {}
  void setRTS(bool) override {}
  void sendBreak(int32_t) override {}

  int32_t getTimeoutRx() override { return timeoutRx; }
  int32_t getTimeoutTx() override { return 0; }
  void setTimeoutRx(int32_t ms) override { timeoutRx = ms; }
  void setTimeoutTx(int32_t) override {}

  int32_t getLibVer() override { return 0; }
  int32_t getPortNum() override { return open ? 0 : -1; }
  void setName(const std::string&) override {}
  std::string getName() override { return "fuzz"; }

  // Bytes delivered but not taken when the wait ended.
  void DropRest() { current_.clear(); }

 private:
  std::deque<uint8_t> current_;
};

// The watcher's state as the two-tracker description defines it.
struct Model {
  struct Pattern {
    Bytes data;
    int32_t ndx1 = 0;
    int32_t ndx2 = 0;
  };
  std::vector<Pattern> patterns;
  bool saveData = false;
  Bytes saveBuf;
  int32_t ringIndex = 0;
  int32_t rcvCount = 0;
  std::optional<Bytes> sighted;

  // isDataMatch: true when the byte completes a pattern.
  bool Feed(uint8_t b) {
    if (saveData && !saveBuf.empty()) {
      if (static_cast<size_t>(ringIndex) >= saveBuf.size()) ringIndex = 0;
      saveBuf[static_cast<size_t>(ringIndex)] = b;
      ringIndex = (ringIndex + 1) % static_cast<int32_t>(saveBuf.size());
    }
    for (Pattern& p : patterns) {
      const auto len = static_cast<int32_t>(p.data.size());
      if (p.ndx1 > 0 || p.ndx2 > 0) {
        if (p.data[static_cast<size_t>(p.ndx2)] == b) {
          if (++p.ndx2 == len) return Sighted(p);
        } else {
          p.ndx2 = 0;
        }
      }
      if (p.data[static_cast<size_t>(p.ndx1)] == b) {
        if (++p.ndx1 == len) return Sighted(p);
      } else {
        p.ndx1 = 0;
      }
    }
    return false;
  }

  bool Sighted(const Pattern& p) {
    sighted = p.data;
    return true;
  }

  Bytes Saved() const {
    const size_t m = saveBuf.size();
    if (static_cast<size_t>(rcvCount) <= m)
      return Bytes(saveBuf.begin(), saveBuf.begin() + rcvCount);
    Bytes out(saveBuf.begin() + ringIndex % static_cast<int32_t>(m), saveBuf.end());
    out.insert(out.end(), saveBuf.begin(), saveBuf.begin() + ringIndex % static_cast<int32_t>(m));
    return out;
  }
};

enum class Outcome { Match, NoMatch, PortError, Refused };

const char* Name(Outcome o) {
  switch (o) {
    case Outcome::Match:
      return "match";
    case Outcome::NoMatch:
      return "no match";
    case Outcome::PortError:
      return "port error";
    case Outcome::Refused:
      return "refused";
  }
  return "?";
}

Bytes TakeBytes(fuzz::Input& in, size_t n, bool fold) {
  const std::string_view raw = in.Bytes(n);
  Bytes out(raw.begin(), raw.end());
  if (fold) {
    for (uint8_t& b : out) b = static_cast<uint8_t>('a' + b % 3);
  }
  return out;
}

// True when pattern ends exactly at the end of received.
bool EndsWith(const Bytes& received, const Bytes& pattern) {
  return pattern.size() <= received.size() &&
         std::equal(pattern.begin(), pattern.end(),
                    received.end() - static_cast<std::ptrdiff_t>(pattern.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t flags = in.Byte();
  const bool fold = (flags & 1) != 0;
  const bool saveReset = (flags & 2) != 0;
  const int32_t saveSize = flags >> 2;
  const int waits = static_cast<int>(in.Range(1, 4));

  auto port = std::make_shared<FakePort>();
  SerLooker looker(port, saveSize);
  looker.setNapTime(0);
  looker.setSaveReset(saveReset);
  port->looker = &looker;

  Model model;
  if (saveSize > 0) {
    model.saveBuf.assign(static_cast<size_t>(saveSize), 0);
    model.saveData = true;
  }

  for (int w = 0; w < waits; ++w) {
    const uint8_t control = in.Byte();
    const int patternCount = 1 + (control & 3);
    int mode = (control >> 2) & 3;
    if (mode == 3) mode = 1;
    if (mode == 2 && w + 1 < waits) mode = 0;  // abort() stays set: only the last wait uses it
    const bool asList = (control & 0x10) != 0 || patternCount > 1;
    const bool asText = (control & 0x20) != 0;
    const bool replaceSave = (control & 0x40) != 0;
    const bool portClosed = (control & 0xC0) == 0xC0 && in.Byte() == 0x5A;  // now and then

    if (replaceSave) {
      const auto n = static_cast<int32_t>(in.Range(-1, 40));
      try {
        looker.setSaveData(n);
        FUZZ_CHECK(n >= 0, "negative save size accepted");
        if (n == 0) {
          model.saveData = false;
        } else {
          model.saveBuf.assign(static_cast<size_t>(n), 0);
          model.saveData = true;
        }
      } catch (const std::invalid_argument&) {
        FUZZ_CHECK(n < 0, "save size " + std::to_string(n) + " refused");
      }
    }

    const Bytes send = TakeBytes(in, in.Range(0, 8), false);
    std::vector<LookItem> items;
    bool refused = false;
    for (int p = 0; p < patternCount; ++p) {
      const uint8_t lenByte = in.Byte();
      Bytes pattern = lenByte == 0xFF ? Bytes{} : TakeBytes(in, 1 + lenByte % 8, fold);
      if (pattern.empty()) refused = true;  // an empty pattern cannot be looked for
      if (lenByte == 0xFE && asList) {
        items.emplace_back(int64_t{7});  // neither text nor bytes
        refused = true;
      } else if (asText) {
        items.emplace_back(std::string(pattern.begin(), pattern.end()));
      } else {
        items.emplace_back(std::move(pattern));
      }
    }
    const size_t received = static_cast<size_t>(in.Byte()) * 2 + (in.Byte() & 1);
    const Bytes incoming = TakeBytes(in, received, fold);
    const uint8_t pieceByte = in.Byte();
    const size_t piece = 1 + pieceByte % 32;
    port->overstate = (pieceByte & 0x80) != 0 ? 3 : 0;
    port->mode = mode;
    port->open = !portClosed;
    port->pieces.clear();
    if (mode == 1) {
      port->pieces.push_back(incoming);
    } else {
      for (size_t i = 0; i < incoming.size(); i += piece) {
        port->pieces.emplace_back(
            incoming.begin() + static_cast<std::ptrdiff_t>(i),
            incoming.begin() + static_cast<std::ptrdiff_t>(std::min(incoming.size(), i + piece)));
      }
    }
    port->sent.clear();
    port->taken.clear();
    port->lookedWithTimeout = false;
    const int32_t timeoutBefore = port->timeoutRx = static_cast<int32_t>(in.Range(0, 5000));

    // --- the model's expectation ---------------------------------------------------------
    Outcome expected = Outcome::NoMatch;
    size_t expectedTaken = 0;
    const bool refusedUpFront = portClosed || refused;
    if (refusedUpFront) {
      expected = Outcome::Refused;
    } else {
      if (saveReset) {
        model.ringIndex = 0;
        model.rcvCount = 0;
      }
      model.patterns.clear();
      for (const LookItem& item : items) {
        if (const auto* t = std::get_if<std::string>(&item)) {
          model.patterns.push_back({Bytes(t->begin(), t->end())});
        } else {
          model.patterns.push_back({std::get<Bytes>(item)});
        }
      }
      expected = mode == 0 ? Outcome::PortError : Outcome::NoMatch;
      for (const uint8_t b : incoming) {
        ++expectedTaken;
        ++model.rcvCount;
        if (model.Feed(b)) {
          expected = Outcome::Match;
          break;
        }
      }
      model.patterns.clear();
    }

    // --- the watcher ---------------------------------------------------------------------
    const std::chrono::milliseconds timeout =
        mode == 1 ? std::chrono::milliseconds(0) : std::chrono::hours(1);
    Outcome outcome = Outcome::NoMatch;
    std::string error;
    try {
      bool found = false;
      if (!asList) {
        const LookItem& only = items.front();
        if (asText) {
          found = looker.waitFor(std::string(send.begin(), send.end()), std::get<std::string>(only),
                                 timeout);
        } else {
          found = looker.waitFor(std::span<const uint8_t>(send),
                                 std::span<const uint8_t>(std::get<Bytes>(only)), timeout);
        }
      } else if (asText) {
        found = looker.waitFor(std::string(send.begin(), send.end()), items, timeout);
      } else {
        found = looker.waitFor(std::span<const uint8_t>(send), items, timeout);
      }
      outcome = found ? Outcome::Match : Outcome::NoMatch;
    } catch (const OutOfData&) {
      outcome = Outcome::PortError;
    } catch (const SerialIOException& e) {
      outcome = Outcome::Refused;
      error = e.what();
    } catch (const std::invalid_argument& e) {
      outcome = Outcome::Refused;
      error = e.what();
    }
    port->DropRest();

    const std::string what =
        " in wait " + std::to_string(w) + " (mode " + std::to_string(mode) + ")";
    FUZZ_CHECK(outcome == expected, std::string(Name(outcome)) + ", the two-tracker model gives " +
                                        Name(expected) + what);
    FUZZ_CHECK(port->timeoutRx == timeoutBefore, "receive timeout not restored" + what);
    FUZZ_CHECK(!port->lookedWithTimeout, "looked at the port with a receive timeout" + what);
    if (outcome == Outcome::Refused) {
      FUZZ_CHECK(port->sent.empty() && port->taken.empty(), "a refused wait used the port" + what);
      if (portClosed) FUZZ_CHECK(error == "Port not open", "error " + error + what);
      continue;
    }
    FUZZ_CHECK(port->sent == send, "bytes sent differ" + what);
    FUZZ_CHECK(port->taken.size() == expectedTaken, std::to_string(port->taken.size()) +
                                                        " bytes taken, the model takes " +
                                                        std::to_string(expectedTaken) + what);
    FUZZ_CHECK(looker.getRcvCount() == model.rcvCount,
               "receive count " + std::to_string(looker.getRcvCount()) + ", model " +
                   std::to_string(model.rcvCount) + what);
    if (outcome == Outcome::Match) {
      const auto sighted = looker.getDataItemSighted();
      FUZZ_CHECK(sighted && sighted == model.sighted, "pattern sighted differs" + what);
      FUZZ_CHECK(EndsWith(port->taken, *sighted), "reported a pattern that did not arrive" + what);
    }
    if (model.saveBuf.empty()) {
      bool threw = false;
      try {
        (void)looker.getData();
      } catch (const SerialIOException&) {
        threw = true;
      }
      FUZZ_CHECK(threw, "getData without a save buffer" + what);
    } else {
      FUZZ_CHECK(looker.getData() == model.Saved(), "saved bytes differ" + what);
    }
  }
  return 0;
}
