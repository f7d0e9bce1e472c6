// FakeSerialPort: an in-memory SerialPort for the stream and pattern-watcher tests. It records
// what is sent and which timeouts are set, and delivers scripted bytes:
//  - deliver(): bytes that have arrived; getData hands out at most one delivered chunk per call.
//  - arrivals: chunks that arrive one per rxReadyCount call (a line that answers over time).
// Any operation can be made to fail with failOn("name"), throwing "<name> failed".
// Thread-safe, so that bytes can be delivered from another thread while a read waits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "SerialKit/SerialIOException.h"
#include "SerialKit/SerialPort.h"

namespace SerialKit::testing {

class FakeSerialPort : public SerialPort {
 public:
  explicit FakeSerialPort(int32_t portNum = 0) : portNum_(portNum) {}

  // --- script and inspection ---
  void deliver(std::vector<uint8_t> chunk) {
    std::lock_guard lock(m_);
    if (!chunk.empty()) rx_.push_back(std::move(chunk));
  }
  void arriveLater(std::vector<uint8_t> chunk) {
    std::lock_guard lock(m_);
    arrivals_.push_back(std::move(chunk));
  }
  void failOn(const std::string& op) {
    std::lock_guard lock(m_);
    failing_.insert(op);
  }
  // rxReadyCount reports this many bytes more than are there.
  void overstateCount(int32_t extra) {
    std::lock_guard lock(m_);
    overstate_ = extra;
  }
  // Values txBufCount gives in turn; 0 once they are used up.
  void scriptTxBufCount(std::vector<int32_t> values) {
    std::lock_guard lock(m_);
    txCounts_.assign(values.begin(), values.end());
  }
  void setTimeoutRxValue(int32_t ms) {
    std::lock_guard lock(m_);
    timeoutRx_ = ms;
  }

  std::vector<uint8_t> sent() const {
    std::lock_guard lock(m_);
    return sent_;
  }
  std::vector<std::vector<uint8_t>> putDataCalls() const {
    std::lock_guard lock(m_);
    return putDataCalls_;
  }
  std::vector<int32_t> rxTimeoutsSet() const {
    std::lock_guard lock(m_);
    return rxTimeoutsSet_;
  }
  std::vector<int32_t> txTimeoutsSet() const {
    std::lock_guard lock(m_);
    return txTimeoutsSet_;
  }
  int32_t timeoutRx() const {
    std::lock_guard lock(m_);
    return timeoutRx_;
  }
  int count(const std::string& op) const {
    std::lock_guard lock(m_);
    return static_cast<int>(std::count(calls_.begin(), calls_.end(), op));
  }
  size_t pending() const {
    std::lock_guard lock(m_);
    return pendingLocked();
  }

  // --- SerialPort ---
  void setConfig(std::shared_ptr<SerialConfig>) override { enter("setConfig"); }
  std::shared_ptr<SerialConfig> getConfig() override {
    enter("getConfig");
    return nullptr;
  }
  void configure(const SerialConfig&) override { enter("configure"); }
  void close() override {
    std::lock_guard lock(m_);
    enterLocked("close");
    portNum_ = -1;
  }

  void putByte(uint8_t b) override {
    std::lock_guard lock(m_);
    enterLocked("putByte");
    sent_.push_back(b);
  }
  void putString(const std::string& text) override {
    putData(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }
  void putData(std::span<const uint8_t> data) override {
    std::lock_guard lock(m_);
    enterLocked("putData");
    sent_.insert(sent_.end(), data.begin(), data.end());
    putDataCalls_.emplace_back(data.begin(), data.end());
  }
  void putData(std::span<const uint8_t> data, int32_t count) override {
    putData(data.first(static_cast<size_t>(count)));
  }
  void putData(std::span<const uint8_t> data, int32_t offset, int32_t count) override {
    putData(data.subspan(static_cast<size_t>(offset), static_cast<size_t>(count)));
  }

  int32_t getByte() override {
    std::lock_guard lock(m_);
    enterLocked("getByte");
    if (rx_.empty()) return -1;
    const uint8_t b = rx_.front().front();
    rx_.front().erase(rx_.front().begin());
    if (rx_.front().empty()) rx_.pop_front();
    return b;
  }
  int32_t getData(std::span<uint8_t> buf) override {
    std::lock_guard lock(m_);
    enterLocked("getData");
    if (rx_.empty()) return 0;
    auto& chunk = rx_.front();
    const size_t n = std::min(buf.size(), chunk.size());
    std::copy_n(chunk.begin(), n, buf.begin());
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (chunk.empty()) rx_.pop_front();
    return static_cast<int32_t>(n);
  }
  int32_t getData(std::span<uint8_t>, int32_t, int32_t) override {
    enter("getData3");
    return 0;
  }

  int32_t rxFlush() override { return enter("rxFlush"); }
  int32_t txFlush() override { return enter("txFlush"); }
  int32_t txDrain() override { return enter("txDrain"); }
  int32_t rxReadyCount() override {
    std::lock_guard lock(m_);
    enterLocked("rxReadyCount");
    if (!arrivals_.empty()) {
      if (!arrivals_.front().empty()) rx_.push_back(std::move(arrivals_.front()));
      arrivals_.pop_front();
    }
    return static_cast<int32_t>(pendingLocked()) + overstate_;
  }
  int32_t txBufCount() override {
    std::lock_guard lock(m_);
    enterLocked("txBufCount");
    if (txCounts_.empty()) return 0;
    const int32_t v = txCounts_.front();
    txCounts_.pop_front();
    return v;
  }
  bool rxOverflow() override { return enter("rxOverflow") != 0; }

  bool sigDSR() override { return enter("sigDSR") != 0; }
  bool sigCTS() override { return enter("sigCTS") != 0; }
  bool sigCD() override { return enter("sigCD") != 0; }
  bool sigFrameErr() override { return enter("sigFrameErr") != 0; }
  bool sigOverrun() override { return enter("sigOverrun") != 0; }
  bool sigParityErr() override { return enter("sigParityErr") != 0; }
  bool sigRing() override { return enter("sigRing") != 0; }
  bool sigBreak() override { return enter("sigBreak") != 0; }
  void setDTR(bool) override { enter("setDTR"); }
  void setRTS(bool) override { enter("setRTS"); }
  void sendBreak(int32_t) override { enter("sendBreak"); }

  int32_t getTimeoutRx() override {
    std::lock_guard lock(m_);
    enterLocked("getTimeoutRx");
    return timeoutRx_;
  }
  int32_t getTimeoutTx() override {
    std::lock_guard lock(m_);
    enterLocked("getTimeoutTx");
    return timeoutTx_;
  }
  void setTimeoutRx(int32_t ms) override {
    std::lock_guard lock(m_);
    enterLocked("setTimeoutRx");
    timeoutRx_ = ms;
    rxTimeoutsSet_.push_back(ms);
  }
  void setTimeoutTx(int32_t ms) override {
    std::lock_guard lock(m_);
    enterLocked("setTimeoutTx");
    timeoutTx_ = ms;
    txTimeoutsSet_.push_back(ms);
  }

  int32_t getLibVer() override { return enter("getLibVer"); }
  int32_t getPortNum() override {
    std::lock_guard lock(m_);
    enterLocked("getPortNum");
    return portNum_;
  }
  void setName(const std::string&) override { enter("setName"); }
  std::string getName() override {
    enter("getName");
    return "Fake";
  }

 private:
  int32_t enter(const std::string& op) {
    std::lock_guard lock(m_);
    enterLocked(op);
    return 0;
  }
  void enterLocked(const std::string& op) {
    calls_.push_back(op);
    if (failing_.count(op)) throw SerialIOException(op + " failed");
  }
  size_t pendingLocked() const {
    size_t n = 0;
    for (const auto& c : rx_) n += c.size();
    return n;
  }

  mutable std::mutex m_;
  int32_t portNum_;
  int32_t timeoutRx_ = 500;
  int32_t timeoutTx_ = 0;
  int32_t overstate_ = 0;
  std::deque<std::vector<uint8_t>> rx_;
  std::deque<std::vector<uint8_t>> arrivals_;
  std::deque<int32_t> txCounts_;
  std::vector<uint8_t> sent_;
  std::vector<std::vector<uint8_t>> putDataCalls_;
  std::vector<int32_t> rxTimeoutsSet_;
  std::vector<int32_t> txTimeoutsSet_;
  std::vector<std::string> calls_;
  std::set<std::string> failing_;
};

}  // namespace SerialKit::testing
