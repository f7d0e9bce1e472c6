// Vexa8: the eight-relay board driver, the system's only Device.
//
// One command byte per relay switch: bits 7..4 board address, bit 3 new state, bits 2..0 relay
// index. The board is never read back: the driver remembers the last state it commanded for each
// relay, shows it in the window's selectors and publishes it as the status line "Stat" followed
// by the eight states as digits.
//
// The driver reaches the serial line, the window and the connected client through its host
// (the server core in the program).
//
// Threads: set() is entered from the session thread (network words), the window's worker
// (selectors) and start-up (DevInit). One lock is held from computing a command byte until the
// byte has been sent and recorded (the serial line's 150 ms pause included), so switches from
// different sources are paced one after another and each sends the byte it computed; DevInit
// holds it for all eight of its switches, so nothing lands in the middle of the all-off; once
// start-up has called HoldSwitchesUntilInit, a switch asked for before DevInit waits for it too.
// status()
// builds and publishes under a lock of its own so the latest published text is the latest state.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <span>
#include <string>

#include "device/Device.h"

class DeviceHost;

class Vexa8 : public Device {
 public:
  // net: the board-number words ("Bnum0".."Bnum7") are understood.
  explicit Vexa8(DeviceHost& host, bool net = false) : host_(host), net_(net) {}

  void set(int32_t value) override;
  void status() override;
  void DevInit() override;
  void DevInit(const std::array<int32_t, 8>& states) override;
  void HoldSwitchesUntilInit() override;
  bool ParseNetCommand(const std::string& line) override;
  void setboardnum(int32_t n) override;
  void setoutmode(int32_t mode) override;
  void set(int32_t relay, int32_t state) override;

  // Forwarded to the host.
  virtual bool CommandB0(std::span<const uint8_t> bytes);
  virtual void DelayT(int32_t ms);
  virtual void ShowStat(const std::string& text);

  // Recorded state of relay index 0..7, and the last status text built.
  int32_t relayState(int32_t relay) const { return r_.at(static_cast<size_t>(relay)).load(); }
  std::string stat() const;

  // The status text for the given relay states ("Stat" and one decimal number per relay).
  static std::string StatusText(const std::array<int32_t, 8>& states);
  // The command byte for a board, state and relay index.
  static uint8_t CommandByte(int32_t board, int32_t state, int32_t relay) {
    return static_cast<uint8_t>((board * 16 + state * 8 + relay) & 0xFF);
  }

  std::atomic<int32_t> boardnum{0};

  // Held from computing a command byte until it is sent and recorded; the server core holds it
  // while it sends the recorded states again to a serial line that came back.
  std::mutex& SwitchLock() override { return switchLock_; }
  // The command bytes that put every relay into its recorded state, in relay order. Called with
  // SwitchLock() held.
  std::array<uint8_t, 8> RecordedCommandBytes() const override;

 private:
  // Computes, sends and records one switch; the caller holds the switch lock.
  void SwitchHeld(int32_t relay, int32_t state);

  DeviceHost& host_;
  const bool net_;
  std::array<std::atomic<int32_t>, 8> r_{};
  mutable std::mutex statLock_;
  std::string stat_;
  // Held from computing a command byte until it is sent and recorded.
  std::mutex switchLock_;
  std::array<uint8_t, 1> Vexacmd1{0x00};
  // Switches wait while start-up's all-off is still to come (HoldSwitchesUntilInit).
  std::mutex initLock_;
  std::condition_variable initDone_;
  bool initPending_ = false;  // guarded by initLock_
};
