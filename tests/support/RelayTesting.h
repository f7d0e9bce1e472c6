// A relay service over the real board driver, for tests: the driver's host that hands its reports
// to the service as the server core does, and an observer that writes down what it hears.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "device/DeviceHost.h"
#include "relay/RelayService.h"

namespace testing_support {

using vexanet::relay::ClientEvent;
using vexanet::relay::RelayObserver;
using vexanet::relay::RelayService;
using vexanet::relay::Source;

// The driver's host as the core is one: bytes are recorded (and may take a while, as the serial
// line's pause does), everything else goes to the service.
class ForwardingHost : public DeviceHost {
 public:
  bool CommandB0(std::span<const uint8_t> bytes) override {
    {
      std::lock_guard lock(m_);
      bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }
    if (sendTime.count() > 0) std::this_thread::sleep_for(sendTime);
    return true;
  }
  void DelayT(int32_t) override {}
  void ShowStat(const std::string& text) override { service->ShowStatus(text); }
  void SelectRelay(int32_t relay, int32_t item) override { service->Recorded(relay, item); }
  void SendRStat(const std::string& text) override { service->StateLine(text); }
  void BeforeSwitch(int32_t relay, int32_t state) override { service->BeforeSwitch(relay, state); }

  std::vector<uint8_t> bytes() const {
    std::lock_guard lock(m_);
    return bytes_;
  }

  RelayService* service = nullptr;
  std::chrono::milliseconds sendTime{0};

 private:
  mutable std::mutex m_;
  std::vector<uint8_t> bytes_;
};

// Everything an observer hears, as text in order: "relay 1 off->on by operator", "state Stat...",
// "status ...", "serial down: why", "client connected 1.2.3.4:5".
class RecordingObserver : public RelayObserver {
 public:
  void RelayChanged(int32_t relay, bool was, bool now, const Source& source) override {
    Add("relay " + std::to_string(relay + 1) + " " + OnOff(was) + "->" + OnOff(now) + " by " +
        source.name);
  }
  void StateLine(const std::string& text) override { Add("state " + text); }
  void StatusText(const std::string& text) override { Add("status " + text); }
  void SerialLine(bool up, const std::string& reason) override {
    Add(std::string("serial ") + (up ? "up" : "down: " + reason));
  }
  void Client(ClientEvent event, const std::string& client) override {
    Add(std::string("client ") + vexanet::relay::EventName(event) + " " + client);
  }

  std::vector<std::string> heard() const {
    std::lock_guard lock(m_);
    return heard_;
  }
  std::vector<std::string> relays() const {
    std::vector<std::string> out;
    for (const std::string& h : heard()) {
      if (h.starts_with("relay ")) out.push_back(h);
    }
    return out;
  }

 private:
  static std::string OnOff(bool on) { return on ? "on" : "off"; }
  void Add(std::string text) {
    std::lock_guard lock(m_);
    heard_.push_back(std::move(text));
  }
  mutable std::mutex m_;
  std::vector<std::string> heard_;
};

}  // namespace testing_support
