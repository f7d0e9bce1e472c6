// Device: the abstract device through which every part of the server reaches the hardware.
// The only implementation is the eight-relay board driver Vexa8.
#pragma once

#include <cstdint>
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
  // Interprets one command line from the network client; true when it was a command word
  // of the device and the device acted on it.
  virtual bool ParseNetCommand(const std::string& line) = 0;
  // Board address carried by later commands.
  virtual void setboardnum(int32_t n) = 0;
  // Output mode (no effect on the relay board).
  virtual void setoutmode(int32_t mode) = 0;
  // Sets one output channel (relay index 0..7) to a value (0 off, 1 on).
  virtual void set(int32_t channel, int32_t value) = 0;
};
