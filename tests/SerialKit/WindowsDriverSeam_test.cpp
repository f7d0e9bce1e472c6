// The Windows driver over a fake Win32 seam: what Wine cannot show (a second open refused,
// another program holding the port, modem lines, line errors, an unplugged adapter), the
// mapping of every Windows error, names, settings, timeouts and reads.
#include <gtest/gtest.h>

#include <ostream>
#include <algorithm>
#include <cctype>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SerialKit/NativeDriverRegistry.h"
#include "SerialKit/Platform.h"
#include "SerialKit/PortFeatures.h"
#include "SerialKit/SerialConfig.h"
#include "ThreadPriority.h"
#include "windows/WindowsDriver.h"

namespace SerialKit {
namespace {

using Bytes = std::vector<uint8_t>;

// Devices by path (compared in upper case, as Windows does); every call is logged.
class FakeWin : public WindowsSysCalls {
 public:
  std::set<std::string> devices = {"\\\\.\\COM1", "\\\\.\\COM3", "\\\\.\\COM12", "\\\\.\\CNCA0",
                                   "\\\\.\\CNCB0"};
  std::map<std::string, std::string> env;
  std::map<std::string, DWORD> failNext;  // call name -> error of its next call
  // What the "device" silently does not take.
  bool dropParity = false;
  bool dropBitRate = false;
  bool dropDsrFlow = false;

  DCB line{};
  COMMTIMEOUTS timeouts{};
  std::deque<uint8_t> rx;        // waiting to be read
  std::deque<uint8_t> arriving;  // comes in while a read waits
  DWORD outQueue = 0;
  DWORD lineErrors = 0;  // CE_* reported (and cleared) by the next ClearCommError
  DWORD modem = 0;
  DWORD writeRoom = MAXDWORD;  // bytes a write takes before its timeout cuts it short

  std::vector<std::string> log;
  std::set<HANDLE> openHandles;
  std::string lastPath;
  DWORD lastAccess = 0, lastShare = 99, lastCreation = 0, lastFlags = 99;
  DWORD setupIn = 0, setupOut = 0;
  std::vector<DWORD> readRequests;
  std::vector<DWORD> sleeps;
  Bytes written;

  FakeWin() {
    line.DCBlength = sizeof(DCB);
    line.BaudRate = 38400;  // as Wine finds a fresh pseudo-terminal
    line.ByteSize = 8;
    line.fOutX = TRUE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    line.XonLim = 10;
    line.XoffLim = 10;
  }

  HANDLE createFile(const char* path, DWORD access, DWORD share, DWORD creation,
                    DWORD flags) override {
    log.push_back(std::string("create ") + path);
    lastPath = path;
    lastAccess = access;
    lastShare = share;
    lastCreation = creation;
    lastFlags = flags;
    if (fail("create")) return INVALID_HANDLE_VALUE;
    if (devices.count(upper(path)) == 0) {
      error_ = ERROR_FILE_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(nextHandle_++));
    openHandles.insert(h);
    return h;
  }
  BOOL closeHandle(HANDLE h) override {
    log.push_back("close");
    return openHandles.erase(h) > 0;
  }
  BOOL getCommState(HANDLE, DCB* dcb) override {
    if (fail("getstate")) return FALSE;
    *dcb = line;
    return TRUE;
  }
  BOOL setCommState(HANDLE, const DCB* dcb) override {
    log.push_back("setstate");
    if (fail("setstate")) return FALSE;
    if (dcb->ByteSize == 5 && dcb->StopBits == TWOSTOPBITS) {  // Windows refuses this one
      error_ = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
    const DCB before = line;
    line = *dcb;
    if (dropParity) line.Parity = NOPARITY;
    if (dropBitRate) line.BaudRate = before.BaudRate;
    if (dropDsrFlow) line.fOutxDsrFlow = FALSE;
    return TRUE;
  }
  BOOL setupComm(HANDLE, DWORD in, DWORD out) override {
    setupIn = in;
    setupOut = out;
    return !fail("setup");
  }
  BOOL setCommTimeouts(HANDLE, const COMMTIMEOUTS* t) override {
    log.push_back("settimeouts");
    if (fail("settimeouts")) return FALSE;
    timeouts = *t;
    return TRUE;
  }
  BOOL readFile(HANDLE, void* buf, DWORD count, DWORD* read) override {
    readRequests.push_back(count);
    *read = 0;
    if (fail("read")) return FALSE;
    if (rx.empty()) {
      rx = arriving;
      arriving.clear();
    }
    while (*read < count && !rx.empty()) {
      static_cast<uint8_t*>(buf)[(*read)++] = rx.front();
      rx.pop_front();
    }
    return TRUE;
  }
  BOOL writeFile(HANDLE, const void* buf, DWORD count, DWORD* n) override {
    *n = 0;
    if (fail("write")) return FALSE;
    *n = std::min(count, writeRoom);
    const auto* bytes = static_cast<const uint8_t*>(buf);
    written.insert(written.end(), bytes, bytes + *n);
    return TRUE;
  }
  BOOL clearCommError(HANDLE, DWORD* errors, COMSTAT* stat) override {
    log.push_back("status");
    if (fail("status")) return FALSE;
    *errors = std::exchange(lineErrors, 0);
    *stat = COMSTAT{};
    stat->cbInQue = static_cast<DWORD>(rx.size());
    stat->cbOutQue = outQueue;
    return TRUE;
  }
  BOOL escapeCommFunction(HANDLE, DWORD function) override {
    static const std::map<DWORD, std::string> kNames = {
        {SETDTR, "SETDTR"}, {CLRDTR, "CLRDTR"},     {SETRTS, "SETRTS"},
        {CLRRTS, "CLRRTS"}, {SETBREAK, "SETBREAK"}, {CLRBREAK, "CLRBREAK"}};
    log.push_back(kNames.at(function));
    return !fail("escape");
  }
  BOOL getCommModemStatus(HANDLE, DWORD* status) override {
    if (fail("modem")) return FALSE;
    *status = modem;
    return TRUE;
  }
  BOOL purgeComm(HANDLE, DWORD flags) override {
    log.push_back(flags == PURGE_RXCLEAR ? "purge rx" : flags == PURGE_TXCLEAR ? "purge tx" : "?");
    return !fail("purge");
  }
  BOOL flushFileBuffers(HANDLE) override {
    log.push_back("drain");
    return !fail("drain");
  }
  DWORD lastError() override { return error_; }
  void sleepMs(DWORD ms) override { sleeps.push_back(ms); }
  std::optional<std::string> getEnv(const char* name) override {
    const auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  }

 private:
  static std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }
  bool fail(const std::string& call) {
    const auto it = failNext.find(call);
    if (it == failNext.end()) return false;
    error_ = it->second;
    failNext.erase(it);
    return true;
  }
  DWORD error_ = 0;
  intptr_t nextHandle_ = 100;
};

class SerialKitWinSeam : public ::testing::Test {
 protected:
  int32_t open(const std::string& name = "COM1") {
    cfg = SerialConfig::forOs(name, "Windows NT");
    return driver.SerOpenPort(*cfg);
  }
  int32_t openAndConfigure(const std::function<void(SerialConfig&)>& settings = {}) {
    EXPECT_EQ(open(), 0);
    if (settings) settings(*cfg);
    return driver.SerConfigure(*cfg);
  }
  int32_t port() const { return cfg->getPort() - 1; }

  std::shared_ptr<FakeWin> sys = std::make_shared<FakeWin>();
  WindowsDriver driver{sys};
  std::shared_ptr<SerialConfig> cfg;
};

// ---------------------------------------------------------------------------------------------
// Windows errors to result codes: the one table

struct ErrorCase {
  DWORD error;
  int32_t code;
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << "Windows error " << c.error << " -> " << c.code;
}

class SerialKitWinErrorTable : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SerialKitWinErrorTable, Maps) {
  EXPECT_EQ(WindowsDriver::errorToResult(GetParam().error), GetParam().code)
      << "error " << GetParam().error;
}

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitWinErrorTable,
    ::testing::Values(
        ErrorCase{ERROR_ACCESS_DENIED, 1002}, ErrorCase{ERROR_SHARING_VIOLATION, 1002},
        ErrorCase{ERROR_BUSY, 1002}, ErrorCase{ERROR_FILE_NOT_FOUND, 1003},
        ErrorCase{ERROR_PATH_NOT_FOUND, 1003}, ErrorCase{ERROR_INVALID_NAME, 1003},
        ErrorCase{ERROR_BAD_PATHNAME, 1003}, ErrorCase{ERROR_BAD_NETPATH, 1003},
        ErrorCase{ERROR_DEV_NOT_EXIST, 1003}, ErrorCase{ERROR_BAD_UNIT, 1003},
        ErrorCase{ERROR_NOT_READY, 1003}, ErrorCase{ERROR_BAD_COMMAND, 1003},
        ErrorCase{ERROR_GEN_FAILURE, 1003}, ErrorCase{ERROR_INVALID_HANDLE, 1003},
        ErrorCase{ERROR_INVALID_FUNCTION, 1003}, ErrorCase{ERROR_NOT_SUPPORTED, 1003},
        ErrorCase{ERROR_IO_DEVICE, 1003}, ErrorCase{ERROR_DEVICE_NOT_CONNECTED, 1003},
        ErrorCase{ERROR_DEVICE_REMOVED, 1003}, ErrorCase{ERROR_PRIVILEGE_NOT_HELD, 1004},
        ErrorCase{ERROR_INVALID_PARAMETER, 1005}, ErrorCase{ERROR_NOT_ENOUGH_MEMORY, 1001},
        ErrorCase{ERROR_TOO_MANY_OPEN_FILES, 1001}, ErrorCase{ERROR_OPERATION_ABORTED, 1001},
        ErrorCase{ERROR_SUCCESS, 1001}),
    [](const auto& info) { return "error" + std::to_string(info.param.error); });

// ---------------------------------------------------------------------------------------------
// open and close

TEST_F(SerialKitWinSeam, OpenTakesThePortForItselfAndCloseGivesItBack) {
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(sys->lastPath, "\\\\.\\COM1");
  EXPECT_EQ(sys->lastAccess, DWORD(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(sys->lastShare, 0u);  // no sharing: another program gets "access denied"
  EXPECT_EQ(sys->lastCreation, DWORD(OPEN_EXISTING));
  EXPECT_EQ(sys->lastFlags, 0u);  // synchronous I/O
  EXPECT_EQ(sys->setupIn, 4096u);
  EXPECT_EQ(sys->setupOut, 2048u);
  EXPECT_EQ(sys->timeouts.ReadIntervalTimeout, MAXDWORD);  // receive timeout 0: no waiting
  EXPECT_EQ(sys->timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(cfg->getPort(), 1);
  EXPECT_EQ(sys->openHandles.size(), 1u);
  EXPECT_EQ(driver.SerClosePort(port()), 0);
  EXPECT_TRUE(sys->openHandles.empty());
  EXPECT_EQ(driver.SerClosePort(port()), -1);
}

struct OpenFailCase {
  const char* label;
  const char* call;
  DWORD error;
  int32_t code;
};

void PrintTo(const OpenFailCase& c, std::ostream* os) { *os << c.label; }

class SerialKitWinOpenFailures : public SerialKitWinSeam,
                                 public ::testing::WithParamInterface<OpenFailCase> {};

TEST_P(SerialKitWinOpenFailures, CodeAndHandleClosed) {
  sys->failNext[GetParam().call] = GetParam().error;
  EXPECT_EQ(open(), GetParam().code);
  EXPECT_TRUE(sys->openHandles.empty());
  EXPECT_EQ(cfg->getPort(), 0);
  EXPECT_EQ(driver.SerClosePort(0), -1);
  sys->failNext.clear();
  EXPECT_EQ(open(), 0);  // nothing was left behind
}

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitWinOpenFailures,
    ::testing::Values(OpenFailCase{"heldByAnotherProgram", "create", ERROR_ACCESS_DENIED, 1002},
                      OpenFailCase{"sharingViolation", "create", ERROR_SHARING_VIOLATION, 1002},
                      OpenFailCase{"noSuchFile", "create", ERROR_FILE_NOT_FOUND, 1003},
                      OpenFailCase{"noSuchPath", "create", ERROR_PATH_NOT_FOUND, 1003},
                      OpenFailCase{"outOfMemory", "create", ERROR_NOT_ENOUGH_MEMORY, 1001},
                      OpenFailCase{"notASerialDevice", "getstate", ERROR_INVALID_FUNCTION, 1003},
                      OpenFailCase{"timeoutsRefused", "settimeouts", ERROR_GEN_FAILURE, 1003}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SerialKitWinSeam, AMissingPortIsNotValid) {
  EXPECT_EQ(open("COM5"), SerResult::kNotValid);  // Windows: ERROR_FILE_NOT_FOUND
  EXPECT_EQ(open("COM0"), SerResult::kNotValid);  // not a name at all: Windows is not asked
  EXPECT_EQ(sys->log, std::vector<std::string>{"create \\\\.\\COM5"});
}

// Windows refuses a second open of a port too, but as "access denied", which is 1002; Wine does
// not refuse it at all. The driver's own table answers first, for every name of the port.
TEST_F(SerialKitWinSeam, SecondOpenInThisProcessIsRefusedBeforeWindowsIsAsked) {
  sys->env["VEXANET_COM3"] = "COM1";
  ASSERT_EQ(open("COM1"), 0);
  sys->log.clear();
  for (const char* name : {"COM1", "com1", "\\\\.\\COM1", "\\\\.\\com1", "COM3"}) {
    SerialConfig again(std::string{name});
    EXPECT_EQ(driver.SerOpenPort(again), SerResult::kAlreadyOpen) << name;
    EXPECT_EQ(again.getPort(), 0) << name;
  }
  EXPECT_TRUE(sys->log.empty());
  EXPECT_EQ(sys->openHandles.size(), 1u);
  ASSERT_EQ(driver.SerClosePort(0), 0);
  SerialConfig com3(std::string("COM3"));  // the same device, by its other name
  EXPECT_EQ(driver.SerOpenPort(com3), 0);
  EXPECT_EQ(com3.getPort(), 3);
}

TEST_F(SerialKitWinSeam, PortNamesMapToDevicesAndNumbers) {
  sys->env["VEXANET_COM2"] = "\\\\.\\CNCA0";
  sys->env["VEXANET_COM5"] = "COM9";
  sys->env["VEXANET_COM6"] = "";  // empty: not set

  struct Row {
    std::function<std::shared_ptr<SerialConfig>()> make;
    std::string path;
    int32_t number;
  };
  const auto named = [](const char* name) {
    return [name] { return std::make_shared<SerialConfig>(std::string(name)); };
  };
  const std::vector<Row> rows = {
      {named("COM1"), "\\\\.\\COM1", 1},
      {named("COM12"), "\\\\.\\COM12", 12},
      {named("com3"), "\\\\.\\COM3", 3},
      {named("COM256"), "\\\\.\\COM256", 256},
      {named("COM2"), "\\\\.\\CNCA0", 2},
      {named("COM5"), "\\\\.\\COM9", 5},
      {named("COM6"), "\\\\.\\COM6", 6},
      {named("\\\\.\\COM7"), "\\\\.\\COM7", 7},
      {named("\\\\.\\CNCB0"), "\\\\.\\CNCB0", 0},
      {[] { return std::make_shared<SerialConfig>(4); }, "\\\\.\\COM4", 4},
      {[] {  // the base name is a Linux matter
         auto c = std::make_shared<SerialConfig>(8);
         c->setBaseName("/dev/xS");
         return c;
       },
       "\\\\.\\COM8", 8},
  };
  for (const Row& r : rows) {
    const auto t = driver.resolve(*r.make());
    ASSERT_TRUE(t.has_value()) << r.path;
    EXPECT_EQ(t->path, r.path);
    EXPECT_EQ(t->number, r.number) << r.path;
  }
  for (const char* bad :
       {"COM0", "COM01", "COM257", "COM", "COM-1", "CO1", "/dev/ttyS0", "\\\\.\\", ""}) {
    EXPECT_FALSE(driver.resolve(SerialConfig(std::string(bad))).has_value()) << bad;
  }
  EXPECT_FALSE(driver.resolve(SerialConfig(0)).has_value());
  EXPECT_FALSE(driver.resolve(SerialConfig(-2)).has_value());
}

TEST_F(SerialKitWinSeam, DevicePathsGetNumbersFromTheTable) {
  SerialConfig a(std::string("\\\\.\\CNCA0"));
  SerialConfig b(std::string("\\\\.\\cncb0"));
  ASSERT_EQ(driver.SerOpenPort(a), 0);
  ASSERT_EQ(driver.SerOpenPort(b), 0);
  EXPECT_EQ(a.getPort(), WindowsDriver::kFirstPathNumber);
  EXPECT_EQ(b.getPort(), WindowsDriver::kFirstPathNumber + 1);
  ASSERT_EQ(driver.SerClosePort(a.getPort() - 1), 0);
  SerialConfig again(std::string("\\\\.\\cnca0"));
  ASSERT_EQ(driver.SerOpenPort(again), 0);
  EXPECT_EQ(again.getPort(), WindowsDriver::kFirstPathNumber);  // one number per device
}

// ---------------------------------------------------------------------------------------------
// settings

struct LineCase {
  const char* label;
  int32_t bitRate, dataBits, parity, stopBits, handshake;
  DWORD baud;
  BYTE byteSize, parityCode, stopCode;
  bool cts, dsr, outX, inX;
  DWORD rtsControl, dtrControl;
  int32_t result;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.label; }

class SerialKitWinSettings : public SerialKitWinSeam,
                             public ::testing::WithParamInterface<LineCase> {};

TEST_P(SerialKitWinSettings, MapToTheDcb) {
  const LineCase& c = GetParam();
  const DCB before = sys->line;
  const int32_t rc = openAndConfigure([&](SerialConfig& s) {
    s.setBitRate(c.bitRate);
    s.setDataBits(c.dataBits);
    s.setParity(c.parity);
    s.setStopBits(c.stopBits);
    s.setHandshake(c.handshake);
  });
  EXPECT_EQ(rc, c.result);
  if (c.result != 0) {
    EXPECT_EQ(sys->line.BaudRate, before.BaudRate);  // nothing was applied
    EXPECT_EQ(std::count(sys->log.begin(), sys->log.end(), "setstate"), 0);
    return;
  }
  const DCB& d = sys->line;
  EXPECT_EQ(d.BaudRate, c.baud);
  EXPECT_EQ(d.ByteSize, c.byteSize);
  EXPECT_EQ(d.Parity, c.parityCode);
  EXPECT_EQ(DWORD{d.fParity}, DWORD(c.parityCode != NOPARITY));
  EXPECT_EQ(d.StopBits, c.stopCode);
  EXPECT_EQ(DWORD{d.fOutxCtsFlow}, DWORD(c.cts));
  EXPECT_EQ(DWORD{d.fOutxDsrFlow}, DWORD(c.dsr));
  EXPECT_EQ(DWORD{d.fOutX}, DWORD(c.outX));
  EXPECT_EQ(DWORD{d.fInX}, DWORD(c.inX));
  EXPECT_EQ(DWORD{d.fRtsControl}, c.rtsControl);
  EXPECT_EQ(DWORD{d.fDtrControl}, c.dtrControl);
  EXPECT_EQ(DWORD{d.fBinary}, 1u);
  EXPECT_EQ(DWORD{d.fAbortOnError}, 0u);
  EXPECT_EQ(DWORD{d.fNull}, 0u);
  EXPECT_EQ(d.XonChar, 0x11);
  EXPECT_EQ(d.XoffChar, 0x13);
  EXPECT_EQ(d.XonLim, 10);  // the device's own limits stay
}

using SC = SerialConfig;
constexpr DWORD kRtsOn = RTS_CONTROL_ENABLE, kRtsHs = RTS_CONTROL_HANDSHAKE;
constexpr DWORD kDtrOn = DTR_CONTROL_ENABLE, kDtrHs = DTR_CONTROL_HANDSHAKE;
INSTANTIATE_TEST_SUITE_P(
    All, SerialKitWinSettings,
    ::testing::Values(
        LineCase{"b9600_8N1", SC::BR_9600, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, SC::HS_NONE,
                 9600, 8, NOPARITY, ONESTOPBIT, false, false, false, false, kRtsOn, kDtrOn, 0},
        LineCase{"b110_5O2", SC::BR_110, SC::LN_5BITS, SC::PY_ODD, SC::ST_2BITS, SC::HS_NONE, 110,
                 5, ODDPARITY, ONE5STOPBITS, false, false, false, false, kRtsOn, kDtrOn, 0},
        LineCase{"b150_6E1", SC::BR_150, SC::LN_6BITS, SC::PY_EVEN, SC::ST_1BITS, SC::HS_NONE, 150,
                 6, EVENPARITY, ONESTOPBIT, false, false, false, false, kRtsOn, kDtrOn, 0},
        LineCase{"b115200_7N2", SC::BR_115200, SC::LN_7BITS, SC::PY_NONE, SC::ST_2BITS, SC::HS_NONE,
                 115200, 7, NOPARITY, TWOSTOPBITS, false, false, false, false, kRtsOn, kDtrOn, 0},
        LineCase{"xonxoff", SC::BR_2400, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, SC::HS_XONXOFF,
                 2400, 8, NOPARITY, ONESTOPBIT, false, false, true, true, kRtsOn, kDtrOn, 0},
        LineCase{"ctsrts", SC::BR_19200, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, SC::HS_CTSRTS,
                 19200, 8, NOPARITY, ONESTOPBIT, true, false, false, false, kRtsHs, kDtrOn, 0},
        LineCase{"dsrdtr", SC::BR_57600, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, SC::HS_DSRDTR,
                 57600, 8, NOPARITY, ONESTOPBIT, false, true, false, false, kRtsOn, kDtrHs, 0},
        LineCase{"hardInOnly", SC::BR_38400, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, 0x10, 38400,
                 8, NOPARITY, ONESTOPBIT, false, false, false, false, kRtsHs, kDtrOn, 0},
        LineCase{"hardOutOnly", SC::BR_300, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, 0x20, 300, 8,
                 NOPARITY, ONESTOPBIT, true, false, false, false, kRtsOn, kDtrOn, 0},
        LineCase{"softIn", SC::BR_600, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, 0x40, 600, 8,
                 NOPARITY, ONESTOPBIT, false, false, false, true, kRtsOn, kDtrOn, 0},
        LineCase{"softOut", SC::BR_1200, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, 0x80, 1200, 8,
                 NOPARITY, ONESTOPBIT, false, false, true, false, kRtsOn, kDtrOn, 0},
        LineCase{"allFlags", SC::BR_4800, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, 0xF0, 4800, 8,
                 NOPARITY, ONESTOPBIT, true, false, true, true, kRtsHs, kDtrOn, 0},
        LineCase{"notAFlagSum", SC::BR_9600, SC::LN_8BITS, SC::PY_NONE, SC::ST_1BITS, 17, 0, 0, 0,
                 0, false, false, false, false, 0, 0, SerResult::kBadSetting}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SerialKitWinSeam, RefusedSettingsFailConfigure) {
  sys->dropParity = true;  // as a pseudo-terminal under Wine does
  EXPECT_EQ(openAndConfigure([](SerialConfig& s) { s.setParity(SerialConfig::PY_EVEN); }),
            SerResult::kSettingRefused);
  sys->dropParity = false;
  sys->dropDsrFlow = true;
  cfg->setParity(SerialConfig::PY_NONE);
  cfg->setHandshake(SerialConfig::HS_DSRDTR);
  EXPECT_EQ(driver.SerConfigure(*cfg), SerResult::kSettingRefused);
  sys->dropDsrFlow = false;
  sys->dropBitRate = true;
  cfg->setHandshake(SerialConfig::HS_NONE);
  cfg->setBitRate(SerialConfig::BR_19200);
  EXPECT_EQ(driver.SerConfigure(*cfg), SerResult::kSettingRefused);
  sys->dropBitRate = false;
  sys->failNext["setstate"] = ERROR_INVALID_PARAMETER;
  EXPECT_EQ(driver.SerConfigure(*cfg), SerResult::kBadSetting);
  EXPECT_EQ(driver.SerConfigure(*cfg), 0);
}

TEST_F(SerialKitWinSeam, ConfigureFindsThePortByNumberOrName) {
  EXPECT_EQ(driver.SerConfigure(SerialConfig(std::string("COM1"))), SerResult::kNotOpen);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(driver.SerConfigure(SerialConfig(std::string("com1"))), 0);  // port 0: by name
  EXPECT_EQ(driver.SerConfigure(SerialConfig(1)), 0);
  EXPECT_EQ(driver.SerConfigure(SerialConfig(std::string("COM3"))), SerResult::kNotOpen);
}

// ---------------------------------------------------------------------------------------------
// timeouts, reading, writing

TEST_F(SerialKitWinSeam, TimeoutsBecomeCommTimeouts) {
  ASSERT_EQ(openAndConfigure(), 0);  // 9600
  COMMTIMEOUTS& t = sys->timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 4u);  // twice 1.25 ms per character, rounded up
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);

  ASSERT_EQ(driver.SerSetTimeoutRx(port(), 300), 0);
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, MAXDWORD);  // up to 300 ms for the first byte
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 300u);
  ASSERT_EQ(driver.SerSetTimeoutTx(port(), 2147483647), 0);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 2147483647u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 300u);  // the other one stays
  EXPECT_EQ(driver.SerGetTimeoutRx(port()), 300);
  EXPECT_EQ(driver.SerGetTimeoutTx(port()), 2147483647);

  ASSERT_EQ(driver.SerSetTimeoutTx(port(), 0), 0);
  cfg->setBitRate(SerialConfig::BR_110);
  ASSERT_EQ(driver.SerConfigure(*cfg), 0);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 220u);  // the bound follows the bit rate

  EXPECT_EQ(driver.SerSetTimeoutRx(port(), -1), -1);
  sys->failNext["settimeouts"] = ERROR_GEN_FAILURE;
  EXPECT_EQ(driver.SerSetTimeoutRx(port(), 50), -1);
  EXPECT_EQ(driver.SerGetTimeoutRx(port()), 300);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 300u);
}

TEST_F(SerialKitWinSeam, ReadsWaitForTheFirstByteThenTakeWhatIsWaiting) {
  ASSERT_EQ(openAndConfigure(), 0);
  EXPECT_EQ(driver.SerGetByte(port()), -1);  // nothing within the timeout
  sys->rx = {9, 8, 7, 6};
  EXPECT_EQ(driver.SerGetByte(port()), 9);
  Bytes buf(2);
  EXPECT_EQ(driver.SerGetData(port(), buf), 2);
  EXPECT_EQ(buf, (Bytes{8, 7}));
  buf.assign(8, 0);
  EXPECT_EQ(driver.SerGetData(port(), buf), 1);  // what is waiting, no more
  EXPECT_EQ(buf[0], 6);
  EXPECT_EQ(sys->readRequests, (std::vector<DWORD>{1, 1, 2, 1}));

  // Nothing waiting: one byte is waited for, then the rest that came with it is taken.
  sys->readRequests.clear();
  sys->arriving = {1, 2, 3};
  EXPECT_EQ(driver.SerGetData(port(), buf), 3);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(sys->readRequests, (std::vector<DWORD>{1, 2}));

  sys->readRequests.clear();
  EXPECT_EQ(driver.SerGetData(port(), std::span<uint8_t>()), 0);
  EXPECT_EQ(driver.SerGetData(port(), buf), 0);
  EXPECT_EQ(sys->readRequests, std::vector<DWORD>{1});

  sys->rx = {5};
  sys->failNext["read"] = ERROR_OPERATION_ABORTED;  // a failed read, not a vanished device
  EXPECT_EQ(driver.SerGetData(port(), buf), -1);
  EXPECT_EQ(driver.SerGetByte(port()), 5);
}

TEST_F(SerialKitWinSeam, WritesReturnWhatWasSent) {
  ASSERT_EQ(openAndConfigure(), 0);
  const Bytes data = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(driver.SerPutData(port(), data), 7);
  EXPECT_EQ(driver.SerPutByte(port(), 0x0A), 0);
  EXPECT_EQ(sys->written, (Bytes{1, 2, 3, 4, 5, 6, 7, 0x0A}));
  sys->writeRoom = 3;  // the timeout cut the write short
  EXPECT_EQ(driver.SerPutData(port(), data), 3);
  sys->writeRoom = 0;
  EXPECT_EQ(driver.SerPutByte(port(), 1), -1);
  sys->writeRoom = MAXDWORD;
  sys->failNext["write"] = ERROR_OPERATION_ABORTED;
  EXPECT_EQ(driver.SerPutData(port(), data), -1);
  EXPECT_EQ(driver.SerPutData(port(), Bytes{}), 0);
  EXPECT_EQ(driver.SerPutData(-1, data), -1);
}

// ---------------------------------------------------------------------------------------------
// counts, line errors, modem lines, break, flush

TEST_F(SerialKitWinSeam, LineErrorsAreKeptUntilReported) {
  ASSERT_EQ(openAndConfigure(), 0);
  sys->rx = {1, 2, 3};
  sys->outQueue = 42;
  sys->lineErrors = CE_FRAME | CE_BREAK;
  EXPECT_EQ(driver.SerRxReadyCount(port()), 3);  // this status call cleared them in Windows
  EXPECT_EQ(driver.SerTxBufCount(port()), 42);
  EXPECT_EQ(driver.SerSigFrameErr(port()), 1);
  EXPECT_EQ(driver.SerSigFrameErr(port()), 0);
  EXPECT_EQ(driver.SerSigOverrun(port()), 0);
  EXPECT_EQ(driver.SerSigBreak(port()), 1);
  EXPECT_EQ(driver.SerSigBreak(port()), 0);
  sys->lineErrors = CE_RXOVER | CE_OVERRUN | CE_RXPARITY;
  EXPECT_EQ(driver.SerRxOverflow(port()), 1);
  EXPECT_EQ(driver.SerSigOverrun(port()), 1);
  EXPECT_EQ(driver.SerSigParityErr(port()), 1);
  EXPECT_EQ(driver.SerSigParityErr(port()), 0);
  EXPECT_EQ(driver.SerRxOverflow(port()), 0);
}

TEST_F(SerialKitWinSeam, ModemAndOutputLines) {
  ASSERT_EQ(openAndConfigure(), 0);
  sys->modem = MS_CTS_ON | MS_RING_ON;
  EXPECT_EQ(driver.SerSigCTS(port()), 1);
  EXPECT_EQ(driver.SerSigRing(port()), 1);
  EXPECT_EQ(driver.SerSigDSR(port()), 0);
  EXPECT_EQ(driver.SerSigCD(port()), 0);
  sys->modem = MS_DSR_ON | MS_RLSD_ON;
  EXPECT_EQ(driver.SerSigCTS(port()), 0);
  EXPECT_EQ(driver.SerSigDSR(port()), 1);
  EXPECT_EQ(driver.SerSigCD(port()), 1);
  // A line without modem lines (Wine's pseudo-terminals): the query fails, the port stays.
  sys->failNext["modem"] = ERROR_NOT_SUPPORTED;
  EXPECT_EQ(driver.SerSigCTS(port()), -1);
  EXPECT_EQ(driver.SerSigDSR(port()), 1);

  sys->log.clear();
  EXPECT_EQ(driver.SerSetDTR(port(), false), 0);
  EXPECT_EQ(driver.SerSetRTS(port(), true), 0);
  sys->failNext["escape"] = ERROR_NOT_SUPPORTED;
  EXPECT_EQ(driver.SerSetRTS(port(), false), -1);
  EXPECT_EQ(sys->log, (std::vector<std::string>{"CLRDTR", "SETRTS", "CLRRTS"}));
  // Reconfiguring keeps the levels that were set (the failed one did not count).
  ASSERT_EQ(driver.SerConfigure(*cfg), 0);
  EXPECT_EQ(DWORD{sys->line.fDtrControl}, DWORD(DTR_CONTROL_DISABLE));
  EXPECT_EQ(DWORD{sys->line.fRtsControl}, DWORD(RTS_CONTROL_ENABLE));
}

TEST_F(SerialKitWinSeam, BreakFlushDrain) {
  ASSERT_EQ(openAndConfigure(), 0);
  sys->log.clear();
  EXPECT_EQ(driver.SerSendBreak(port(), 100), 0);
  EXPECT_EQ(driver.SerSendBreak(port(), 0), 0);
  EXPECT_EQ(driver.SerSendBreak(port(), -5), -1);
  sys->failNext["escape"] = ERROR_GEN_FAILURE;
  EXPECT_EQ(driver.SerSendBreak(port(), 100), -1);
  EXPECT_EQ(sys->sleeps, (std::vector<DWORD>{100, WindowsDriver::kDefaultBreakMs}));
  EXPECT_EQ(driver.SerRxFlush(port()), 0);
  EXPECT_EQ(driver.SerTxFlush(port()), 0);
  EXPECT_EQ(driver.SerTxDrain(port()), 0);
  sys->failNext["drain"] = ERROR_INVALID_FUNCTION;
  EXPECT_EQ(driver.SerTxDrain(port()), -1);
  EXPECT_EQ(driver.SerTxDrain(port()), 0);  // a failed drain leaves the port usable
  EXPECT_EQ(sys->log,
            (std::vector<std::string>{"SETBREAK", "CLRBREAK", "SETBREAK", "CLRBREAK", "SETBREAK",
                                      "purge rx", "purge tx", "drain", "drain", "drain"}));
}

// What Wine shows after the far end of a pseudo-terminal closed: the status call fails with
// ERROR_NOT_READY. An unplugged USB adapter on Windows fails with ERROR_GEN_FAILURE and the like.
TEST_F(SerialKitWinSeam, VanishedDeviceMakesEveryOperationFailAtOnce) {
  for (const auto& [call, error] :
       std::vector<std::pair<const char*, DWORD>>{{"status", ERROR_NOT_READY},
                                                  {"write", ERROR_GEN_FAILURE},
                                                  {"read", ERROR_DEVICE_NOT_CONNECTED}}) {
    SCOPED_TRACE(call);
    ASSERT_EQ(openAndConfigure(), 0);
    sys->rx = {1};
    sys->failNext[call] = error;
    if (std::string(call) == "write") {
      EXPECT_EQ(driver.SerPutByte(port(), 1), -1);
    } else {
      Bytes buf(4);
      sys->rx.clear();  // the read itself is the first call on the device
      EXPECT_EQ(driver.SerGetData(port(), buf), -1);
    }
    sys->log.clear();
    EXPECT_EQ(driver.SerRxReadyCount(port()), -1);
    EXPECT_EQ(driver.SerGetByte(port()), -1);
    EXPECT_EQ(driver.SerPutByte(port(), 1), -1);
    EXPECT_EQ(driver.SerSetTimeoutRx(port(), 10), -1);
    EXPECT_EQ(driver.SerConfigure(*cfg), SerResult::kNotValid);
    EXPECT_TRUE(sys->log.empty());  // no further calls on a vanished device
    EXPECT_EQ(driver.SerClosePort(port()), 0);
    EXPECT_TRUE(sys->openHandles.empty());
  }
}

TEST_F(SerialKitWinSeam, PortsNotOpenAreRefused) {
  for (int32_t p : {-1, 0, 300}) {
    EXPECT_EQ(driver.SerPutByte(p, 1), -1);
    EXPECT_EQ(driver.SerGetByte(p), -1);
    uint8_t b[2];
    EXPECT_EQ(driver.SerGetData(p, b), -1);
    EXPECT_EQ(driver.SerRxFlush(p), -1);
    EXPECT_EQ(driver.SerTxDrain(p), -1);
    EXPECT_EQ(driver.SerRxReadyCount(p), -1);
    EXPECT_EQ(driver.SerSigCTS(p), -1);
    EXPECT_EQ(driver.SerSigBreak(p), -1);
    EXPECT_NE(driver.SerSigParityErr(p), 1);
    EXPECT_NE(driver.SerSigRing(p), 1);
    EXPECT_EQ(driver.SerSetDTR(p, true), -1);
    EXPECT_EQ(driver.SerSendBreak(p, 0), -1);
    EXPECT_EQ(driver.SerSetTimeoutTx(p, 0), -1);
    EXPECT_EQ(driver.SerGetTimeoutRx(p), -1);
  }
  EXPECT_TRUE(sys->log.empty());
}

TEST_F(SerialKitWinSeam, FlowTaskIsABoundedPause) {
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(driver.SerFlowTask(port()), 0);
  EXPECT_EQ(driver.SerFlowTask(-1), -1);
  EXPECT_EQ(sys->sleeps,
            (std::vector<DWORD>{WindowsDriver::kFlowTaskPauseMs, WindowsDriver::kFlowTaskPauseMs}));
  EXPECT_EQ(driver.SerGetLibVer(), WindowsDriver::kLibVersion);
}

// ---------------------------------------------------------------------------------------------
// this machine

TEST(SerialKitWindowsPlatform, ThisMachineIsWindowsNtAndGetsTheWindowsDriver) {
  const PlatformFacts facts = systemPlatform();
  EXPECT_EQ(facts.osName, "Windows NT");
  EXPECT_TRUE(facts.architecture == "amd64" || facts.architecture == "aarch64")
      << facts.architecture;
  EXPECT_EQ(facts.runtimeVendor, "SerialKit");
  ASSERT_EQ(chooseNativeLibrary(facts), "nsdWin");
  std::string error;
  const auto a = NativeDriverRegistry::instance().load("nsdWin", error);
  ASSERT_NE(dynamic_cast<WindowsDriver*>(a.get()), nullptr) << error;
  EXPECT_EQ(NativeDriverRegistry::instance().load("nsdWin", error), a);  // one port table
  const PortFeatures features = PortFeatures::forOs(facts.osName);
  EXPECT_EQ(features.devName, "COM1");
  EXPECT_FALSE(features.libGetDataTimeout);  // the driver waits out the receive timeout
}

TEST(SerialKitWindowsPlatform, ThreadPrioritiesAreTheSevenLevels) {
  std::thread([] {
    const int32_t self = detail::currentThreadId();
    ASSERT_NE(self, 0);
    EXPECT_EQ(detail::threadPriority(self), 0);
    for (int32_t p : {-3, -2, -1, 1, 2, 3, 0}) {
      EXPECT_TRUE(detail::setThreadPriority(self, p)) << p;
      EXPECT_EQ(detail::threadPriority(self), p);
    }
    EXPECT_TRUE(detail::setThreadPriority(self, -40));
    EXPECT_EQ(detail::threadPriority(self), -3);
    EXPECT_TRUE(detail::setThreadPriority(self, 0));
  }).join();
  EXPECT_EQ(detail::threadPriority(0), std::nullopt);  // no such thread
  EXPECT_FALSE(detail::setThreadPriority(0, 1));
}

}  // namespace
}  // namespace SerialKit
