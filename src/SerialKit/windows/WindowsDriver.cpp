#include "WindowsDriver.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <iterator>
#include <tuple>
#include <utility>

#include "SerialKit/SerialConfig.h"
#include "SerialKit/SerialIOException.h"

namespace SerialKit {

namespace {

// A handle that is closed unless released.
class HandleGuard {
 public:
  HandleGuard(WindowsSysCalls& sys, HANDLE h) : sys_(sys), h_(h) {}
  ~HandleGuard() {
    if (h_ != INVALID_HANDLE_VALUE) sys_.closeHandle(h_);
  }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

 private:
  WindowsSysCalls& sys_;
  HANDLE h_;
};

std::string textUpToZero(const SerialConfig::Bytes& bytes) {
  const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
  return std::string(bytes.begin(), end);
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

constexpr const char* kDevicePrefix = "\\\\.\\";  // \\.\ (the Win32 device namespace)

bool startsWithDevicePrefix(const std::string& name) {
  return name.rfind(kDevicePrefix, 0) == 0;
}

// Windows port names: the letters in any case.
int32_t comNumberAnyCase(const std::string& name) {
  return comNumber(name, /*ignoreCase=*/true);
}

// \\.\COMn: the only form that reaches COM10 and above.
std::string comDevicePath(int32_t n) {
  return std::string(kDevicePrefix) + "COM" + std::to_string(n);
}

std::optional<DWORD> bitRateFor(int32_t code) {
  static constexpr DWORD kRates[] = {110,  150,  300,   600,   1200,  2400,
                                     4800, 9600, 19200, 38400, 57600, 115200};
  if (code < 0 || code >= static_cast<int32_t>(std::size(kRates))) return std::nullopt;
  return kRates[code];
}

// The errors after which the device is taken to be gone (an unplugged adapter): those that
// mean "no such device" when they come from reading, writing or asking the line's status.
bool meansGone(DWORD error) {
  return WindowsDriver::errorToResult(error) == SerResult::kNotValid;
}

}  // namespace

// One open device. The handle is closed when the last user lets go.
struct WindowsDriver::OpenPort {
  OpenPort(std::shared_ptr<WindowsSysCalls> s, HANDLE h, std::string k, int32_t n, DWORD rate)
      : sys(std::move(s)), handle(h), key(std::move(k)), number(n), bitRate(rate) {}
  ~OpenPort() { sys->closeHandle(handle); }
  OpenPort(const OpenPort&) = delete;
  OpenPort& operator=(const OpenPort&) = delete;

  // A failed read, write or status call: marks the device gone when the error says so.
  void failed(DWORD error) {
    if (meansGone(error)) {
      gone.store(true);
      noteIOError({IOErrorCause::kDeviceGone, static_cast<int32_t>(error), {}});
    }
  }

  const std::shared_ptr<WindowsSysCalls> sys;
  const HANDLE handle;
  const std::string key;  // the device path in upper case
  const int32_t number;   // counted from 1
  std::atomic<bool> gone{false};

  // The line's state as this driver set it; the lock is never held while waiting for data.
  std::mutex mutex;
  DWORD bitRate;
  int32_t rxTimeout = 0;
  int32_t txTimeout = 0;
  bool dtrOn = true;
  bool rtsOn = true;
  DWORD pendingErrors = 0;  // CE_* conditions collected and not yet reported
};

WindowsDriver::WindowsDriver(std::shared_ptr<WindowsSysCalls> sys) : sys_(std::move(sys)) {}

WindowsDriver::~WindowsDriver() = default;

// The one place where Windows errors become result codes.
int32_t WindowsDriver::errorToResult(DWORD error) noexcept {
  switch (error) {
    case ERROR_ACCESS_DENIED:  // what Windows says when another program has the port open
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return SerResult::kInUse;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_BAD_NETPATH:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_UNIT:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_FUNCTION:  // not a serial device
    case ERROR_NOT_SUPPORTED:
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return SerResult::kNotValid;
    case ERROR_PRIVILEGE_NOT_HELD:
      return SerResult::kAccessDenied;
    case ERROR_INVALID_PARAMETER:
      return SerResult::kBadSetting;
    default:
      return SerResult::kOpenFailed;
  }
}

std::optional<WindowsDriver::Target> WindowsDriver::resolve(const SerialConfig& config) {
  const std::string name = textUpToZero(*config.getPortName());
  int32_t n = 0;
  if (!name.empty()) {
    if (startsWithDevicePrefix(name)) {
      if (name.size() == 4) return std::nullopt;
      return Target{name, comNumberAnyCase(name.substr(4))};
    }
    n = comNumberAnyCase(name);
  } else {
    n = config.getPort();
  }
  if (n < 1 || n > kMaxComNumber) return std::nullopt;
  const std::optional<std::string> env = sys_->getEnv(comOverrideVariable(n).c_str());
  if (env && !env->empty()) {
    const int32_t k = comNumberAnyCase(*env);
    return Target{k > 0 ? comDevicePath(k) : *env, n};
  }
  return Target{comDevicePath(n), n};
}

std::optional<DCB> WindowsDriver::buildDcb(const DCB& base, const SerialConfig& config, bool dtrOn,
                                           bool rtsOn) {
  DCB d = base;
  d.DCBlength = sizeof(DCB);
  const std::optional<DWORD> rate = bitRateFor(config.getBitRate());
  if (!rate) return std::nullopt;
  d.BaudRate = *rate;

  switch (config.getDataBits()) {
    case SerialConfig::LN_5BITS:
      d.ByteSize = 5;
      break;
    case SerialConfig::LN_6BITS:
      d.ByteSize = 6;
      break;
    case SerialConfig::LN_7BITS:
      d.ByteSize = 7;
      break;
    case SerialConfig::LN_8BITS:
      d.ByteSize = 8;
      break;
    default:
      return std::nullopt;
  }
  switch (config.getParity()) {
    case SerialConfig::PY_NONE:
      d.Parity = NOPARITY;
      break;
    case SerialConfig::PY_ODD:
      d.Parity = ODDPARITY;
      break;
    case SerialConfig::PY_EVEN:
      d.Parity = EVENPARITY;
      break;
    default:
      return std::nullopt;
  }
  switch (config.getStopBits()) {
    case SerialConfig::ST_1BITS:
      d.StopBits = ONESTOPBIT;
      break;
    case SerialConfig::ST_2BITS:
      d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
      break;
    default:
      return std::nullopt;
  }

  bool hardIn = false;   // we hold the far end off with RTS
  bool hardOut = false;  // the far end holds us off with CTS
  bool dsrDtr = false;
  bool softIn = false;
  bool softOut = false;
  const int32_t hs = config.getHandshake();
  if (hs == SerialConfig::HS_NONE) {
  } else if (hs == SerialConfig::HS_XONXOFF) {
    softIn = softOut = true;
  } else if (hs == SerialConfig::HS_CTSRTS) {
    hardIn = hardOut = true;
  } else if (hs == SerialConfig::HS_DSRDTR) {
    dsrDtr = true;
  } else if (hs >= SerialConfig::HS_HARD_IN && hs <= 0xF0 && (hs & 0x0F) == 0) {
    hardIn = (hs & SerialConfig::HS_HARD_IN) != 0;
    hardOut = (hs & SerialConfig::HS_HARD_OUT) != 0;
    softIn = (hs & SerialConfig::HS_SOFT_IN) != 0;
    softOut = (hs & SerialConfig::HS_SOFT_OUT) != 0;
  } else {
    return std::nullopt;
  }

  d.fBinary = TRUE;
  d.fParity = d.Parity != NOPARITY;
  d.fOutxCtsFlow = hardOut;
  d.fOutxDsrFlow = dsrDtr;
  d.fDtrControl = dsrDtr ? DTR_CONTROL_HANDSHAKE : dtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  d.fRtsControl = hardIn ? RTS_CONTROL_HANDSHAKE : rtsOn ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  d.fDsrSensitivity = FALSE;
  d.fTXContinueOnXoff = TRUE;
  d.fOutX = softOut;
  d.fInX = softIn;
  d.fErrorChar = FALSE;
  d.fNull = FALSE;
  d.fAbortOnError = FALSE;  // line errors are collected, they do not stop reads and writes
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

bool WindowsDriver::sameSettings(const DCB& wanted, const DCB& got) {
  const auto handshake = [](const DCB& d) {
    return std::make_tuple(d.fOutxCtsFlow, d.fOutxDsrFlow, d.fOutX, d.fInX,
                           d.fRtsControl == RTS_CONTROL_HANDSHAKE,
                           d.fDtrControl == DTR_CONTROL_HANDSHAKE);
  };
  return wanted.BaudRate == got.BaudRate && wanted.ByteSize == got.ByteSize &&
         wanted.Parity == got.Parity && wanted.StopBits == got.StopBits &&
         handshake(wanted) == handshake(got);
}

COMMTIMEOUTS WindowsDriver::commTimeouts(int32_t rxMs, int32_t txMs, DWORD bitRate) {
  COMMTIMEOUTS t{};
  // Reading: MAXDWORD alone returns at once with what is there; with MAXDWORD as multiplier
  // too, a read waits up to the constant for the first byte.
  t.ReadIntervalTimeout = MAXDWORD;
  if (rxMs > 0) {
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(rxMs);
  }
  if (txMs > 0) {
    t.WriteTotalTimeoutConstant = static_cast<DWORD>(txMs);
  } else {
    // Twice the time of a character of up to 12 bits (start, 8 data, parity, 2 stop), plus a
    // second.
    const DWORD rate = std::max<DWORD>(bitRate, CBR_110);
    t.WriteTotalTimeoutMultiplier = 2 * ((12 * 1000 + rate - 1) / rate);
    t.WriteTotalTimeoutConstant = 1000;
  }
  return t;
}

std::shared_ptr<WindowsDriver::OpenPort> WindowsDriver::find(int32_t port) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : it->second;
}

std::shared_ptr<WindowsDriver::OpenPort> WindowsDriver::usable(int32_t port) const {
  std::shared_ptr<OpenPort> p = find(port);
  if (!p) return nullptr;
  if (p->gone.load()) {
    // Every later call on a vanished device says so again, as the first failure did.
    noteIOError({IOErrorCause::kDeviceGone, 0, {}});
    return nullptr;
  }
  return p;
}

std::shared_ptr<WindowsDriver::OpenPort> WindowsDriver::findByKey(const std::string& key) const {
  for (const auto& [number, p] : ports_) {
    if (p->key == key) return p;
  }
  return nullptr;
}

// The open port a record refers to: by its port number, else by the device it names.
std::shared_ptr<WindowsDriver::OpenPort> WindowsDriver::findForConfig(const SerialConfig& config) {
  if (config.getPort() > 0) {
    if (auto p = find(config.getPort() - 1)) return p;
  }
  const std::optional<Target> target = resolve(config);
  if (!target) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  return findByKey(upper(target->path));
}

// ---------------------------------------------------------------------------------------------
// Open, configure, close

int32_t WindowsDriver::SerOpenPort(SerialConfig& config) {
  const std::optional<Target> target = resolve(config);
  if (!target) return SerResult::kNotValid;
  const std::string key = upper(target->path);
  noteIODevice(target->path);

  std::lock_guard<std::mutex> lock(mutex_);
  // Windows refuses a second open itself, but as "in use" (and Wine does not refuse at all).
  if (target->number > 0 && ports_.count(target->number - 1) > 0) return SerResult::kAlreadyOpen;
  if (findByKey(key)) return SerResult::kAlreadyOpen;

  int32_t number = target->number;
  if (number == 0) {
    const auto it = pathNumbers_.find(key);
    if (it != pathNumbers_.end()) {
      number = it->second;
    } else {
      if (nextPathNumber_ == INT32_MAX) return SerResult::kTooManyPorts;
      number = nextPathNumber_++;
      pathNumbers_[key] = number;
    }
  }

  const HANDLE h =
      sys_->createFile(target->path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = sys_->lastError();
    const int32_t result = errorToResult(error);
    // The cause, for a message a person can act on: a port that is not there, or one this user
    // may not open (Windows says the same when another program holds it).
    IOErrorCause cause = IOErrorCause::kUnknown;
    if (result == SerResult::kNotValid) cause = IOErrorCause::kMissing;
    if (error == ERROR_ACCESS_DENIED || error == ERROR_PRIVILEGE_NOT_HELD) {
      cause = IOErrorCause::kAccessDenied;
    }
    noteIOError({cause, static_cast<int32_t>(error), target->path});
    return result;
  }
  HandleGuard guard(*sys_, h);
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!sys_->getCommState(h, &dcb)) return errorToResult(sys_->lastError());
  if (config.getRxLen() > 0 && config.getTxLen() > 0) {
    // Buffer sizes are a request; a device may keep its own.
    sys_->setupComm(h, static_cast<DWORD>(config.getRxLen()),
                    static_cast<DWORD>(config.getTxLen()));
  }
  const COMMTIMEOUTS timeouts = commTimeouts(0, 0, dcb.BaudRate);
  if (!sys_->setCommTimeouts(h, &timeouts)) return errorToResult(sys_->lastError());

  ports_[number - 1] = std::make_shared<OpenPort>(sys_, guard.release(), key, number, dcb.BaudRate);
  config.setPortNum(number);
  return SerResult::kOk;
}

int32_t WindowsDriver::SerConfigure(const SerialConfig& config) {
  const std::shared_ptr<OpenPort> p = findForConfig(config);
  if (!p) return SerResult::kNotOpen;
  if (p->gone.load()) return SerResult::kNotValid;
  std::lock_guard<std::mutex> lineLock(p->mutex);
  DCB base{};
  base.DCBlength = sizeof(DCB);
  if (!sys_->getCommState(p->handle, &base)) {
    const DWORD error = sys_->lastError();
    p->failed(error);
    return errorToResult(error);
  }
  const std::optional<DCB> wanted = buildDcb(base, config, p->dtrOn, p->rtsOn);
  if (!wanted) return SerResult::kBadSetting;
  if (!sys_->setCommState(p->handle, &*wanted)) return errorToResult(sys_->lastError());
  // A device may take a setting it cannot do without a word: read back what the line took.
  DCB got{};
  got.DCBlength = sizeof(DCB);
  if (!sys_->getCommState(p->handle, &got)) {
    const DWORD error = sys_->lastError();
    p->failed(error);
    return errorToResult(error);
  }
  if (!sameSettings(*wanted, got)) return SerResult::kSettingRefused;
  // The bound of a write without a transmit timeout follows the bit rate.
  p->bitRate = wanted->BaudRate;
  const COMMTIMEOUTS timeouts = commTimeouts(p->rxTimeout, p->txTimeout, p->bitRate);
  if (!sys_->setCommTimeouts(p->handle, &timeouts)) return errorToResult(sys_->lastError());
  return SerResult::kOk;
}

int32_t WindowsDriver::SerClosePort(int32_t port) {
  std::shared_ptr<OpenPort> p;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = ports_.find(port);
    if (it == ports_.end()) return SerResult::kFailure;
    p = std::move(it->second);
    ports_.erase(it);
  }
  return SerResult::kOk;  // p's handle is closed here, outside the table lock
}

// ---------------------------------------------------------------------------------------------
// Data

int32_t WindowsDriver::SerPutByte(int32_t port, uint8_t b) {
  return SerPutData(port, std::span<const uint8_t>(&b, 1)) == 1 ? SerResult::kOk
                                                                : SerResult::kFailure;
}

int32_t WindowsDriver::SerPutData(int32_t port, std::span<const uint8_t> data) {
  const std::shared_ptr<OpenPort> p = usable(port);
  if (!p) return SerResult::kFailure;
  const DWORD total = static_cast<DWORD>(std::min<size_t>(data.size(), INT32_MAX));
  if (total == 0) return 0;
  DWORD written = 0;
  if (!sys_->writeFile(p->handle, data.data(), total, &written)) {
    p->failed(sys_->lastError());
    if (written == 0) return SerResult::kFailure;
  }
  return static_cast<int32_t>(std::min<DWORD>(written, total));
}

// Waits up to the receive timeout for the first byte, then takes what else is waiting. Returns
// the count read, 0 when nothing came, -1 when the port is not open or the device has gone.
// Reads never ask for more than is waiting, except the one byte that is waited for: so a read
// returns as soon as there is something, whatever a driver makes of the read timeouts.
int32_t WindowsDriver::readInto(int32_t port, uint8_t* buf, size_t count) {
  const std::shared_ptr<OpenPort> p = usable(port);
  if (!p) return SerResult::kFailure;
  if (count == 0) return 0;
  count = std::min<size_t>(count, INT32_MAX);

  const auto waiting = [&]() -> std::optional<DWORD> {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!sys_->clearCommError(p->handle, &errors, &stat)) {
      p->failed(sys_->lastError());
      return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(p->mutex);
    p->pendingErrors |= errors;
    return stat.cbInQue;
  };

  std::optional<DWORD> ready = waiting();
  if (!ready) return SerResult::kFailure;
  size_t got = 0;
  if (*ready == 0) {
    DWORD n = 0;
    if (!sys_->readFile(p->handle, buf, 1, &n)) {
      p->failed(sys_->lastError());
      return SerResult::kFailure;
    }
    if (n == 0) return 0;  // nothing within the receive timeout
    got = 1;
    if (got == count) return 1;
    ready = waiting();
    if (!ready) return 1;
  }
  const DWORD more = static_cast<DWORD>(std::min<size_t>(count - got, *ready));
  if (more > 0) {
    DWORD n = 0;
    if (!sys_->readFile(p->handle, buf + got, more, &n)) {
      p->failed(sys_->lastError());
      return got > 0 ? static_cast<int32_t>(got) : SerResult::kFailure;
    }
    got += std::min(n, more);
  }
  return static_cast<int32_t>(got);
}

int32_t WindowsDriver::SerGetByte(int32_t port) {
  uint8_t b = 0;
  return readInto(port, &b, 1) == 1 ? static_cast<int32_t>(b) : SerResult::kFailure;
}

int32_t WindowsDriver::SerGetData(int32_t port, std::span<uint8_t> buf) {
  return readInto(port, buf.data(), buf.size());
}

// ---------------------------------------------------------------------------------------------
// Buffers, line errors, signals, break

int32_t WindowsDriver::purge(int32_t port, DWORD flags) {
  const std::shared_ptr<OpenPort> p = usable(port);
  if (!p) return SerResult::kFailure;
  return sys_->purgeComm(p->handle, flags) ? SerResult::kOk : SerResult::kFailure;
}

int32_t WindowsDriver::SerRxFlush(int32_t port) {
  return purge(port, PURGE_RXCLEAR);
}

int32_t WindowsDriver::SerTxFlush(int32_t port) {
  return purge(port, PURGE_TXCLEAR);
}

int32_t WindowsDriver::SerTxDrain(int32_t port) {
  const std::shared_ptr<OpenPort> p = usable(port);
  if (!p) return SerResult::kFailure;
  return sys_->flushFileBuffers(p->handle) ? SerResult::kOk : SerResult::kFailure;
}

// ClearCommError: the queue counts, and the line errors since the last call, which are kept
// until a query reports them.
bool WindowsDriver::collectErrors(OpenPort& p, COMSTAT& stat) {
  DWORD errors = 0;
  if (!sys_->clearCommError(p.handle, &errors, &stat)) {
    p.failed(sys_->lastError());
    return false;
  }
  std::lock_guard<std::mutex> lock(p.mutex);
  p.pendingErrors |= errors;
  return true;
}

int32_t WindowsDriver::queueCount(int32_t port, bool input) {
  const std::shared_ptr<OpenPort> p = usable(port);
  COMSTAT stat{};
  if (!p || !collectErrors(*p, stat)) return SerResult::kFailure;
  return static_cast<int32_t>(std::min<DWORD>(input ? stat.cbInQue : stat.cbOutQue, INT32_MAX));
}

int32_t WindowsDriver::lineError(int32_t port, DWORD condition) {
  const std::shared_ptr<OpenPort> p = usable(port);
  COMSTAT stat{};
  if (!p || !collectErrors(*p, stat)) return SerResult::kFailure;
  std::lock_guard<std::mutex> lock(p->mutex);
  const bool present = (p->pendingErrors & condition) != 0;
  p->pendingErrors &= ~condition;
  return present ? 1 : 0;
}

int32_t WindowsDriver::SerRxReadyCount(int32_t port) {
  return queueCount(port, true);
}
int32_t WindowsDriver::SerTxBufCount(int32_t port) {
  return queueCount(port, false);
}
int32_t WindowsDriver::SerRxOverflow(int32_t port) {
  return lineError(port, CE_RXOVER);
}
int32_t WindowsDriver::SerSigOverrun(int32_t port) {
  return lineError(port, CE_OVERRUN);
}
int32_t WindowsDriver::SerSigFrameErr(int32_t port) {
  return lineError(port, CE_FRAME);
}
int32_t WindowsDriver::SerSigParityErr(int32_t port) {
  return lineError(port, CE_RXPARITY);
}
int32_t WindowsDriver::SerSigBreak(int32_t port) {
  return lineError(port, CE_BREAK);
}

// Modem lines: a device without them (Wine's pseudo-terminals among them) fails the call.
int32_t WindowsDriver::modemLine(int32_t port, DWORD line) {
  const std::shared_ptr<OpenPort> p = usable(port);
  if (!p) return SerResult::kFailure;
  DWORD status = 0;
  if (!sys_->getCommModemStatus(p->handle, &status)) return SerResult::kFailure;
  return (status & line) != 0 ? 1 : 0;
}

int32_t WindowsDriver::SerSigCTS(int32_t port) {
  return modemLine(port, MS_CTS_ON);
}
int32_t WindowsDriver::SerSigDSR(int32_t port) {
  return modemLine(port, MS_DSR_ON);
}
int32_t WindowsDriver::SerSigCD(int32_t port) {
  return modemLine(port, MS_RLSD_ON);
}
int32_t WindowsDriver::SerSigRing(int32_t port) {
  return modemLine(port, MS_RING_ON);
}

int32_t WindowsDriver::setOutputLine(int32_t port, bool dtr, bool on) {
  const std::shared_ptr<OpenPort> p = usable(port);
  if (!p) return SerResult::kFailure;
  const DWORD function = dtr ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS);
  std::lock_guard<std::mutex> lock(p->mutex);
  if (!sys_->escapeCommFunction(p->handle, function)) return SerResult::kFailure;
  (dtr ? p->dtrOn : p->rtsOn) = on;
  return SerResult::kOk;
}

int32_t WindowsDriver::SerSetDTR(int32_t port, bool on) {
  return setOutputLine(port, true, on);
}
int32_t WindowsDriver::SerSetRTS(int32_t port, bool on) {
  return setOutputLine(port, false, on);
}

int32_t WindowsDriver::SerSendBreak(int32_t port, int32_t duration) {
  if (duration < 0) return SerResult::kFailure;
  const std::shared_ptr<OpenPort> p = usable(port);
  if (!p) return SerResult::kFailure;
  if (!sys_->escapeCommFunction(p->handle, SETBREAK)) return SerResult::kFailure;
  sys_->sleepMs(duration == 0 ? kDefaultBreakMs : static_cast<DWORD>(duration));
  return sys_->escapeCommFunction(p->handle, CLRBREAK) ? SerResult::kOk : SerResult::kFailure;
}

// ---------------------------------------------------------------------------------------------
// Timeouts, flow task

int32_t WindowsDriver::setTimeouts(int32_t port, std::optional<int32_t> rxMs,
                                   std::optional<int32_t> txMs) {
  if ((rxMs && *rxMs < 0) || (txMs && *txMs < 0)) return SerResult::kFailure;
  const std::shared_ptr<OpenPort> p = usable(port);
  if (!p) return SerResult::kFailure;
  std::lock_guard<std::mutex> lock(p->mutex);
  const int32_t rx = rxMs.value_or(p->rxTimeout);
  const int32_t tx = txMs.value_or(p->txTimeout);
  const COMMTIMEOUTS timeouts = commTimeouts(rx, tx, p->bitRate);
  if (!sys_->setCommTimeouts(p->handle, &timeouts)) return SerResult::kFailure;
  p->rxTimeout = rx;
  p->txTimeout = tx;
  return SerResult::kOk;
}

int32_t WindowsDriver::SerSetTimeoutRx(int32_t port, int32_t ms) {
  return setTimeouts(port, ms, std::nullopt);
}

int32_t WindowsDriver::SerSetTimeoutTx(int32_t port, int32_t ms) {
  return setTimeouts(port, std::nullopt, ms);
}

int32_t WindowsDriver::SerGetTimeoutRx(int32_t port) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  std::lock_guard<std::mutex> lock(p->mutex);
  return p->rxTimeout;
}

int32_t WindowsDriver::SerGetTimeoutTx(int32_t port) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  std::lock_guard<std::mutex> lock(p->mutex);
  return p->txTimeout;
}

// Windows runs flow control in its own driver: one pass is a pause, holding nothing of the port.
int32_t WindowsDriver::SerFlowTask(int32_t port) {
  const bool open = find(port) != nullptr;
  sys_->sleepMs(kFlowTaskPauseMs);
  return open ? SerResult::kOk : SerResult::kFailure;
}

}  // namespace SerialKit
