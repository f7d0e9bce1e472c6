// DeviceHost: what the relay board driver needs from the server it belongs to. The server core
// is the host in the program; tests give the driver a small fake.
//
// Threads: called from whichever thread switches a relay (a session, the operator's worker,
// start-up), with the driver's own locks held.
#pragma once

#include <cstdint>
#include <span>
#include <string>

class DeviceHost {
 public:
  virtual ~DeviceHost() = default;

  // Hands command bytes to the serial line when it is usable; false otherwise.
  virtual bool CommandB0(std::span<const uint8_t> bytes) = 0;
  // Sleeps, then passes through the host's lock.
  virtual void DelayT(int32_t ms) = 0;
  // A status text for the window's status field.
  virtual void ShowStat(const std::string& text) = 0;
  // Turns the window's selector of relay index 0..7 to item 0 ("Off") or 1 ("On").
  virtual void SelectRelay(int32_t relay, int32_t item) = 0;
  // Sends a status line to the connected client, if there is one.
  virtual void SendRStat(const std::string& text) = 0;
  // Relay index 0..7 is about to be switched to state 0 or 1 (no lock of the driver held); the
  // host may switch others first (interlocks). Nothing by default.
  virtual void BeforeSwitch(int32_t /*relay*/, int32_t /*state*/) {}
};
