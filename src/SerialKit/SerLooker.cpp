#include "SerialKit/SerLooker.h"

#include <limits>
#include <stdexcept>
#include <thread>
#include <utility>

namespace SerialKit {

namespace {

std::span<const uint8_t> TextBytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Deadline `timeout` after `start`, saturating instead of overflowing for huge timeouts.
std::chrono::steady_clock::time_point DeadlineAfter(std::chrono::steady_clock::time_point start,
                                                    std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  if (timeout <= std::chrono::milliseconds::zero()) return start;
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - start);
  if (timeout >= room) return Clock::time_point::max();
  return start + timeout;
}

// A pattern must have at least one byte: the trackers compare against its bytes.
void CheckPattern(std::span<const uint8_t> pattern) {
  if (pattern.empty()) throw std::invalid_argument("waitFor: empty pattern");
}

}  // namespace

SerLooker::SerLooker(std::shared_ptr<SerialPort> port) : sp(std::move(port)) {}

SerLooker::SerLooker(std::shared_ptr<SerialPort> port, int32_t saveSize) : sp(std::move(port)) {
  if (saveSize > 0) {
    saveBuf.assign(static_cast<size_t>(saveSize), 0);
    saveData = true;
  }
}

bool SerLooker::waitFor(const std::string& send, const std::string& lookFor,
                        std::chrono::milliseconds timeout) {
  return waitFor(TextBytes(send), TextBytes(lookFor), timeout);
}

bool SerLooker::waitFor(std::span<const uint8_t> send, std::span<const uint8_t> lookFor,
                        std::chrono::milliseconds timeout) {
  if (!sp || sp->getPortNum() < 0) throw SerialIOException("Port not open");
  CheckPattern(lookFor);
  addLookFor(lookFor);
  return waitForPatterns(send, timeout);
}

bool SerLooker::waitFor(const std::string& send, const std::vector<LookItem>& lookFor,
                        std::chrono::milliseconds timeout) {
  return waitFor(TextBytes(send), lookFor, timeout);
}

bool SerLooker::waitFor(std::span<const uint8_t> send, const std::vector<LookItem>& lookFor,
                        std::chrono::milliseconds timeout) {
  if (!sp || sp->getPortNum() < 0) throw SerialIOException("Port not open");
  // The whole list is checked before any of it is taken, so that a refused list leaves no
  // patterns behind for a later wait.
  for (const LookItem& item : lookFor) {
    if (const auto* text = std::get_if<std::string>(&item)) {
      CheckPattern(TextBytes(*text));
    } else if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&item)) {
      CheckPattern(*bytes);
    } else {
      throw SerialIOException("waitFor elements must be String or byte[]");
    }
  }
  for (const LookItem& item : lookFor) {
    if (const auto* text = std::get_if<std::string>(&item)) {
      addLookFor(TextBytes(*text));
    } else {
      addLookFor(std::get<std::vector<uint8_t>>(item));
    }
  }
  return waitForPatterns(send, timeout);
}

void SerLooker::addLookFor(std::span<const uint8_t> pattern) {
  LookForList.push_back(LookFor{std::vector<uint8_t>(pattern.begin(), pattern.end()), 0, 0});
}

bool SerLooker::waitForPatterns(std::span<const uint8_t> send, std::chrono::milliseconds timeout) {
  // Drops the patterns and sets the receive timeout back on every way out. On the normal ways
  // out a failure to set it back is reported; while another error is on its way it is not.
  struct WaitEnd {
    SerLooker& self;
    std::optional<int32_t> savedTimeout;
    bool done = false;
    bool finish(bool result) {
      done = true;
      self.LookForList.clear();
      if (savedTimeout) self.sp->setTimeoutRx(*savedTimeout);
      return result;
    }
    ~WaitEnd() {
      if (done) return;
      self.LookForList.clear();
      if (!savedTimeout) return;
      try {
        self.sp->setTimeoutRx(*savedTimeout);
      } catch (...) {
      }
    }
  } end{*this, std::nullopt};

  if (send.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::invalid_argument("waitFor: too many bytes to send");
  }
  end.savedTimeout = sp->getTimeoutRx();
  sp->setTimeoutRx(0);
  sp->putData(send, 0, static_cast<int32_t>(send.size()));
  if (saveBufReset) {
    ringIndex = 0;
    rcvCount = 0;
  }
  const auto deadline = DeadlineAfter(std::chrono::steady_clock::now(), timeout);

  for (;;) {
    const int32_t n = sp->rxReadyCount();
    for (int32_t i = 0; i < n; ++i) {
      const int32_t b = sp->getByte();
      // The count promised more than came: what is missing is no byte and is not fed on.
      if (b < 0) break;
      if (rcvCount < std::numeric_limits<int32_t>::max()) ++rcvCount;
      if (isDataMatch(static_cast<uint8_t>(b & 0xFF))) return end.finish(true);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(napTime));
    if (aborted.load() || std::chrono::steady_clock::now() >= deadline) return end.finish(false);
  }
}

bool SerLooker::isDataMatch(uint8_t b) {
  if (saveData && !saveBuf.empty()) {
    // The position may lie past the end after the buffer was replaced by a smaller one.
    if (static_cast<size_t>(ringIndex) >= saveBuf.size()) ringIndex = 0;
    saveBuf[static_cast<size_t>(ringIndex)] = b;
    if (static_cast<size_t>(++ringIndex) == saveBuf.size()) ringIndex = 0;
  }
  for (LookFor& p : LookForList) {
    const auto len = static_cast<int32_t>(p.data.size());
    bool matched = false;
    // Second tracker: a second attempt, one byte behind the first, while a match is under way.
    if (p.compareNdx1 > 0 || p.compareNdx2 > 0) {
      if (p.data[static_cast<size_t>(p.compareNdx2)] == b) {
        matched = ++p.compareNdx2 == len;
      } else {
        p.compareNdx2 = 0;
      }
    }
    // First tracker; a byte that breaks its match is not tried again at the pattern's start.
    if (!matched) {
      if (p.data[static_cast<size_t>(p.compareNdx1)] == b) {
        matched = ++p.compareNdx1 == len;
      } else {
        p.compareNdx1 = 0;
      }
    }
    if (matched) {
      dataItemSighted = p.data;
      return true;
    }
  }
  return false;
}

void SerLooker::setSaveData(int32_t size) {
  if (size < 0) throw std::invalid_argument("setSaveData: negative size");
  if (size == 0) {
    saveData = false;
    return;
  }
  saveBuf.assign(static_cast<size_t>(size), 0);
  saveData = true;
}

std::vector<uint8_t> SerLooker::getData() const {
  if (saveBuf.empty()) throw SerialIOException("getData: no save buffer");
  const size_t m = saveBuf.size();
  const auto count = static_cast<size_t>(rcvCount);
  if (count <= m) return {saveBuf.begin(), saveBuf.begin() + static_cast<std::ptrdiff_t>(count)};
  const auto oldest = static_cast<std::ptrdiff_t>(static_cast<size_t>(ringIndex) % m);
  std::vector<uint8_t> out(saveBuf.begin() + oldest, saveBuf.end());
  out.insert(out.end(), saveBuf.begin(), saveBuf.begin() + oldest);
  return out;
}

}  // namespace SerialKit
