// SerOutPort: the program's own serial line, through which every relay command byte leaves the
// machine. It opens the named port at a fixed setting (9600 bit/s, 8 data bits, no parity,
// 1 stop bit, no handshake, hard flow off) whatever the constructor is told, attaches an output
// and an input byte stream, and reports in NoCOM whether the line was usable when it was made.
//
// Recovery: a line on a USB adapter can vanish and come back. The line counts as down when the
// open at construction failed (NoCOM not 0), when a send or read finds the device gone, or when
// the retry thread, looking at the idle line twice a second, finds it hung up; it then
// closes what it held and opens the same name again with the same setting: on a thread of its own
// about once a second (kRetryInterval), and in Usable() when the last try is at least that long
// ago. After a successful reopen the reconnect function (SetOnReconnect) sends the recorded relay
// states again before any other send goes out. Console lines, each once per change:
//   "Serial line lost: <reason>"                              when a working line goes down
//   "Serial line back: <device>, relay states sent again"     after the reopen and the resend
// ("Serial line back: <device>" when no reconnect function is set). A line that never opens
// prints only what the failed open at construction printed, once, with a hint line when the
// device is missing or access to it was denied. "COM0" means no line at all: never retried.
//
// Threads: the server core may send from the window's worker and from a session at the same
// time; the object's fields and the class-wide NoCOM and iodebug are kept race-free. The retry
// thread sleeps on a condition variable (it wakes twice a second to look at an open line, and
// once per retry interval while the line is down) and is stopped and joined by the destructor.
#pragma once


#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "base/Activity.h"

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

  // How long the line waits between two tries to open it again while it is down.
  static constexpr std::chrono::milliseconds kRetryInterval{1000};

  // Only the port name is used; the other arguments are accepted and ignored.
  SerOutPort(const std::string& portName, const std::string& devType, int32_t rate,
             int32_t dataBits, int32_t stopBits, const std::string& parity,
             const std::string& handshake);
  // Stops and joins the retry thread (waiting for a resend under way), then closes the line.
  ~SerOutPort();
  SerOutPort(const SerOutPort&) = delete;
  SerOutPort& operator=(const SerOutPort&) = delete;

  // The code of the most recent construction; later losses and recoveries do not change it.
  static int32_t NoCOM();
  static std::string iodebug();

  // Sends the bytes and, when the send succeeded, pauses 150 ms. Returns the receive buffer.
  // Never reopens the line: on a line that is down it takes the failed-send path (SerError 1,
  // no pause). While another thread sends the relay states again after a reopen, it waits for
  // that to finish, so nothing overtakes the resent states.
  Buffer SendSerial(std::span<const uint8_t> bytes);
  bool SendSer(std::span<const uint8_t> bytes);
  // Sends the text followed by one line feed.
  bool SendSer(const std::string& text);
  // Reads whatever has arrived into the receive buffer, in chunks of up to 64 bytes.
  Buffer ReadSer();
  int32_t SerCount() const;
  int32_t GetSerError() const;

  static void OutLine(std::string_view) {}

  // --- recovery ------------------------------------------------------------------------------

  // Whether a send can go out now; the server core asks before every relay command. "COM0" is
  // always usable (its sends take the failed-send path, as NoCOM 0 always meant). A line that is
  // down is opened again first when the last try is at least the retry interval ago; when that
  // succeeds, the reconnect function runs on this thread, with the order lock the caller holds,
  // before Usable returns true. If another thread is resending, waits until it has finished.
  bool Usable();

  // The function that sends the recorded relay states again after a reopen (through SendSerial,
  // in relay order), and the lock that keeps relay commands apart (the relay driver's switch
  // lock; may be null). The function runs either on the retry thread, which takes orderLock
  // around the reopen and the function, or on a thread in Usable(), which must already hold
  // orderLock. It must not take orderLock itself, nor wait for a thread that may be sending. It
  // may throw; the error is said on the console and the line goes on. Replacing it (null clears
  // it) waits for a resend under way on another thread to finish, so call it neither from the
  // function nor while holding orderLock.
  void SetOnReconnect(std::function<void()> resend, std::mutex* orderLock = nullptr);

  // Told when the console hears "Serial line lost" (up false, with the reason) or "Serial line
  // back" (up true). Runs on the thread that saw the change, with the line's own lock held: it
  // must not use this line. Null clears it.
  void SetOnLineChange(std::function<void(bool up, const std::string& reason)> changed);

  // Whether the line is open now (no reopen is tried). "COM0": false.
  bool IsOpen() const;
  // The device path of the line as the driver last resolved it ("/dev/ttyUSB0", the path in
  // VEXANET_COM1), or the port name when the driver did not say.
  std::string DeviceName() const;
  // Busy while a byte goes out with its pause (for a health check).
  const vexanet::Activity& writing() const { return writing_; }
  // Shortens or lengthens the wait between tries (tests); kRetryInterval unless set.
  void SetRetryInterval(std::chrono::milliseconds interval);

 private:
  struct State;
  bool Recover(bool background);
  void RetryLoop();
  std::unique_ptr<State> st_;
  vexanet::Activity writing_{"serial line writer"};
#if defined(VEXANET_TEST_HOOKS)
  // VEXANET_TEST_HANG_SERIAL=N in a build with test hooks: the N-th send and every later one
  // hang (start-up's all-off is sends 1 to 8).
  const long hangFrom_ = [] {
    const char* n = std::getenv("VEXANET_TEST_HANG_SERIAL");
    return n != nullptr ? std::atol(n) : 0L;
  }();
  std::atomic<long> sends_{0};
#endif
};
