// Device: the abstract device through which every part of the server reaches the hardware.
// The only implementation is the eight-relay board driver Vexa8.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

class Device {
 public:
  Device() = default;
  virtual ~Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Single-value set (no effect on the relay board).
  virtual void set(int32_t value) = 0;
  // Publishes the device's current state: to the connected client and the window.
  virtual void status() = 0;
  // Brings the device into its initial state.
  virtual void DevInit() = 0;
  // The same with the given states (0 off, 1 on) in place of the initial ones.
  virtual void DevInit(const std::array<int32_t, 8>& states) = 0;
  // From now on, switches asked for before DevInit has run wait for it, so the initial state
  // cannot undo them (start-up calls it before it lets the first client in). Nothing by default.
  virtual void HoldSwitchesUntilInit() {}
  // Interprets one command line from the network client; true when it was a command word
  // of the device and the device acted on it.
  virtual bool ParseNetCommand(const std::string& line) = 0;
  // Board address carried by later commands.
  virtual void setboardnum(int32_t n) = 0;
  // Output mode (no effect on the relay board).
  virtual void setoutmode(int32_t mode) = 0;
  // Sets one output channel (relay index 0..7) to a value (0 off, 1 on).
  virtual void set(int32_t channel, int32_t value) = 0;

  // --- for a serial line that comes back -------------------------------------------------
  // Held from computing a command byte until it is sent and recorded; whoever sends bytes of
  // its own to the board (the recorded states again, the operator's raw bytes) holds it too.
  virtual std::mutex& SwitchLock() = 0;
  // The command bytes that put every output into its recorded state, in order. Called with
  // SwitchLock() held.
  virtual std::array<uint8_t, 8> RecordedCommandBytes() const = 0;
};
