// A session's host without a server core: it records the status texts and the lines the device
// is handed, counts the closes it is told of, and accepts the password it is given (or none).
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/Device.h"
#include "server/SessionHost.h"

namespace testing_support {

// A device that only records the command lines it is handed.
class RecordingDevice : public Device {
 public:
  bool ParseNetCommand(const std::string& line) override {
    std::lock_guard lock(m_);
    lines_.push_back(line);
    return true;
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(m_);
    return lines_;
  }
  void set(int32_t) override {}
  void status() override {}
  void DevInit() override {}
  void setboardnum(int32_t) override {}
  void setoutmode(int32_t) override {}
  void set(int32_t, int32_t) override {}
  std::mutex& SwitchLock() override { return switchLock_; }
  std::array<uint8_t, 8> RecordedCommandBytes() const override { return {}; }

 private:
  mutable std::mutex m_;
  std::mutex switchLock_;
  std::vector<std::string> lines_;
};

class FakeSessionHost : public SessionHost {
 public:
  // password: the one a "PWD" line must carry; nullopt: none is accepted.
  explicit FakeSessionHost(std::optional<std::string> password = "QWK", bool withDevice = true)
      : password_(std::move(password)), withDevice_(withDevice) {}

  void ShowStat(const std::string& text) override {
    std::lock_guard lock(m_);
    statuses_.push_back(text);
  }
  Device* device() override { return withDevice_ ? &device_ : nullptr; }
  std::string password() override { return password_.value_or(""); }
  std::atomic<int32_t>& to() override { return to_; }
  bool PasswordMatches(const std::string& given) override { return password_ == given; }
  void SessionClosed() override { closes_.fetch_add(1); }

  std::vector<std::string> statuses() const {
    std::lock_guard lock(m_);
    return statuses_;
  }
  int closes() const { return closes_.load(); }
  const RecordingDevice& recorded() const { return device_; }

 private:
  std::atomic<int32_t> to_{0};
  const std::optional<std::string> password_;
  const bool withDevice_;
  RecordingDevice device_;
  mutable std::mutex m_;
  std::vector<std::string> statuses_;
  std::atomic<int> closes_{0};
};

}  // namespace testing_support
