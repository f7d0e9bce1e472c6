// SerOutputStream: a serial port seen as an output byte stream (write one byte, write an array,
// flush). Closing the stream does nothing to the port.
// One thread at a time is expected to use a stream.
//
// Errors of the port's operations pass through unchanged (SerialIOException); bad offsets and
// lengths throw std::out_of_range before anything is sent.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "SerialKit/SerialPort.h"

namespace SerialKit {

class SerOutputStream {
 public:
  // The transmit timeout the stream sets: the largest 32-bit signed value, in milliseconds.
  static constexpr int32_t kTxTimeoutMs = 2147483647;

  // Throws SerialIOException "Port not open" when there is no port or its number is negative,
  // leaving the port untouched. Otherwise keeps the port and sets its transmit timeout to
  // kTxTimeoutMs (which throws as the port's setTimeoutTx does).
  explicit SerOutputStream(std::shared_ptr<SerialPort> port);

  SerOutputStream(const SerOutputStream&) = delete;
  SerOutputStream& operator=(const SerOutputStream&) = delete;

  // Sends the low 8 bits of value.
  void write(int32_t value);
  // Sends all of data with one putData.
  void write(std::span<const uint8_t> data);
  // Sends length bytes of data starting at offset. Throws std::out_of_range when offset or
  // length is negative or the range does not fit into data.
  void write(std::span<const uint8_t> data, int32_t offset, int32_t length);

  // Returns once the port reports no byte waiting to be sent (asks again and again, without
  // pausing).
  void flush();

 private:
  std::shared_ptr<SerialPort> sp;
};

}  // namespace SerialKit
