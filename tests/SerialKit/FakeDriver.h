// A scriptable in-memory native driver for the port core's tests: every operation records its
// call ("SerSigCTS(0)") and returns a scripted result, or by default what a well-behaved driver
// would (failure for port -1). Safe to call from the flow-control thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SerialKit/NativeDriver.h"
#include "SerialKit/SerialConfig.h"

namespace SerialKit::test {

class FakeDriver : public NativeDriver {
 public:
  // Scripts the result of one operation by name, e.g. script("SerSigCTS", 2).
  void script(const std::string& op, int32_t result) {
    std::lock_guard<std::mutex> lock(m_);
    results_[op] = result;
  }
  // Scripts the result of an operation from its n-th call on (counted from 1); earlier calls
  // behave as unscripted.
  void scriptFrom(const std::string& op, int nthCall, int32_t result) {
    std::lock_guard<std::mutex> lock(m_);
    fromCall_[op] = {nthCall, result};
  }
  // Back to the default behaviour of an operation.
  void unscript(const std::string& op) {
    std::lock_guard<std::mutex> lock(m_);
    results_.erase(op);
    fromCall_.erase(op);
  }
  // The port number (counted from 1) SerOpenPort writes into the record on success.
  void setOpenNumber(int32_t n) {
    std::lock_guard<std::mutex> lock(m_);
    openNumber_ = n;
  }
  void receive(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(m_);
    rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  }
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(m_);
    return calls_;
  }
  size_t count(const std::string& op) const {
    std::lock_guard<std::mutex> lock(m_);
    return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(), [&](const auto& c) {
      return c.compare(0, op.size() + 1, op + "(") == 0;
    }));
  }
  void clearCalls() {
    std::lock_guard<std::mutex> lock(m_);
    calls_.clear();
  }
  // Every byte array handed to SerPutData, in order.
  std::vector<std::vector<uint8_t>> sent() const {
    std::lock_guard<std::mutex> lock(m_);
    return sent_;
  }
  // Copies of the records handed to SerConfigure.
  std::vector<SerialConfig> configured() const {
    std::lock_guard<std::mutex> lock(m_);
    return configured_;
  }

  int32_t SerGetLibVer() override { return op("SerGetLibVer", -99, 1234); }
  int32_t SerOpenPort(SerialConfig& config) override {
    const int32_t r = op("SerOpenPort", -99, 0);
    if (r == 0) {
      std::lock_guard<std::mutex> lock(m_);
      config.setPortNum(openNumber_);
      open_ = true;
    }
    return r;
  }
  int32_t SerConfigure(const SerialConfig& config) override {
    {
      std::lock_guard<std::mutex> lock(m_);
      configured_.push_back(config);
    }
    return op("SerConfigure", config.getPort(), 0);
  }
  int32_t SerClosePort(int32_t port) override {
    const int32_t r = op("SerClosePort", port, port < 0 ? -1 : 0);
    if (r == 0) open_ = false;
    return r;
  }
  int32_t SerPutByte(int32_t port, uint8_t b) override {
    const int32_t r = op("SerPutByte", port, port < 0 ? -1 : 0);
    std::lock_guard<std::mutex> lock(m_);
    sent_.push_back({b});
    return r;
  }
  int32_t SerPutData(int32_t port, std::span<const uint8_t> data) override {
    const int32_t r = op("SerPutData", port, port < 0 ? -1 : static_cast<int32_t>(data.size()));
    std::lock_guard<std::mutex> lock(m_);
    sent_.emplace_back(data.begin(), data.end());
    return r;
  }
  int32_t SerGetByte(int32_t port) override {
    std::lock_guard<std::mutex> lock(m_);
    calls_.push_back("SerGetByte(" + std::to_string(port) + ")");
    if (auto it = results_.find("SerGetByte"); it != results_.end()) return it->second;
    if (port < 0 || rx_.empty()) return -1;
    const uint8_t b = rx_.front();
    rx_.pop_front();
    return b;
  }
  int32_t SerGetData(int32_t port, std::span<uint8_t> buf) override {
    std::lock_guard<std::mutex> lock(m_);
    calls_.push_back("SerGetData(" + std::to_string(port) + "," + std::to_string(buf.size()) + ")");
    if (auto it = results_.find("SerGetData"); it != results_.end()) return it->second;
    if (port < 0) return -1;
    const size_t n = std::min(buf.size(), rx_.size());
    for (size_t i = 0; i < n; ++i) {
      buf[i] = rx_.front();
      rx_.pop_front();
    }
    return static_cast<int32_t>(n);
  }
  int32_t SerRxFlush(int32_t port) override { return op("SerRxFlush", port, port < 0 ? -1 : 0); }
  int32_t SerTxFlush(int32_t port) override { return op("SerTxFlush", port, port < 0 ? -1 : 0); }
  int32_t SerTxDrain(int32_t port) override { return op("SerTxDrain", port, port < 0 ? -1 : 0); }
  int32_t SerRxReadyCount(int32_t port) override {
    int32_t waiting = 0;
    {
      std::lock_guard<std::mutex> lock(m_);
      waiting = static_cast<int32_t>(rx_.size());
    }
    return op("SerRxReadyCount", port, port < 0 ? -1 : waiting);
  }
  int32_t SerTxBufCount(int32_t port) override { return sig("SerTxBufCount", port); }
  int32_t SerRxOverflow(int32_t port) override { return sig("SerRxOverflow", port); }
  int32_t SerSigCTS(int32_t port) override { return sig("SerSigCTS", port); }
  int32_t SerSigDSR(int32_t port) override { return sig("SerSigDSR", port); }
  int32_t SerSigCD(int32_t port) override { return sig("SerSigCD", port); }
  int32_t SerSigFrameErr(int32_t port) override { return sig("SerSigFrameErr", port); }
  int32_t SerSigOverrun(int32_t port) override { return sig("SerSigOverrun", port); }
  int32_t SerSigBreak(int32_t port) override { return sig("SerSigBreak", port); }
  int32_t SerSigParityErr(int32_t port) override { return sig("SerSigParityErr", port); }
  int32_t SerSigRing(int32_t port) override { return sig("SerSigRing", port); }
  int32_t SerSetDTR(int32_t port, bool) override { return sig("SerSetDTR", port); }
  int32_t SerSetRTS(int32_t port, bool) override { return sig("SerSetRTS", port); }
  int32_t SerSendBreak(int32_t port, int32_t duration) override {
    return op("SerSendBreak", port, port < 0 || duration < 0 ? -1 : 0);
  }
  int32_t SerSetTimeoutRx(int32_t port, int32_t ms) override {
    const int32_t r = op("SerSetTimeoutRx", port, port < 0 ? -1 : 0);
    if (r != -1) timeoutRx_ = ms;
    return r;
  }
  int32_t SerSetTimeoutTx(int32_t port, int32_t ms) override {
    const int32_t r = op("SerSetTimeoutTx", port, port < 0 ? -1 : 0);
    if (r != -1) timeoutTx_ = ms;
    return r;
  }
  int32_t SerGetTimeoutRx(int32_t port) override {
    return op("SerGetTimeoutRx", port, port < 0 ? -1 : timeoutRx_.load());
  }
  int32_t SerGetTimeoutTx(int32_t port) override {
    return op("SerGetTimeoutTx", port, port < 0 ? -1 : timeoutTx_.load());
  }
  int32_t SerFlowTask(int32_t port) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return op("SerFlowTask", port, 0);
  }

 private:
  int32_t op(const std::string& name, int32_t port, int32_t fallback) {
    std::lock_guard<std::mutex> lock(m_);
    calls_.push_back(name + "(" + std::to_string(port) + ")");
    const int nth = ++callCount_[name];
    if (const auto from = fromCall_.find(name);
        from != fromCall_.end() && nth >= from->second.first) {
      return from->second.second;
    }
    const auto it = results_.find(name);
    return it != results_.end() ? it->second : fallback;
  }
  // Conditions and signal setters: absent / done (0) on an open port, -1 for port -1.
  int32_t sig(const std::string& name, int32_t port) { return op(name, port, port < 0 ? -1 : 0); }

  mutable std::mutex m_;
  std::map<std::string, int32_t> results_;
  std::map<std::string, std::pair<int, int32_t>> fromCall_;
  std::map<std::string, int> callCount_;
  std::vector<std::string> calls_;
  std::vector<std::vector<uint8_t>> sent_;
  std::vector<SerialConfig> configured_;
  std::deque<uint8_t> rx_;
  int32_t openNumber_ = 1;
  std::atomic<bool> open_{false};
  std::atomic<int32_t> timeoutRx_{0};
  std::atomic<int32_t> timeoutTx_{0};
};

}  // namespace SerialKit::test
