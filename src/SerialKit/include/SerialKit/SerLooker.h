// SerLooker: sends a byte string on a port and then watches the incoming bytes until one of
// several expected patterns has arrived, a time limit has passed, or abort() was called. Serves
// command-and-response dialogues such as those with a modem. It can keep the bytes it saw in a
// ring buffer (getData).
//
// Threads: a wait keeps its caller's thread until it ends. abort() is the one operation meant
// for another thread; the wait checks the flag once per pass, after each pause. Every other
// operation belongs to the thread that runs the waits.
//
// Errors: the port's SerialIOExceptions pass through unchanged. Besides them a wait throws
// SerialIOException "Port not open" (nothing is sent then) and "waitFor elements must be String
// or byte[]" (a list element that is neither text nor bytes); an empty pattern, a negative
// save size and a send longer than 2^31 - 1 bytes throw std::invalid_argument; getData without
// a save buffer throws SerialIOException. Whatever way a wait ends, its patterns are dropped and
// the port's receive timeout is set back to the value it had before the wait.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "SerialKit/LookFor.h"
#include "SerialKit/SerialPort.h"

namespace SerialKit {

// One expected item of a wait: a text (its bytes form the pattern), a byte pattern, or a number,
// which is no pattern and makes the wait fail.
using LookItem = std::variant<std::string, std::vector<uint8_t>, int64_t>;

class SerLooker {
 public:
  SerLooker() = default;
  explicit SerLooker(std::shared_ptr<SerialPort> port);
  // With saveSize above 0 the bytes seen are kept in a ring buffer of that many bytes.
  SerLooker(std::shared_ptr<SerialPort> port, int32_t saveSize);

  SerLooker(const SerLooker&) = delete;
  SerLooker& operator=(const SerLooker&) = delete;

  // Sends `send`, then watches the port until a pattern has come (true), or the timeout has
  // passed or abort() was called (false). Every wait lasts at least one pause (getNapTime).
  bool waitFor(const std::string& send, const std::string& lookFor,
               std::chrono::milliseconds timeout);
  bool waitFor(std::span<const uint8_t> send, std::span<const uint8_t> lookFor,
               std::chrono::milliseconds timeout);
  bool waitFor(const std::string& send, const std::vector<LookItem>& lookFor,
               std::chrono::milliseconds timeout);
  bool waitFor(std::span<const uint8_t> send, const std::vector<LookItem>& lookFor,
               std::chrono::milliseconds timeout);

  // 0: stop saving (the buffer stays for getData). Above 0: a new zero-filled save buffer of
  // that size, saving on; the write position is kept (and wraps to 0 if it lies past the end).
  // Negative: std::invalid_argument.
  void setSaveData(int32_t size);

  // Pause between two looks at the port, milliseconds (20 at first).
  void setNapTime(int32_t ms) { napTime = ms; }
  int32_t getNapTime() const { return napTime; }

  // Bytes taken from the port by the waits since the last reset of the count.
  int32_t getRcvCount() const { return rcvCount; }

  // Asks the running wait, and every later one that has not matched by its first pause, to
  // end with false. Once set, it stays set. May be called from any thread.
  void abort() noexcept { aborted.store(true); }

  void setSerialPort(std::shared_ptr<SerialPort> port) { sp = std::move(port); }
  std::shared_ptr<SerialPort> getSerialPort() const { return sp; }

  // A setting kept for callers; the waits do not consult it.
  void setAbortCheck(int32_t period) { abortCheckPeriod = period; }
  int32_t getAbortCheck() const { return abortCheckPeriod; }

  // When set (at first), each wait starts by resetting the ring position and getRcvCount.
  void setSaveReset(bool reset) { saveBufReset = reset; }
  bool getSaveReset() const { return saveBufReset; }

  // The pattern that matched last; empty before any match.
  std::optional<std::vector<uint8_t>> getDataItemSighted() const { return dataItemSighted; }

  // The saved bytes in arrival order: while no more than the buffer's size have come, all of
  // them; afterwards the buffer's size of the most recent ones, oldest first.
  std::vector<uint8_t> getData() const;

 private:
  void addLookFor(std::span<const uint8_t> pattern);
  bool waitForPatterns(std::span<const uint8_t> send, std::chrono::milliseconds timeout);
  bool isDataMatch(uint8_t b);

  std::shared_ptr<SerialPort> sp;
  bool saveData = false;
  std::atomic<bool> aborted{false};
  int32_t rcvCount = 0;
  int32_t abortCheckPeriod = -1;
  int32_t napTime = 20;
  bool saveBufReset = true;
  std::vector<LookFor> LookForList;
  int32_t ringIndex = 0;
  std::vector<uint8_t> saveBuf;  // empty: no save buffer
  std::optional<std::vector<uint8_t>> dataItemSighted;
};

}  // namespace SerialKit
