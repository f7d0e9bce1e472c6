#include "LinuxDriver.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <string>
#include <system_error>
#include <utility>

#include "SerialKit/SerialConfig.h"
#include "SerialKit/SerialIOException.h"

namespace SerialKit {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(int32_t ms) {
  return Clock::now() + std::chrono::milliseconds(std::max<int32_t>(ms, 0));
}

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left, INT_MAX));
}

// Waits until fd is ready for events or the deadline passes (EINTR restarts the wait). Returns
// poll's revents, 0 at the deadline.
short waitFor(LinuxSysCalls& sys, int fd, short events, Clock::time_point deadline) {
  for (;;) {
    struct pollfd p {};
    p.fd = fd;
    p.events = events;
    const int r = sys.pollFds(&p, 1, remainingMs(deadline));
    if (r > 0) return p.revents;
    if (r == 0) return 0;
    if (errno != EINTR) return POLLERR;
  }
}

bool hungUp(short revents) {
  return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// A descriptor that is closed unless released.
class FdGuard {
 public:
  FdGuard(LinuxSysCalls& sys, int fd) : sys_(sys), fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) {
      const int saved = errno;
      sys_.closeFd(fd_);
      errno = saved;
    }
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  LinuxSysCalls& sys_;
  int fd_;
};

std::string textUpToZero(const SerialConfig::Bytes& bytes) {
  const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
  return std::string(bytes.begin(), end);
}

std::optional<speed_t> speedFor(int32_t code) {
  static constexpr speed_t kSpeeds[] = {B110,  B150,  B300,   B600,   B1200,  B2400,
                                        B4800, B9600, B19200, B38400, B57600, B115200};
  if (code < 0 || code >= static_cast<int32_t>(std::size(kSpeeds))) return std::nullopt;
  return kSpeeds[code];
}

constexpr tcflag_t kCflagMask = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CREAD | CLOCAL;
constexpr tcflag_t kIflagMask =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK;
constexpr tcflag_t kLflagMask = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN;
constexpr tcflag_t kOflagMask = OPOST;

}  // namespace

// One open device. The descriptor is closed, with its exclusive use and lock released, when
// the last user lets go.
struct LinuxDriver::OpenPort {
  OpenPort(std::shared_ptr<LinuxSysCalls> s, int f, dev_t d, int32_t n)
      : sys(std::move(s)), fd(f), rdev(d), number(n) {}
  ~OpenPort() {
    sys->ioctlNoArg(fd, TIOCNXCL);
    sys->flockFd(fd, LOCK_UN);
    sys->closeFd(fd);
  }
  OpenPort(const OpenPort&) = delete;
  OpenPort& operator=(const OpenPort&) = delete;

  // A failed system call: an I/O error means the device has gone. Notes the cause for the
  // caller's error (errno is kept) and returns -1.
  int32_t failed() {
    const int err = errno;
    if (err == EIO || err == ENXIO || err == ENODEV) {
      vanished(err);
    } else {
      noteIOError({IOErrorCause::kUnknown, err, {}});
    }
    errno = err;
    return SerResult::kFailure;
  }
  // The device has gone (a hang-up, or an I/O error of a system call).
  void vanished(int err) {
    int expected = 0;
    goneError.compare_exchange_strong(expected, err);
    gone.store(true);
    noteIOError({IOErrorCause::kDeviceGone, goneError.load(), {}});
  }
  // Every operation on a gone device fails at once, with the cause noted again. Returns -1.
  int32_t refuseGone() {
    noteIOError({IOErrorCause::kDeviceGone, goneError.load(), {}});
    return SerResult::kFailure;
  }

  const std::shared_ptr<LinuxSysCalls> sys;
  const int fd;
  const dev_t rdev;
  const int32_t number;  // counted from 1
  std::atomic<int32_t> rxTimeout{0};
  std::atomic<int32_t> txTimeout{0};
  std::atomic<bool> gone{false};
  std::atomic<int> goneError{0};  // the errno that showed it gone (EIO for a hang-up)
};

LinuxDriver::LinuxDriver(std::shared_ptr<LinuxSysCalls> sys) : sys_(std::move(sys)) {}

LinuxDriver::~LinuxDriver() = default;

// What an errno value of a failed open says about the device.
IOErrorCause LinuxDriver::openCause(int err) noexcept {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
      return IOErrorCause::kMissing;
    case EACCES:
    case EPERM:
    case EROFS:
      return IOErrorCause::kAccessDenied;
    default:
      return IOErrorCause::kUnknown;
  }
}

// What a path that is not a terminal leads to, for a failed open's reason.
std::string LinuxDriver::notATerminalReason(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory, not a terminal";
  if (S_ISFIFO(mode)) return "is a FIFO (named pipe), not a terminal";
  if (S_ISREG(mode)) return "is a regular file, not a terminal";
  if (S_ISSOCK(mode)) return "is a socket, not a terminal";
  if (S_ISBLK(mode)) return "is a block device, not a terminal";
  return "is not a terminal";
}

// The system's message for an errno value, starting in lower case ("too many levels of symbolic
// links").
std::string LinuxDriver::systemReason(int err) {
  std::string text = std::system_category().message(err);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

// The one place where system errors become result codes.
int32_t LinuxDriver::errnoToResult(int err) noexcept {
  if (err == EAGAIN || err == EWOULDBLOCK || err == EBUSY) return SerResult::kInUse;
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTTY:
    case ENOTDIR:
    case EISDIR:
    case EIO:
      return SerResult::kNotValid;
    case EACCES:
    case EPERM:
    case EROFS:
      return SerResult::kAccessDenied;
    case EINVAL:
      return SerResult::kBadSetting;
    default:
      return SerResult::kOpenFailed;
  }
}

std::optional<LinuxDriver::Target> LinuxDriver::resolve(const SerialConfig& config) {
  const std::string name = textUpToZero(*config.getPortName());
  std::string base = "/dev/ttyS";
  int32_t n = 0;
  if (!name.empty()) {
    if (name[0] == '/') return Target{name, 0};
    n = SerialKit::comNumber(name);
  } else {
    n = config.getPort();
    const std::string configured = textUpToZero(*config.getBaseName());
    if (!configured.empty()) base = configured;
  }
  if (n < 1 || n > kMaxComNumber) return std::nullopt;
  const std::optional<std::string> env = sys_->getEnv(comOverrideVariable(n).c_str());
  if (env && !env->empty()) return Target{*env, n};
  return Target{base + std::to_string(n - 1), n};
}

std::optional<struct termios> LinuxDriver::buildTermios(const struct termios& base,
                                                        const SerialConfig& config) {
  struct termios t = base;
  const std::optional<speed_t> speed = speedFor(config.getBitRate());
  if (!speed) return std::nullopt;

  tcflag_t size = 0;
  switch (config.getDataBits()) {
    case SerialConfig::LN_5BITS:
      size = CS5;
      break;
    case SerialConfig::LN_6BITS:
      size = CS6;
      break;
    case SerialConfig::LN_7BITS:
      size = CS7;
      break;
    case SerialConfig::LN_8BITS:
      size = CS8;
      break;
    default:
      return std::nullopt;
  }
  tcflag_t parity = 0;
  switch (config.getParity()) {
    case SerialConfig::PY_NONE:
      break;
    case SerialConfig::PY_ODD:
      parity = PARENB | PARODD;
      break;
    case SerialConfig::PY_EVEN:
      parity = PARENB;
      break;
    default:
      return std::nullopt;
  }
  tcflag_t stop = 0;
  switch (config.getStopBits()) {
    case SerialConfig::ST_1BITS:
      break;
    case SerialConfig::ST_2BITS:
      stop = CSTOPB;
      break;
    default:
      return std::nullopt;
  }

  tcflag_t hardware = 0;
  tcflag_t software = 0;
  const int32_t hs = config.getHandshake();
  if (hs == SerialConfig::HS_NONE) {
  } else if (hs == SerialConfig::HS_XONXOFF) {
    software = IXON | IXOFF;
  } else if (hs == SerialConfig::HS_CTSRTS) {
    hardware = CRTSCTS;
  } else if (hs >= SerialConfig::HS_HARD_IN && hs <= 0xF0 && (hs & 0x0F) == 0) {
    const bool hardIn = (hs & SerialConfig::HS_HARD_IN) != 0;
    const bool hardOut = (hs & SerialConfig::HS_HARD_OUT) != 0;
    if (hardIn != hardOut) return std::nullopt;  // the line has no one-sided hardware flow
    if (hardIn) hardware = CRTSCTS;
    if (hs & SerialConfig::HS_SOFT_IN) software |= IXOFF;
    if (hs & SerialConfig::HS_SOFT_OUT) software |= IXON;
  } else {
    return std::nullopt;  // DSR/DTR, or not a handshake at all
  }

  // Raw mode, no echo, no output processing; reads return what is there.
  t.c_iflag &= ~kIflagMask;
  t.c_iflag |= software;
  if (parity != 0) t.c_iflag |= INPCK;
  t.c_oflag &= ~kOflagMask;
  t.c_lflag &= ~kLflagMask;
  t.c_cflag &= ~kCflagMask;
  t.c_cflag |= CREAD | CLOCAL | size | parity | stop | hardware;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  t.c_cc[VSTART] = 0x11;
  t.c_cc[VSTOP] = 0x13;
  if (cfsetispeed(&t, *speed) != 0 || cfsetospeed(&t, *speed) != 0) return std::nullopt;
  return t;
}

bool LinuxDriver::sameSettings(const struct termios& wanted, const struct termios& got) {
  const auto ispeed = [](const struct termios& t) {
    const speed_t s = cfgetispeed(&t);
    return s == 0 ? cfgetospeed(&t) : s;
  };
  return (wanted.c_cflag & kCflagMask) == (got.c_cflag & kCflagMask) &&
         (wanted.c_iflag & kIflagMask) == (got.c_iflag & kIflagMask) &&
         (wanted.c_lflag & kLflagMask) == (got.c_lflag & kLflagMask) &&
         (wanted.c_oflag & kOflagMask) == (got.c_oflag & kOflagMask) &&
         cfgetospeed(&wanted) == cfgetospeed(&got) && ispeed(wanted) == ispeed(got) &&
         wanted.c_cc[VMIN] == got.c_cc[VMIN] && wanted.c_cc[VTIME] == got.c_cc[VTIME];
}

std::shared_ptr<LinuxDriver::OpenPort> LinuxDriver::find(int32_t port) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = ports_.find(port);
  return it == ports_.end() ? nullptr : it->second;
}

std::shared_ptr<LinuxDriver::OpenPort> LinuxDriver::findByDevice(dev_t rdev) const {
  for (const auto& [number, p] : ports_) {
    if (p->rdev == rdev) return p;
  }
  return nullptr;
}

// The open port a record refers to: by its port number, else by the device it names.
std::shared_ptr<LinuxDriver::OpenPort> LinuxDriver::findForConfig(const SerialConfig& config) {
  if (config.getPort() > 0) {
    if (auto p = find(config.getPort() - 1)) return p;
  }
  const std::optional<Target> target = resolve(config);
  if (!target) return nullptr;
  struct stat st {};
  if (sys_->statPath(target->path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  return findByDevice(st.st_rdev);
}

// ---------------------------------------------------------------------------------------------
// Open, configure, close

int32_t LinuxDriver::SerOpenPort(SerialConfig& config) {
  const std::optional<Target> target = resolve(config);
  if (!target) return SerResult::kNotValid;
  const char* path = target->path.c_str();
  noteIODevice(target->path);
  // A failed system call: its cause noted for the caller's error, its result code returned.
  const auto refused = [&](int err) {
    noteIOError({openCause(err), err, target->path});
    return errnoToResult(err);
  };
  // The path leads to something that is not a terminal: "Port not valid", with what it is.
  const auto notATerminal = [&](mode_t mode) {
    noteIOError({IOErrorCause::kUnknown, 0, target->path, notATerminalReason(mode)});
    return SerResult::kNotValid;
  };

  std::lock_guard<std::mutex> lock(mutex_);
  if (target->number > 0 && ports_.count(target->number - 1) > 0) return SerResult::kAlreadyOpen;
  struct stat st {};
  if (sys_->statPath(path, &st) != 0) {
    // Beyond a missing device or a denied access, the path itself may be wrong (a link that
    // leads round in a circle, a name too long): the system's own words say which.
    const int err = errno;
    if (openCause(err) != IOErrorCause::kUnknown) return refused(err);
    noteIOError({IOErrorCause::kUnknown, err, target->path, systemReason(err)});
    return errnoToResult(err);
  }
  // Checked before the open: opening a FIFO would wait for its other end.
  if (!S_ISCHR(st.st_mode)) return notATerminal(st.st_mode);
  if (findByDevice(st.st_rdev)) return SerResult::kAlreadyOpen;

  FdGuard fd(*sys_, sys_->openPath(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return refused(errno);
  if (sys_->fstatFd(fd.get(), &st) != 0) return refused(errno);
  if (!S_ISCHR(st.st_mode)) return notATerminal(st.st_mode);
  if (findByDevice(st.st_rdev)) return SerResult::kAlreadyOpen;
  struct termios t {};
  if (sys_->tcGetAttr(fd.get(), &t) != 0) {
    // A character device that is no terminal (/dev/null) has no line settings.
    if (errno == ENOTTY || errno == EINVAL) return notATerminal(st.st_mode);
    return refused(errno);
  }

  int32_t number = target->number;
  if (number == 0) {
    const auto it = pathNumbers_.find(st.st_rdev);
    if (it != pathNumbers_.end()) {
      number = it->second;
    } else {
      if (nextPathNumber_ == INT32_MAX) return SerResult::kTooManyPorts;
      number = nextPathNumber_++;
      pathNumbers_[st.st_rdev] = number;
    }
  }

  // The lock keeps out every other process, root included; TIOCEXCL keeps out other opens.
  if (sys_->flockFd(fd.get(), LOCK_EX | LOCK_NB) != 0) return refused(errno);
  if (sys_->ioctlNoArg(fd.get(), TIOCEXCL) != 0) return refused(errno);

  ports_[number - 1] = std::make_shared<OpenPort>(sys_, fd.release(), st.st_rdev, number);
  config.setPortNum(number);
  return SerResult::kOk;
}

int32_t LinuxDriver::SerConfigure(const SerialConfig& config) {
  const std::shared_ptr<OpenPort> p = findForConfig(config);
  if (!p) return SerResult::kNotOpen;
  if (p->gone.load()) {
    p->refuseGone();
    return SerResult::kNotValid;
  }
  struct termios base {};
  if (sys_->tcGetAttr(p->fd, &base) != 0) {
    p->failed();
    return errnoToResult(errno);
  }
  const std::optional<struct termios> wanted = buildTermios(base, config);
  if (!wanted) return SerResult::kBadSetting;
  if (sys_->tcSetAttr(p->fd, TCSANOW, &*wanted) != 0) {
    p->failed();
    return errnoToResult(errno);
  }
  // tcsetattr succeeds when any part of the change was made: read back what the line took.
  struct termios got {};
  if (sys_->tcGetAttr(p->fd, &got) != 0) {
    p->failed();
    return errnoToResult(errno);
  }
  return sameSettings(*wanted, got) ? SerResult::kOk : SerResult::kSettingRefused;
}

int32_t LinuxDriver::SerClosePort(int32_t port) {
  std::shared_ptr<OpenPort> p;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = ports_.find(port);
    if (it == ports_.end()) return SerResult::kFailure;
    p = std::move(it->second);
    ports_.erase(it);
  }
  return SerResult::kOk;  // p's descriptor is closed here, outside the table lock
}

// ---------------------------------------------------------------------------------------------
// Data

int32_t LinuxDriver::SerPutByte(int32_t port, uint8_t b) {
  return SerPutData(port, std::span<const uint8_t>(&b, 1)) == 1 ? SerResult::kOk
                                                                : SerResult::kFailure;
}

int32_t LinuxDriver::SerPutData(int32_t port, std::span<const uint8_t> data) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  if (p->gone.load()) return p->refuseGone();
  const size_t total = std::min<size_t>(data.size(), INT32_MAX);
  const Clock::time_point deadline = deadlineAfter(p->txTimeout.load());
  size_t sent = 0;
  bool failed = false;
  while (sent < total) {
    const ssize_t n = sys_->writeFd(p->fd, data.data() + sent, total - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const short revents = waitFor(*sys_, p->fd, POLLOUT, deadline);
      if (revents & POLLOUT) continue;
      if (revents == 0) break;  // the transmit timeout passed
      p->vanished(EIO);
      failed = true;
      break;
    }
    if (n < 0) p->failed();
    failed = true;
    break;
  }
  if (sent == 0 && failed) return SerResult::kFailure;
  return static_cast<int32_t>(sent);
}

// Waits up to the receive timeout for the first byte, then reads what is there. Returns the
// count read, 0 when nothing came, -1 when the port is not open or the device has gone.
int32_t LinuxDriver::readInto(int32_t port, uint8_t* buf, size_t count) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  if (p->gone.load()) return p->refuseGone();
  if (count == 0) return 0;
  count = std::min<size_t>(count, INT32_MAX);
  const Clock::time_point deadline = deadlineAfter(p->rxTimeout.load());
  for (;;) {
    const short revents = waitFor(*sys_, p->fd, POLLIN, deadline);
    if (revents == 0) return 0;
    if (revents & POLLIN) {
      const ssize_t n = sys_->readFd(p->fd, buf, count);
      if (n > 0) return static_cast<int32_t>(n);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        if (Clock::now() >= deadline) return 0;
        continue;
      }
      if (n < 0) return p->failed();
      // End of file: a hang-up when poll said so, else simply nothing there.
      if (hungUp(revents)) {
        p->vanished(EIO);
        return SerResult::kFailure;
      }
      return 0;
    }
    p->vanished(EIO);  // hang-up or error without data
    return SerResult::kFailure;
  }
}

int32_t LinuxDriver::SerGetByte(int32_t port) {
  uint8_t b = 0;
  return readInto(port, &b, 1) == 1 ? static_cast<int32_t>(b) : SerResult::kFailure;
}

int32_t LinuxDriver::SerGetData(int32_t port, std::span<uint8_t> buf) {
  return readInto(port, buf.data(), buf.size());
}

// ---------------------------------------------------------------------------------------------
// Buffers, signals, break

int32_t LinuxDriver::SerRxFlush(int32_t port) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  if (p->gone.load()) return p->refuseGone();
  return sys_->tcFlush(p->fd, TCIFLUSH) == 0 ? SerResult::kOk : p->failed();
}

int32_t LinuxDriver::SerTxFlush(int32_t port) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  if (p->gone.load()) return p->refuseGone();
  return sys_->tcFlush(p->fd, TCOFLUSH) == 0 ? SerResult::kOk : p->failed();
}

int32_t LinuxDriver::SerTxDrain(int32_t port) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  if (p->gone.load()) return p->refuseGone();
  return sys_->tcDrain(p->fd) == 0 ? SerResult::kOk : p->failed();
}

int32_t LinuxDriver::SerRxReadyCount(int32_t port) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  if (p->gone.load()) return p->refuseGone();
  int count = 0;
  if (sys_->ioctlInt(p->fd, FIONREAD, &count) != 0) return p->failed();
  return count;
}

int32_t LinuxDriver::SerTxBufCount(int32_t port) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  if (p->gone.load()) return p->refuseGone();
  int count = 0;
  if (sys_->ioctlInt(p->fd, TIOCOUTQ, &count) != 0) return p->failed();
  return count;
}

int32_t LinuxDriver::modemBit(int32_t port, int bit) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  if (p->gone.load()) return p->refuseGone();
  int bits = 0;
  if (sys_->ioctlInt(p->fd, TIOCMGET, &bits) != 0) return p->failed();
  return (bits & bit) != 0 ? 1 : 0;
}

int32_t LinuxDriver::setModemBit(int32_t port, int bit, bool on) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  if (p->gone.load()) return p->refuseGone();
  int arg = bit;
  if (sys_->ioctlInt(p->fd, on ? TIOCMBIS : TIOCMBIC, &arg) != 0) return p->failed();
  return SerResult::kOk;
}

int32_t LinuxDriver::SerSigCTS(int32_t port) {
  return modemBit(port, TIOCM_CTS);
}
int32_t LinuxDriver::SerSigDSR(int32_t port) {
  return modemBit(port, TIOCM_DSR);
}
int32_t LinuxDriver::SerSigCD(int32_t port) {
  return modemBit(port, TIOCM_CAR);
}
int32_t LinuxDriver::SerSigRing(int32_t port) {
  return modemBit(port, TIOCM_RNG);
}
int32_t LinuxDriver::SerSetDTR(int32_t port, bool on) {
  return setModemBit(port, TIOCM_DTR, on);
}
int32_t LinuxDriver::SerSetRTS(int32_t port, bool on) {
  return setModemBit(port, TIOCM_RTS, on);
}

// Line error conditions are not reported by this driver.
int32_t LinuxDriver::SerRxOverflow(int32_t) {
  return SerResult::kFailure;
}
int32_t LinuxDriver::SerSigFrameErr(int32_t) {
  return SerResult::kFailure;
}
int32_t LinuxDriver::SerSigOverrun(int32_t) {
  return SerResult::kFailure;
}
int32_t LinuxDriver::SerSigBreak(int32_t) {
  return SerResult::kFailure;
}
int32_t LinuxDriver::SerSigParityErr(int32_t) {
  return SerResult::kFailure;
}

int32_t LinuxDriver::SerSendBreak(int32_t port, int32_t duration) {
  if (duration < 0) return SerResult::kFailure;
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p) return SerResult::kFailure;
  if (p->gone.load()) return p->refuseGone();
  return sys_->tcSendBreak(p->fd, duration) == 0 ? SerResult::kOk : p->failed();
}

// ---------------------------------------------------------------------------------------------
// Timeouts, flow task

int32_t LinuxDriver::SerSetTimeoutRx(int32_t port, int32_t ms) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p || ms < 0) return SerResult::kFailure;
  p->rxTimeout.store(ms);
  return SerResult::kOk;
}

int32_t LinuxDriver::SerSetTimeoutTx(int32_t port, int32_t ms) {
  const std::shared_ptr<OpenPort> p = find(port);
  if (!p || ms < 0) return SerResult::kFailure;
  p->txTimeout.store(ms);
  return SerResult::kOk;
}

int32_t LinuxDriver::SerGetTimeoutRx(int32_t port) {
  const std::shared_ptr<OpenPort> p = find(port);
  return p ? p->rxTimeout.load() : SerResult::kFailure;
}

int32_t LinuxDriver::SerGetTimeoutTx(int32_t port) {
  const std::shared_ptr<OpenPort> p = find(port);
  return p ? p->txTimeout.load() : SerResult::kFailure;
}

// The kernel runs flow control: one pass is a pause, holding nothing of the port.
int32_t LinuxDriver::SerFlowTask(int32_t port) {
  const bool open = find(port) != nullptr;
  sys_->pollFds(nullptr, 0, kFlowTaskPauseMs);
  return open ? SerResult::kOk : SerResult::kFailure;
}

}  // namespace SerialKit
