#include "serial/SerOutPort.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "SerialKit/PortNames.h"
#include "SerialKit/SerInputStream.h"
#include "SerialKit/SerOutputStream.h"
#include "SerialKit/SerialConfig.h"
#include "SerialKit/SerialIOException.h"
#include "SerialKit/SerialPortLocal.h"
#include "base/Console.h"
#include "base/Hex.h"

namespace {

using Clock = std::chrono::steady_clock;
using SerialKit::IOErrorCause;
using SerialKit::IOErrorDetail;
using SerialKit::SerialConfig;

// Pause after every successful send; the relay board's timing rests on it.
constexpr std::chrono::milliseconds kSendPause{150};
// How often the retry thread looks again for the order lock while another thread holds it.
constexpr std::chrono::milliseconds kOrderLockPoll{20};
// The retry thread never tries more often than this, whatever interval a test sets.
constexpr Clock::duration kShortestRetry = std::chrono::milliseconds(10);
// How often the retry thread looks at an open line with no traffic for a hang-up: an adapter
// pulled and plugged back between two relay commands is noticed without a command, and the
// board gets its states back within about this plus the retry interval.
constexpr std::chrono::milliseconds kWatchInterval{500};

// The class-wide values: the code of the most recent construction and the trace of the last
// exchange. Any object's thread may write them; the trace is read-modify-written by ReadSer.
std::atomic<int32_t> gNoCOM{SerOutPort::kUsable};

struct Trace {
  std::mutex m;
  std::string text;
};

Trace& TheTrace() {
  static Trace trace;
  return trace;
}

void SetTrace(std::string text) {
  Trace& t = TheTrace();
  std::lock_guard lock(t.m);
  t.text = std::move(text);
}

void AppendTrace(const std::string& text) {
  Trace& t = TheTrace();
  std::lock_guard lock(t.m);
  t.text += text;
}

std::string Hex(std::span<const uint8_t> bytes, size_t n) {
  const size_t clamped =
      std::min<size_t>(n, static_cast<size_t>(std::numeric_limits<int32_t>::max()));
  return vexanet::hex::BS2S(bytes, static_cast<int32_t>(clamped));
}

// The reason a lost line gives: the port's message and, when the driver said, the system's.
std::string LostReason(const std::string& message, const IOErrorDetail& d) {
  if (d.osError == 0) return message;
  return message + " (" + std::system_category().message(d.osError) + ")";
}

// The line after the failed open's own one that tells a person what to do, if there is one.
std::optional<std::string> OpenHint(const IOErrorDetail& d, const std::string& portName) {
  const std::string device = d.device.empty() ? portName : d.device;
  switch (d.cause) {
    case IOErrorCause::kAccessDenied:
#ifdef _WIN32
      return "Serial line: " + device +
             ": access denied: the user running the server must be allowed to open it, and no "
             "other program may hold it open";
#else
      return "Serial line: " + device +
             ": permission denied: the user running the server must be allowed to open it (on "
             "Debian: the dialout group)";
#endif
    case IOErrorCause::kMissing: {
      const int n = SerialKit::comNumber(portName);
      if (n == 0) return "Serial line: " + device + " does not exist";
      const std::string var = SerialKit::comOverrideVariable(n);
#ifdef _WIN32
      return "Serial line: " + device +
             " does not exist: check that the adapter is plugged in and which COM port it got; " +
             var + " can name another port (e.g. " + var + "=COM7)";
#else
      return "Serial line: " + device + " does not exist; " + var +
             " can name another device (e.g. " + var + "=/dev/ttyUSB0, or a /dev/serial/by-id/ path)";
#endif
    }
    default: {
      // The driver's words for what is wrong with the path (not a terminal, a link loop).
      if (d.reason.empty()) return std::nullopt;
      std::string hint = "Serial line: " + device + ": " + d.reason;
      const int n = SerialKit::comNumber(portName);
      if (n > 0) {
        const std::string var = SerialKit::comOverrideVariable(n);
#ifdef _WIN32
        hint += "; " + var + " must name the serial port (e.g. " + var + "=COM7)";
#else
        hint += "; " + var + " must name the serial device (e.g. " + var +
                "=/dev/ttyUSB0, or a /dev/serial/by-id/ path)";
#endif
      }
      return hint;
    }
  }
}

}  // namespace

// Every field is guarded by m. The port object and its streams are used by one thread at a time
// only, so a send or a read holds m while it talks to the port; the pause after a send does not.
struct SerOutPort::State {
  std::mutex m;
  // Wakes the retry thread (line lost, stop) and the threads waiting for a resend to end.
  std::condition_variable cv;

  int32_t txBuf = 2048;
  int32_t rxBuf = 4096;
  int32_t numBytes = 0;
  int32_t SerError = 0;
  std::shared_ptr<SerialConfig> serCfg;
  std::shared_ptr<SerialKit::SerialPort> serialPort;
  std::unique_ptr<SerialKit::SerOutputStream> SerialOutStream;
  std::unique_ptr<SerialKit::SerInputStream> SerialInStream;
  Buffer serin{};
  // A send to an open port failed and no send has succeeded since: said once on the console.
  bool failing = false;

  std::string portName;
  bool wanted = true;        // false for "COM0"
  bool open = false;         // port and both streams are there and no loss has been seen
  bool announced = false;    // the console last heard that the line works (open at start, "back")
  std::string device;        // the device path the driver last resolved
  Clock::time_point lastTry{};
  Clock::duration retryInterval = kRetryInterval;
  bool resending = false;    // the reconnect function runs on `resender`
  std::thread::id resender;
  std::shared_ptr<const std::function<void()>> onReconnect;
  std::mutex* orderLock = nullptr;
  std::function<void(bool, const std::string&)> onLineChange;  // SetOnLineChange
  bool stop = false;
  std::thread retry;

  // Failure of the last OpenLine: the console line of the constructor and the driver's detail.
  struct OpenFailure {
    std::string line;
    IOErrorDetail detail;
  };

  // Opens the port and attaches both streams; returns the not-communicating code. What opened
  // stays, as it always did at construction; Recover closes it again when the code is not 0.
  int32_t OpenLine(OpenFailure* failure) {
    try {
      auto port = std::make_shared<SerialKit::SerialPortLocal>(serCfg);
      if (!port->devicePath().empty()) device = port->devicePath();
      serialPort = std::move(port);
    } catch (const SerialKit::SerialIOException& e) {
      if (!e.detail().device.empty()) device = e.detail().device;
      if (failure) *failure = {std::string("SerialIOException: ") + e.what(), e.detail()};
      return kOpenFailed;
    } catch (const std::exception& e) {
      if (failure) *failure = {e.what(), {}};
      return kOpenFailed;
    }
    int32_t code = kUsable;
    try {
      SerialOutStream = std::make_unique<SerialKit::SerOutputStream>(serialPort);
    } catch (const std::exception&) {
      code = kOutStreamFailed;
    }
    try {
      SerialInStream = std::make_unique<SerialKit::SerInputStream>(serialPort);
    } catch (const std::exception&) {
      code = kInStreamFailed;
    }
    return code;
  }

  // Lets go of the port: the streams first, as they hold it too.
  void CloseLine() {
    SerialOutStream.reset();
    SerialInStream.reset();
    serialPort.reset();  // the port object closes the line
  }

  std::string DeviceName() const { return device.empty() ? portName : device; }

  bool DueForTry() const { return Clock::now() - lastTry >= retryInterval; }

  // Waits while another thread sends the relay states again after a reopen.
  void WaitForResend(std::unique_lock<std::mutex>& lock) {
    const std::thread::id me = std::this_thread::get_id();
    cv.wait(lock, [&] { return !resending || resender == me; });
  }

  // The device has gone: the line is closed at once (a descriptor held on a vanished adapter
  // keeps its device name taken) and the retry thread is woken.
  void LineLost(const std::string& reason) {
    CloseLine();
    open = false;
    failing = false;
    lastTry = Clock::now();  // the failed transfer counts as a try
    if (announced) {
      vexanet::ConsoleLine("Serial line lost: " + reason);
      if (onLineChange) onLineChange(false, reason);
    }
    announced = false;
    cv.notify_all();
  }

  // Looks at the open line without sending: a device that has gone (hung up, unplugged) loses
  // the line. Asking how many bytes wait is the cheapest call that reaches the device.
  void Watch() {
    if (!open || resending || !SerialInStream) return;
    try {
      SerialInStream->available();
    } catch (const SerialKit::SerialIOException& e) {
      if (e.detail().cause == IOErrorCause::kDeviceGone) {
        LineLost(LostReason("the device hung up while the line was idle", e.detail()));
      }
    } catch (const std::exception&) {
      // Not a loss; the next send says what is wrong.
    }
  }

  // A send failed: a vanished device loses the line; any other failure is said once per run.
  void SendFailed(const std::string& message, const IOErrorDetail& detail) {
    SerError = 1;
    if (detail.cause == IOErrorCause::kDeviceGone) {
      LineLost(LostReason(message, detail));
      return;
    }
    if (!failing) vexanet::ConsoleLine("Serial line send failed: " + message);
    failing = true;
  }
};

SerOutPort::SerOutPort(const std::string& portName, const std::string& /*devType*/,
                       int32_t /*rate*/, int32_t /*dataBits*/, int32_t /*stopBits*/,
                       const std::string& /*parity*/, const std::string& /*handshake*/)
    : st_(std::make_unique<State>()) {
  {
    // No other thread knows this object yet; the lock only keeps the rule "fields under m".
    std::lock_guard lock(st_->m);
    st_->portName = portName;
    st_->serCfg = std::make_shared<SerialConfig>(portName);
    SerialConfig& cfg = *st_->serCfg;
    cfg.setBitRate(SerialConfig::BR_9600);
    cfg.setParity(SerialConfig::PY_NONE);
    cfg.setHandshake(SerialConfig::HS_NONE);
    cfg.setStopBits(SerialConfig::ST_1BITS);
    cfg.setDataBits(SerialConfig::LN_8BITS);
    cfg.setHardFlow(false);
    cfg.setTxLen(st_->txBuf);
    cfg.setRxLen(st_->rxBuf);

    gNoCOM.store(kUsable);
    // "COM0" asks for no line at all; sends then take the failed-send path.
    if (portName == "COM0") {
      st_->wanted = false;
      return;
    }

    State::OpenFailure failure;
    const int32_t code = st_->OpenLine(&failure);
    if (code == kOpenFailed) {
      vexanet::ConsoleLine(failure.line);
      if (auto hint = OpenHint(failure.detail, portName)) vexanet::ConsoleLine(*hint);
    }
    gNoCOM.store(code);
    st_->open = code == kUsable;
    st_->announced = st_->open;
    st_->lastTry = Clock::now();
  }
  st_->retry = std::thread([this] { RetryLoop(); });
}

SerOutPort::~SerOutPort() {
  {
    std::lock_guard lock(st_->m);
    st_->stop = true;
  }
  st_->cv.notify_all();
  if (st_->retry.joinable()) st_->retry.join();
}

int32_t SerOutPort::NoCOM() {
  return gNoCOM.load();
}

std::string SerOutPort::iodebug() {
  Trace& t = TheTrace();
  std::lock_guard lock(t.m);
  return t.text;
}

SerOutPort::Buffer SerOutPort::SendSerial(std::span<const uint8_t> bytes) {
  vexanet::BusyScope busy(&writing_);
#if defined(VEXANET_TEST_HOOKS)
  // Tests of the health check: a writer that never comes back.
  if (hangFrom_ > 0 && sends_.fetch_add(1) + 1 >= hangFrom_) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
#endif
  {
    std::lock_guard lock(st_->m);
    st_->SerError = 0;
  }
  SetTrace(std::string());
  if (SendSer(bytes)) std::this_thread::sleep_for(kSendPause);
  std::lock_guard lock(st_->m);
  return st_->serin;
}

bool SerOutPort::SendSer(std::span<const uint8_t> bytes) {
  SetTrace("Serial Out: " + Hex(bytes, bytes.size()) + "  ");
  std::unique_lock lock(st_->m);
  st_->WaitForResend(lock);
  if (!st_->SerialOutStream) {
    st_->SerError = 1;
    return false;
  }
  try {
    st_->SerialOutStream->write(bytes);
    st_->failing = false;
    return true;
  } catch (const SerialKit::SerialIOException& e) {
    st_->SendFailed(e.what(), e.detail());
  } catch (const std::exception& e) {
    st_->SendFailed(e.what(), {});
  }
  return false;
}

bool SerOutPort::SendSer(const std::string& text) {
  SetTrace("Serial Out: " + text + "  ");
  std::unique_lock lock(st_->m);
  st_->WaitForResend(lock);
  try {
    // A text goes to the port directly, not through the output stream.
    if (st_->serialPort) {
      st_->serialPort->putString(text + '\n');
      st_->failing = false;
      return true;
    }
  } catch (const SerialKit::SerialIOException& e) {
    st_->SendFailed(e.what(), e.detail());
    return false;
  } catch (const std::exception& e) {
    st_->SendFailed(e.what(), {});
    return false;
  }
  st_->SerError = 1;
  return false;
}

SerOutPort::Buffer SerOutPort::ReadSer() {
  std::unique_lock lock(st_->m);
  st_->WaitForResend(lock);
  st_->numBytes = 0;
  try {
    // Without an input stream there is no line to read from: a failed read.
    if (!st_->SerialInStream) throw SerialKit::SerialIOException("no input stream");
    while (st_->SerialInStream->available() > 0) {
      st_->numBytes = st_->SerialInStream->read(std::span<uint8_t>(st_->serin));
    }
    AppendTrace("Serial In: " + Hex(st_->serin, static_cast<size_t>(st_->numBytes)));
  } catch (const SerialKit::SerialIOException& e) {
    st_->SerError = 2;
    if (e.detail().cause == IOErrorCause::kDeviceGone) {
      st_->LineLost(LostReason(e.what(), e.detail()));
    }
  } catch (const std::exception&) {
    st_->SerError = 2;
  }
  return st_->serin;
}

int32_t SerOutPort::SerCount() const {
  std::lock_guard lock(st_->m);
  return st_->numBytes;
}

int32_t SerOutPort::GetSerError() const {
  std::lock_guard lock(st_->m);
  return st_->SerError;
}

// ---------------------------------------------------------------------------------------------
// Recovery

bool SerOutPort::Usable() {
  {
    std::unique_lock lock(st_->m);
    if (!st_->wanted) return true;
    st_->WaitForResend(lock);
    if (st_->open) return true;
    if (!st_->DueForTry()) return false;
  }
  return Recover(false);
}

// One try to open the line again, and on success the resend and the "back" line. The retry
// thread first takes the order lock (giving up when the object is being destroyed); a caller of
// Usable() already holds it. Returns whether the line is open afterwards.
bool SerOutPort::Recover(bool background) {
  State& s = *st_;
  std::unique_lock<std::mutex> order;
  while (background) {
    std::mutex* orderLock = nullptr;
    {
      std::lock_guard lock(s.m);
      if (s.stop) return false;
      orderLock = s.orderLock;
    }
    if (orderLock == nullptr) break;
    if (orderLock->try_lock()) {
      order = std::unique_lock(*orderLock, std::adopt_lock);
      break;
    }
    // A relay command holds the lock (for its 150 ms pause, say): look again shortly, and stay
    // stoppable meanwhile.
    std::unique_lock lock(s.m);
    s.cv.wait_for(lock, kOrderLockPoll, [&] { return s.stop; });
  }

  std::unique_lock lock(s.m);
  s.WaitForResend(lock);
  if (s.open) return true;
  if (!s.DueForTry()) return false;
  s.lastTry = Clock::now();
  s.CloseLine();
  if (s.OpenLine(nullptr) != kUsable) {
    s.CloseLine();
    return false;
  }
  s.open = true;
  s.failing = false;

  // Nothing else goes out until the recorded states have been sent again.
  s.resending = true;
  s.resender = std::this_thread::get_id();
  const std::shared_ptr<const std::function<void()>> resend = s.onReconnect;
  lock.unlock();
  if (resend && *resend) {
    try {
      (*resend)();
    } catch (const std::exception& e) {
      vexanet::ConsoleLine(std::string("Serial line: sending the relay states again failed: ") +
                           e.what());
    } catch (...) {
      vexanet::ConsoleLine("Serial line: sending the relay states again failed");
    }
  }
  lock.lock();
  s.resending = false;
  s.cv.notify_all();
  // Lost again during the resend: nothing was said, and nothing is.
  if (!s.open) return false;
  vexanet::ConsoleLine("Serial line back: " + s.DeviceName() +
                       (resend && *resend ? ", relay states sent again" : ""));
  s.announced = true;
  if (s.onLineChange) s.onLineChange(true, {});
  return true;
}

// The retry thread: looks at the open line twice a second; while the line is down, tries once
// per retry interval.
void SerOutPort::RetryLoop() {
  State& s = *st_;
  std::unique_lock lock(s.m);
  while (!s.stop) {
    if (!s.wanted) {
      s.cv.wait(lock);
      continue;
    }
    if (s.open) {
      if (!s.cv.wait_for(lock, kWatchInterval, [&] { return s.stop || !s.open; })) s.Watch();
      continue;
    }
    const Clock::time_point due = s.lastTry + std::max(s.retryInterval, kShortestRetry);
    if (Clock::now() < due) {
      s.cv.wait_until(lock, due);
      continue;
    }
    lock.unlock();
    Recover(true);
    lock.lock();
  }
}

void SerOutPort::SetOnReconnect(std::function<void()> resend, std::mutex* orderLock) {
  std::unique_lock lock(st_->m);
  st_->WaitForResend(lock);
  st_->onReconnect =
      resend ? std::make_shared<const std::function<void()>>(std::move(resend)) : nullptr;
  st_->orderLock = orderLock;
}

void SerOutPort::SetOnLineChange(std::function<void(bool up, const std::string& reason)> changed) {
  std::lock_guard lock(st_->m);
  st_->onLineChange = std::move(changed);
}

bool SerOutPort::IsOpen() const {
  std::lock_guard lock(st_->m);
  return st_->open;
}

std::string SerOutPort::DeviceName() const {
  std::lock_guard lock(st_->m);
  return st_->DeviceName();
}

void SerOutPort::SetRetryInterval(std::chrono::milliseconds interval) {
  {
    std::lock_guard lock(st_->m);
    st_->retryInterval = std::max(interval, std::chrono::milliseconds(0));
  }
  st_->cv.notify_all();
}
