// SerInputStream: a serial port seen as an input byte stream (read one byte, read into an array,
// bytes available, close).
//
// Reads wait by polling: when the port has nothing, the stream pauses 20 ms and asks again, so
// a read returns only once at least one byte has come; it never reports end of stream. The
// stream holds the port but does not own its line, except that close() closes the port.
// One thread at a time is expected to use a stream.
//
// Errors of the port's operations pass through unchanged (SerialIOException); bad offsets and
// lengths throw std::out_of_range before anything is read.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "SerialKit/SerialPort.h"

namespace SerialKit {

class SerInputStream {
 public:
  // Pause between two attempts of a waiting read.
  static constexpr std::chrono::milliseconds kPollInterval{20};

  // Throws SerialIOException "Port not open" when there is no port or its number is negative,
  // leaving the port untouched. Otherwise keeps the port and sets its receive timeout to 0
  // (which throws as the port's setTimeoutRx does).
  explicit SerInputStream(std::shared_ptr<SerialPort> port);

  SerInputStream(const SerInputStream&) = delete;
  SerInputStream& operator=(const SerInputStream&) = delete;

  // The next byte, 0 to 255. Waits until one comes.
  int32_t read();

  // Fills buf from its start with what has come and returns the number stored (at least 1).
  // Waits until at least one byte has come. An empty buf reads nothing and returns 0.
  int32_t read(std::span<uint8_t> buf);

  // Reads up to length bytes and stores them in buf from offset; returns their number. With a
  // buf that has no storage (data() == nullptr) it still reads and waits, drops the bytes and
  // returns 0. Throws std::out_of_range when offset or length is negative or the range does
  // not fit into buf.
  int32_t read(std::span<uint8_t> buf, int32_t offset, int32_t length);

  // Bytes waiting to be read (the port's rxReadyCount).
  int32_t available();

  // Closes the port.
  void close();

 private:
  std::shared_ptr<SerialPort> sp;
};

}  // namespace SerialKit
