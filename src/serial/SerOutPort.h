// SerOutPort: the program's own serial line, through which every relay command byte leaves the
// machine. It opens the named port at a fixed setting (9600 bit/s, 8 data bits, no parity,
// 1 stop bit, no handshake, hard flow off) whatever the constructor is told, attaches an output
// and an input byte stream, and reports in NoCOM whether the line is usable.
//
// Threads: the server core may send from the window's worker and from a session at the same
// time; the object's fields and the class-wide NoCOM and iodebug are kept race-free.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace SerialKit {
class SerialConfig;
class SerialPort;
class SerInputStream;
class SerOutputStream;
}  // namespace SerialKit

class SerOutPort {
 public:
  using Buffer = std::array<uint8_t, 64>;

  // Not-communicating codes left by the most recent construction.
  static constexpr int32_t kUsable = 0;           // port open with both streams, or "COM0"
  static constexpr int32_t kOpenFailed = 1;       // opening or configuring the port failed
  static constexpr int32_t kOutStreamFailed = 2;  // attaching the output stream failed
  static constexpr int32_t kInStreamFailed = 3;   // attaching the input stream failed

  // Only the port name is used; the other arguments are accepted and ignored.
  SerOutPort(const std::string& portName, const std::string& devType, int32_t rate,
             int32_t dataBits, int32_t stopBits, const std::string& parity,
             const std::string& handshake);
  ~SerOutPort();
  SerOutPort(const SerOutPort&) = delete;
  SerOutPort& operator=(const SerOutPort&) = delete;

  static int32_t NoCOM();
  static std::string iodebug();

  // Sends the bytes and, when the send succeeded, pauses 150 ms. Returns the receive buffer.
  Buffer SendSerial(std::span<const uint8_t> bytes);
  bool SendSer(std::span<const uint8_t> bytes);
  // Sends the text followed by one line feed.
  bool SendSer(const std::string& text);
  // Reads whatever has arrived into the receive buffer, in chunks of up to 64 bytes.
  Buffer ReadSer();
  int32_t SerCount() const;
  int32_t GetSerError() const;

  static void OutLine(std::string_view) {}

 private:
  struct State;
  std::unique_ptr<State> st_;
};
