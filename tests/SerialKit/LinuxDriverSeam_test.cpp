// The termios driver over a fake system-call seam: what a pseudo-terminal cannot show (parity
// and handshake bits, modem lines, break, unsent bytes, refused settings, open failure paths).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <ostream>
#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "SerialKit/SerialConfig.h"
#include "linux/LinuxDriver.h"

namespace SerialKit {
namespace {

using Bytes = std::vector<uint8_t>;

// One fake terminal per path in `devices` (device number = index + 1); every call is logged.
class FakeSys : public LinuxSysCalls {
 public:
  std::vector<std::string> devices = {"/dev/ttyS0", "/dev/ttyUSB0"};
  std::map<std::string, std::string> env;
  std::map<std::string, int> failNext;  // call name -> errno for its next call
  tcflag_t dropCflag = 0;               // bits the "device" silently refuses
  bool dropSpeed = false;
  int modemBits = 0;
  int outq = 0;
  int inq = 0;
  size_t writeChunk = 1000;  // bytes a write takes before EAGAIN
  bool pollWritable = true;
  std::deque<uint8_t> rx;
  bool hangUp = false;

  std::vector<std::string> log;
  std::set<int> openFds;
  int lastOpenFlags = 0;
  struct termios attrs {};
  std::vector<int> breaks;
  std::vector<int> pollTimeouts;
  Bytes written;

  int openPath(const char* path, int flags) override {
    log.push_back(std::string("open ") + path);
    if (int e = fail("open")) return e;
    lastOpenFlags = flags;
    const int fd = nextFd_++;
    openFds.insert(fd);
    fdDevice_[fd] = path;
    return fd;
  }
  int closeFd(int fd) override {
    log.push_back("close");
    openFds.erase(fd);
    return 0;
  }
  int statPath(const char* path, struct stat* st) override {
    if (int e = fail("stat")) return e;
    for (size_t i = 0; i < devices.size(); ++i) {
      if (devices[i] == path) {
        *st = {};
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = static_cast<dev_t>(i + 1);
        return 0;
      }
    }
    errno = ENOENT;
    return -1;
  }
  int fstatFd(int fd, struct stat* st) override { return statPath(fdDevice_[fd].c_str(), st); }
  int flockFd(int, int operation) override {
    log.push_back(operation == (LOCK_EX | LOCK_NB) ? "flock ex|nb"
                  : operation == LOCK_UN           ? "flock un"
                                                   : "flock ?");
    return fail("flock");
  }
  int ioctlNoArg(int, unsigned long request) override {
    log.push_back(request == TIOCEXCL ? "TIOCEXCL" : request == TIOCNXCL ? "TIOCNXCL" : "ioctl?");
    return fail("ioctl");
  }
  int ioctlInt(int, unsigned long request, int* arg) override {
    if (int e = fail("ioctl")) return e;
    switch (request) {
      case FIONREAD:
        *arg = inq;
        break;
      case TIOCOUTQ:
        *arg = outq;
        break;
      case TIOCMGET:
        *arg = modemBits;
        break;
      case TIOCMBIS:
        modemBits |= *arg;
        log.push_back("TIOCMBIS " + std::to_string(*arg));
        break;
      case TIOCMBIC:
        modemBits &= ~*arg;
        log.push_back("TIOCMBIC " + std::to_string(*arg));
        break;
      default:
        errno = EINVAL;
        return -1;
    }
    return 0;
  }
  int tcGetAttr(int, struct termios* t) override {
    if (int e = fail("tcgetattr")) return e;
    *t = attrs;
    return 0;
  }
  int tcSetAttr(int, int action, const struct termios* t) override {
    log.push_back(action == TCSANOW ? "tcsetattr now" : "tcsetattr ?");
    if (int e = fail("tcsetattr")) return e;
    const speed_t before = cfgetospeed(&attrs);
    attrs = *t;
    attrs.c_cflag &= ~dropCflag;
    if (dropSpeed) {
      cfsetispeed(&attrs, before);
      cfsetospeed(&attrs, before);
    }
    return 0;
  }
  int tcSendBreak(int, int duration) override {
    breaks.push_back(duration);
    return fail("tcsendbreak");
  }
  int tcFlush(int, int queue) override {
    log.push_back(queue == TCIFLUSH ? "tcflush in" : queue == TCOFLUSH ? "tcflush out" : "?");
    return fail("tcflush");
  }
  int tcDrain(int) override {
    log.push_back("tcdrain");
    return fail("tcdrain");
  }
  ssize_t readFd(int, void* buf, size_t count) override {
    if (int e = fail("read")) return e;
    if (rx.empty()) {
      errno = EAGAIN;
      return -1;
    }
    size_t n = 0;
    for (; n < count && !rx.empty(); ++n) {
      static_cast<uint8_t*>(buf)[n] = rx.front();
      rx.pop_front();
    }
    return static_cast<ssize_t>(n);
  }
  ssize_t writeFd(int, const void* buf, size_t count) override {
    if (int e = fail("write")) return e;
    if (writeChunk == 0) {
      errno = EAGAIN;
      return -1;
    }
    const size_t n = std::min(count, writeChunk);
    written.insert(written.end(), static_cast<const uint8_t*>(buf),
                   static_cast<const uint8_t*>(buf) + n);
    writeChunk -= n;
    return static_cast<ssize_t>(n);
  }
  int pollFds(struct pollfd* fds, nfds_t count, int timeoutMs) override {
    pollTimeouts.push_back(timeoutMs);
    if (count == 0) return 0;
    short ready = 0;
    if (hangUp) ready |= POLLHUP;
    if ((fds[0].events & POLLIN) && !rx.empty()) ready |= POLLIN;
    if ((fds[0].events & POLLOUT) && pollWritable) {
      ready |= POLLOUT;
      writeChunk = 1000;
    }
    fds[0].revents = ready;
    return ready != 0 ? 1 : 0;
  }
  std::optional<std::string> getEnv(const char* name) override {
    const auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  }

 private:
  int fail(const std::string& call) {
    const auto it = failNext.find(call);
    if (it == failNext.end()) return 0;
    errno = it->second;
    failNext.erase(it);
    return -1;
  }
  int nextFd_ = 10;
  std::map<int, std::string> fdDevice_;
};

class SerialKitSeam : public ::testing::Test {
 protected:
  int32_t open(const std::string& name = "/dev/ttyS0") {
    cfg = std::make_shared<SerialConfig>(name);
    const int32_t rc = driver.SerOpenPort(*cfg);
    return rc;
  }
  int32_t openAndConfigure(const std::function<void(SerialConfig&)>& settings = {}) {
    EXPECT_EQ(open(), 0);
    if (settings) settings(*cfg);
    return driver.SerConfigure(*cfg);
  }
  int32_t port() const { return cfg->getPort() - 1; }

  std::shared_ptr<FakeSys> sys = std::make_shared<FakeSys>();
  LinuxDriver driver{sys};
  std::shared_ptr<SerialConfig> cfg;
};

// ---------------------------------------------------------------------------------------------
// errno to result code: the one table

struct ErrnoCase {
  int err;
  int32_t code;
  const char* name;  // the errno's symbol, for the test's name
};
// ErrnoCase{EBUSY, 1002, "EBUSY"}
#define ERRNO_CASE(err, code) ErrnoCase{err, code, #err}

void PrintTo(const ErrnoCase& c, std::ostream* os) { *os << c.name << " -> " << c.code; }

class SerialKitErrnoTable : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(SerialKitErrnoTable, Maps) {
  EXPECT_EQ(LinuxDriver::errnoToResult(GetParam().err), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitErrnoTable,
    ::testing::Values(ERRNO_CASE(EWOULDBLOCK, 1002), ERRNO_CASE(EAGAIN, 1002), ERRNO_CASE(EBUSY, 1002),
                      ERRNO_CASE(ENOENT, 1003), ERRNO_CASE(ENODEV, 1003), ERRNO_CASE(ENXIO, 1003),
                      ERRNO_CASE(ENOTTY, 1003), ERRNO_CASE(EISDIR, 1003), ERRNO_CASE(ENOTDIR, 1003),
                      ERRNO_CASE(EIO, 1003), ERRNO_CASE(EACCES, 1004), ERRNO_CASE(EPERM, 1004),
                      ERRNO_CASE(EROFS, 1004), ERRNO_CASE(EINVAL, 1005), ERRNO_CASE(EMFILE, 1001),
                      ERRNO_CASE(EINTR, 1001), ErrnoCase{0, 1001, "no error"}));

// ---------------------------------------------------------------------------------------------
// open and close

TEST_F(SerialKitSeam, OpenTakesExclusiveUseAndCloseGivesItBack) {
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(sys->lastOpenFlags, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_EQ(sys->log, (std::vector<std::string>{"open /dev/ttyS0", "flock ex|nb", "TIOCEXCL"}));
  EXPECT_EQ(cfg->getPort(), LinuxDriver::kFirstPathNumber);
  sys->log.clear();
  EXPECT_EQ(driver.SerClosePort(port()), 0);
  EXPECT_EQ(sys->log, (std::vector<std::string>{"TIOCNXCL", "flock un", "close"}));
  EXPECT_TRUE(sys->openFds.empty());
}

struct OpenFailCase {
  const char* call;
  int err;
  int32_t code;
};

void PrintTo(const OpenFailCase& c, std::ostream* os) {
  *os << c.call << " errno " << c.err << " -> " << c.code;
}

class SerialKitOpenFailures : public SerialKitSeam,
                              public ::testing::WithParamInterface<OpenFailCase> {};

TEST_P(SerialKitOpenFailures, CodeAndDescriptorClosed) {
  sys->failNext[GetParam().call] = GetParam().err;
  EXPECT_EQ(open(), GetParam().code);
  EXPECT_TRUE(sys->openFds.empty());
  EXPECT_EQ(cfg->getPort(), 0);
  EXPECT_EQ(driver.SerClosePort(LinuxDriver::kFirstPathNumber - 1), -1);
  sys->failNext.clear();
  EXPECT_EQ(open(), 0);  // nothing was left behind
}

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitOpenFailures,
    ::testing::Values(OpenFailCase{"stat", ENOENT, 1003}, OpenFailCase{"open", EACCES, 1004},
                      OpenFailCase{"open", EBUSY, 1002}, OpenFailCase{"open", EIO, 1003},
                      OpenFailCase{"open", EMFILE, 1001}, OpenFailCase{"tcgetattr", ENOTTY, 1003},
                      OpenFailCase{"flock", EWOULDBLOCK, 1002},
                      OpenFailCase{"ioctl", EPERM, 1004}));

TEST_F(SerialKitSeam, PortNamesMapToDevicesAndNumbers) {
  sys->devices = {"/dev/ttyS0", "/dev/ttyS3", "/dev/ttyUSB0", "/dev/serial/by-id/x", "/dev/xS4"};
  sys->env["VEXANET_COM2"] = "/dev/ttyUSB0";
  sys->env["VEXANET_COM3"] = "";  // empty: not set

  struct Row {
    std::function<std::shared_ptr<SerialConfig>()> make;
    std::string path;
    int32_t number;
  };
  const std::vector<Row> rows = {
      {[] { return std::make_shared<SerialConfig>(std::string("COM1")); }, "/dev/ttyS0", 1},
      {[] { return std::make_shared<SerialConfig>(std::string("COM2")); }, "/dev/ttyUSB0", 2},
      {[] { return std::make_shared<SerialConfig>(std::string("COM3")); }, "/dev/ttyS2", 3},
      {[] { return std::make_shared<SerialConfig>(std::string("COM256")); }, "/dev/ttyS255", 256},
      {[] { return std::make_shared<SerialConfig>(4); }, "/dev/ttyS3", 4},
      {[] {
         auto c = std::make_shared<SerialConfig>(5);
         c->setBaseName("/dev/xS");
         return c;
       },
       "/dev/xS4", 5},
      {[] { return std::make_shared<SerialConfig>(std::string("/dev/serial/by-id/x")); },
       "/dev/serial/by-id/x", 0},
  };
  for (const Row& r : rows) {
    const auto c = r.make();
    const auto t = driver.resolve(*c);
    ASSERT_TRUE(t.has_value()) << r.path;
    EXPECT_EQ(t->path, r.path);
    EXPECT_EQ(t->number, r.number) << r.path;
  }
  for (const char* bad : {"COM0", "COM01", "COM257", "com1", "COM", "COM-1", "ttyS0", ""}) {
    EXPECT_FALSE(driver.resolve(SerialConfig(std::string(bad))).has_value()) << bad;
  }
  EXPECT_FALSE(driver.resolve(SerialConfig(0)).has_value());
  EXPECT_FALSE(driver.resolve(SerialConfig(-2)).has_value());
}

TEST_F(SerialKitSeam, NumbersAndAlreadyOpen) {
  SerialConfig a(std::string("/dev/ttyS0"));
  SerialConfig b(std::string("/dev/ttyUSB0"));
  ASSERT_EQ(driver.SerOpenPort(a), 0);
  ASSERT_EQ(driver.SerOpenPort(b), 0);
  EXPECT_EQ(a.getPort(), 257);
  EXPECT_EQ(b.getPort(), 258);
  SerialConfig com1(std::string("COM1"));  // the same device as a
  EXPECT_EQ(driver.SerOpenPort(com1), SerResult::kAlreadyOpen);
  EXPECT_EQ(driver.SerClosePort(256), 0);
  EXPECT_EQ(driver.SerOpenPort(com1), 0);
  EXPECT_EQ(com1.getPort(), 1);
  SerialConfig com1Again(std::string("COM1"));
  EXPECT_EQ(driver.SerOpenPort(com1Again), SerResult::kAlreadyOpen);
}

// ---------------------------------------------------------------------------------------------
// settings

struct LineCase {
  const char* label;
  int32_t bitRate, dataBits, parity, stopBits, handshake;
  speed_t speed;
  tcflag_t cflagSet;  // within CSIZE|PARENB|PARODD|CSTOPB|CRTSCTS
  tcflag_t iflagSet;  // within IXON|IXOFF|INPCK
  int32_t result;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.label; }

class SerialKitSeamSettings : public SerialKitSeam,
                              public ::testing::WithParamInterface<LineCase> {};

TEST_P(SerialKitSeamSettings, MapToTermios) {
  const LineCase& c = GetParam();
  sys->attrs.c_lflag = ICANON | ECHO | ISIG;
  sys->attrs.c_iflag = ICRNL | IXANY;
  sys->attrs.c_oflag = OPOST;
  const int32_t rc = openAndConfigure([&](SerialConfig& s) {
    s.setBitRate(c.bitRate);
    s.setDataBits(c.dataBits);
    s.setParity(c.parity);
    s.setStopBits(c.stopBits);
    s.setHandshake(c.handshake);
  });
  EXPECT_EQ(rc, c.result);
  if (c.result != 0) {
    EXPECT_EQ(sys->attrs.c_lflag, tcflag_t(ICANON | ECHO | ISIG));  // nothing was applied
    return;
  }
  const struct termios& t = sys->attrs;
  EXPECT_EQ(cfgetospeed(&t), c.speed);
  EXPECT_EQ(cfgetispeed(&t), c.speed);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS), c.cflagSet);
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | ICRNL | IXANY), c.iflagSet);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

using SC = SerialConfig;
INSTANTIATE_TEST_SUITE_P(
    All, SerialKitSeamSettings,
    ::testing::Values(LineCase{"b9600_8N1", SC::BR_9600, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS,
                               SC::HS_NONE, B9600, CS8, 0, 0},
                      LineCase{"b110_5O2", SC::BR_110, SC::LN_5BITS, SC::PY_ODD, SC::ST_2BITS,
                               SC::HS_NONE, B110, CS5 | PARENB | PARODD | CSTOPB, INPCK, 0},
                      LineCase{"b57600_6E1", SC::BR_57600, SC::LN_6BITS, SC::PY_EVEN, SC::ST_1BITS,
                               SC::HS_NONE, B57600, CS6 | PARENB, INPCK, 0},
                      LineCase{"b115200_7N1", SC::BR_115200, SC::LN_7BITS, SC::PY_NONE,
                               SC::ST_1BITS, SC::HS_NONE, B115200, CS7, 0, 0},
                      LineCase{"xonxoff", SC::BR_2400, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS,
                               SC::HS_XONXOFF, B2400, CS8, IXON | IXOFF, 0},
                      LineCase{"ctsrts", SC::BR_19200, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS,
                               SC::HS_CTSRTS, B19200, CS8 | CRTSCTS, 0, 0},
                      LineCase{"hardBoth", SC::BR_38400, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS,
                               0x30, B38400, CS8 | CRTSCTS, 0, 0},
                      LineCase{"softIn", SC::BR_300, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, 0x40,
                               B300, CS8, IXOFF, 0},
                      LineCase{"softOut", SC::BR_600, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, 0x80,
                               B600, CS8, IXON, 0},
                      LineCase{"allFlags", SC::BR_4800, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS,
                               0xF0, B4800, CS8 | CRTSCTS, IXON | IXOFF, 0},
                      LineCase{"hardInOnly", SC::BR_9600, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS,
                               0x10, B9600, 0, 0, SerResult::kBadSetting},
                      LineCase{"hardOutOnly", SC::BR_9600, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS,
                               0x60, B9600, 0, 0, SerResult::kBadSetting},
                      LineCase{"notAFlagSum", SC::BR_9600, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS,
                               17, B9600, 0, 0, SerResult::kBadSetting}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SerialKitSeam, DsrDtrHandshakeCannotBeDone) {
  ASSERT_EQ(open(), 0);
  const auto nt = SerialConfig::forOs("/dev/ttyS0", "Windows NT");
  nt->setHandshake(SerialConfig::HS_DSRDTR);
  EXPECT_EQ(driver.SerConfigure(*nt), SerResult::kBadSetting);
}

TEST_F(SerialKitSeam, SilentlyRefusedSettingsFailConfigure) {
  sys->dropCflag = PARENB;
  EXPECT_EQ(openAndConfigure([](SerialConfig& s) { s.setParity(SerialConfig::PY_EVEN); }),
            SerResult::kSettingRefused);
  sys->dropCflag = CRTSCTS;
  cfg->setParity(SerialConfig::PY_NONE);
  cfg->setHandshake(SerialConfig::HS_CTSRTS);
  EXPECT_EQ(driver.SerConfigure(*cfg), SerResult::kSettingRefused);
  sys->dropCflag = 0;
  sys->dropSpeed = true;
  cfg->setHandshake(SerialConfig::HS_NONE);
  cfg->setBitRate(SerialConfig::BR_115200);
  EXPECT_EQ(driver.SerConfigure(*cfg), SerResult::kSettingRefused);
  sys->dropSpeed = false;
  EXPECT_EQ(driver.SerConfigure(*cfg), 0);
}

TEST_F(SerialKitSeam, ConfigureFindsThePortByNumberOrName) {
  EXPECT_EQ(driver.SerConfigure(SerialConfig(std::string("/dev/ttyS0"))), SerResult::kNotOpen);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(driver.SerConfigure(SerialConfig(std::string("/dev/ttyS0"))), 0);  // port 0: by name
  SerialConfig byNumber(cfg->getPort());
  EXPECT_EQ(driver.SerConfigure(byNumber), 0);
  EXPECT_EQ(driver.SerConfigure(SerialConfig(std::string("/dev/ttyUSB0"))), SerResult::kNotOpen);
  sys->failNext["tcsetattr"] = EINVAL;
  EXPECT_EQ(driver.SerConfigure(*cfg), SerResult::kBadSetting);
}

// ---------------------------------------------------------------------------------------------
// signals, counts, break, flush

TEST_F(SerialKitSeam, ModemLines) {
  ASSERT_EQ(openAndConfigure(), 0);
  sys->modemBits = TIOCM_CTS | TIOCM_RNG;
  EXPECT_EQ(driver.SerSigCTS(port()), 1);
  EXPECT_EQ(driver.SerSigRing(port()), 1);
  EXPECT_EQ(driver.SerSigDSR(port()), 0);
  EXPECT_EQ(driver.SerSigCD(port()), 0);
  sys->modemBits = TIOCM_DSR | TIOCM_CAR;
  EXPECT_EQ(driver.SerSigCTS(port()), 0);
  EXPECT_EQ(driver.SerSigDSR(port()), 1);
  EXPECT_EQ(driver.SerSigCD(port()), 1);
  sys->log.clear();
  EXPECT_EQ(driver.SerSetDTR(port(), true), 0);
  EXPECT_EQ(driver.SerSetRTS(port(), true), 0);
  EXPECT_EQ(driver.SerSetDTR(port(), false), 0);
  EXPECT_EQ(sys->log, (std::vector<std::string>{"TIOCMBIS " + std::to_string(TIOCM_DTR),
                                                "TIOCMBIS " + std::to_string(TIOCM_RTS),
                                                "TIOCMBIC " + std::to_string(TIOCM_DTR)}));
  EXPECT_EQ(sys->modemBits & (TIOCM_DTR | TIOCM_RTS), TIOCM_RTS);
  sys->failNext["ioctl"] = ENOTTY;
  EXPECT_EQ(driver.SerSigCTS(port()), -1);
  EXPECT_EQ(driver.SerSigCTS(-1), -1);
  EXPECT_EQ(driver.SerSetRTS(-1, true), -1);
}

TEST_F(SerialKitSeam, CountsBreakFlushDrain) {
  ASSERT_EQ(openAndConfigure(), 0);
  sys->inq = 17;
  sys->outq = 42;
  EXPECT_EQ(driver.SerRxReadyCount(port()), 17);
  EXPECT_EQ(driver.SerTxBufCount(port()), 42);
  EXPECT_EQ(driver.SerSendBreak(port(), 250), 0);
  EXPECT_EQ(driver.SerSendBreak(port(), 0), 0);
  EXPECT_EQ(driver.SerSendBreak(port(), -5), -1);
  EXPECT_EQ(sys->breaks, (std::vector<int>{250, 0}));
  sys->log.clear();
  EXPECT_EQ(driver.SerRxFlush(port()), 0);
  EXPECT_EQ(driver.SerTxFlush(port()), 0);
  EXPECT_EQ(driver.SerTxDrain(port()), 0);
  EXPECT_EQ(sys->log, (std::vector<std::string>{"tcflush in", "tcflush out", "tcdrain"}));
  sys->failNext["tcdrain"] = EINTR;
  EXPECT_EQ(driver.SerTxDrain(port()), -1);
  EXPECT_EQ(driver.SerTxBufCount(-1), -1);
  // Conditions this driver does not report.
  EXPECT_EQ(driver.SerSigBreak(port()), -1);
  EXPECT_EQ(driver.SerRxOverflow(port()), -1);
  EXPECT_NE(driver.SerSigParityErr(port()), 1);
}

// ---------------------------------------------------------------------------------------------
// data and timeouts

TEST_F(SerialKitSeam, WritesWaitForRoomUpToTheTransmitTimeout) {
  ASSERT_EQ(openAndConfigure(), 0);
  const Bytes data = {1, 2, 3, 4, 5, 6, 7};
  sys->writeChunk = 3;
  EXPECT_EQ(driver.SerPutData(port(), data), 7);  // poll gave room after three bytes
  EXPECT_EQ(sys->written, data);

  sys->written.clear();
  sys->writeChunk = 3;
  sys->pollWritable = false;
  sys->pollTimeouts.clear();
  EXPECT_EQ(driver.SerPutData(port(), data), 3);  // timeout 0: what fits now
  EXPECT_EQ(sys->pollTimeouts, std::vector<int>{0});

  ASSERT_EQ(driver.SerSetTimeoutTx(port(), 2147483647), 0);
  EXPECT_EQ(driver.SerGetTimeoutTx(port()), 2147483647);
  sys->writeChunk = 0;
  sys->pollTimeouts.clear();
  sys->hangUp = true;
  EXPECT_EQ(driver.SerPutData(port(), data), -1);
  ASSERT_EQ(sys->pollTimeouts.size(), 1u);
  EXPECT_GT(sys->pollTimeouts[0], 2000000);
}

TEST_F(SerialKitSeam, ReadsAndTheReceiveTimeout) {
  ASSERT_EQ(openAndConfigure(), 0);
  EXPECT_EQ(driver.SerGetByte(port()), -1);
  sys->rx = {9, 8, 7};
  EXPECT_EQ(driver.SerGetByte(port()), 9);
  Bytes buf(2);
  EXPECT_EQ(driver.SerGetData(port(), buf), 2);
  EXPECT_EQ(buf, (Bytes{8, 7}));
  EXPECT_EQ(driver.SerGetData(port(), std::span<uint8_t>()), 0);
  ASSERT_EQ(driver.SerSetTimeoutRx(port(), 300), 0);
  sys->pollTimeouts.clear();
  EXPECT_EQ(driver.SerGetData(port(), buf), 0);
  ASSERT_EQ(sys->pollTimeouts.size(), 1u);
  EXPECT_GT(sys->pollTimeouts[0], 250);
  EXPECT_LE(sys->pollTimeouts[0], 300);
}

TEST_F(SerialKitSeam, IoErrorMarksDeviceGone) {
  ASSERT_EQ(openAndConfigure(), 0);
  sys->rx = {1};
  sys->failNext["read"] = EIO;
  EXPECT_EQ(driver.SerGetByte(port()), -1);
  sys->log.clear();
  EXPECT_EQ(driver.SerRxReadyCount(port()), -1);
  EXPECT_EQ(driver.SerPutByte(port(), 1), -1);
  EXPECT_NE(driver.SerConfigure(*cfg), 0);
  EXPECT_TRUE(sys->log.empty());  // no further system calls on a vanished device
  EXPECT_EQ(driver.SerClosePort(port()), 0);
  EXPECT_TRUE(sys->openFds.empty());
}

TEST_F(SerialKitSeam, FlowTaskIsABoundedPause) {
  ASSERT_EQ(open(), 0);
  sys->pollTimeouts.clear();
  EXPECT_EQ(driver.SerFlowTask(port()), 0);
  EXPECT_EQ(driver.SerFlowTask(-1), -1);
  EXPECT_EQ(sys->pollTimeouts,
            (std::vector<int>{LinuxDriver::kFlowTaskPauseMs, LinuxDriver::kFlowTaskPauseMs}));
}

TEST_F(SerialKitSeam, TimeoutsNeedAnOpenPortAndAreKeptPerPort) {
  EXPECT_EQ(driver.SerSetTimeoutRx(-1, 5), -1);
  EXPECT_EQ(driver.SerGetTimeoutRx(-1), -1);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(driver.SerGetTimeoutRx(port()), 0);
  EXPECT_EQ(driver.SerGetTimeoutTx(port()), 0);
  EXPECT_EQ(driver.SerSetTimeoutRx(port(), 250), 0);
  EXPECT_EQ(driver.SerSetTimeoutTx(port(), -1), -1);
  EXPECT_EQ(driver.SerGetTimeoutRx(port()), 250);
  EXPECT_EQ(driver.SerGetLibVer(), LinuxDriver::kLibVersion);
}

}  // namespace
}  // namespace SerialKit
