// The port core against a scripted driver: open codes and messages, life cycle, the data
// transfer checks, the receive-timeout wait, the per-platform guards and isSupported.
#include "SerialKit/SerialPortLocal.h"

#include <gtest/gtest.h>

#include <ostream>
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeDriver.h"
#include "SerialKit/NativeDriverRegistry.h"
#include "SerialKit/Platform.h"

namespace SerialKit {
namespace {

using test::FakeDriver;
using Bytes = std::vector<uint8_t>;

std::string messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const SerialIOException& e) {
    return e.what();
  }
  return "";
}

class SerialKitPort : public ::testing::Test {
 protected:
  void SetUp() override { testing::setProcessDriver(driver); }
  void TearDown() override { testing::resetProcessDriver(); }

  // A port made on the named platform from a record named "COM2", which the driver numbers 2.
  std::unique_ptr<SerialPortLocal> openPort(const std::string& os) {
    ScopedPlatform platform(os);
    driver->setOpenNumber(2);
    config = std::make_shared<SerialConfig>(std::string("COM2"));
    return std::make_unique<SerialPortLocal>(config);
  }
  std::unique_ptr<SerialPortLocal> closedPort(const std::string& os) {
    ScopedPlatform platform(os);
    return std::make_unique<SerialPortLocal>();
  }

  std::shared_ptr<FakeDriver> driver = std::make_shared<FakeDriver>();
  std::shared_ptr<SerialConfig> config;
};

// ---------------------------------------------------------------------------------------------
// open

struct OpenCodeCase {
  int32_t code;
  const char* message;
};

void PrintTo(const OpenCodeCase& c, std::ostream* os) { *os << "code " << c.code; }

class SerialKitOpenCodes : public SerialKitPort,
                           public ::testing::WithParamInterface<OpenCodeCase> {};

TEST_P(SerialKitOpenCodes, MessageByCodeAndNothingElseHappens) {
  driver->script("SerOpenPort", GetParam().code);
  EXPECT_EQ(messageOf([&] { openPort("Linux"); }), GetParam().message);
  EXPECT_EQ(driver->calls(), std::vector<std::string>{"SerOpenPort(-99)"});

  auto port = closedPort("Linux");
  EXPECT_EQ(messageOf([&] { port->open(); }), GetParam().message);
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(port->getPortNum(), -1);
}

INSTANTIATE_TEST_SUITE_P(All, SerialKitOpenCodes,
                         ::testing::Values(OpenCodeCase{1000,
                                                        "SerOpenPort failed: Port is already open"},
                                           OpenCodeCase{1002, "SerOpenPort failed: Port is in use"},
                                           OpenCodeCase{1003, "SerOpenPort failed: Port not valid"},
                                           OpenCodeCase{1001, "SerOpenPort failed: 1001"},
                                           OpenCodeCase{7, "SerOpenPort failed: 7"},
                                           OpenCodeCase{-1, "SerOpenPort failed: -1"}));

struct OpenTimeoutCase {
  const char* os;
  std::vector<std::string> timeoutCalls;
  int32_t rx;
};

void PrintTo(const OpenTimeoutCase& c, std::ostream* os) { *os << c.os << " rx " << c.rx; }

class SerialKitOpenTimeouts : public SerialKitPort,
                              public ::testing::WithParamInterface<OpenTimeoutCase> {};

TEST_P(SerialKitOpenTimeouts, ConfiguresThenSetsPlatformTimeouts) {
  auto port = openPort(GetParam().os);
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(port->getPortNum(), 1);
  std::vector<std::string> expected = {"SerOpenPort(-99)", "SerConfigure(2)"};
  for (const auto& c : GetParam().timeoutCalls) expected.push_back(c);
  EXPECT_EQ(driver->calls(), expected);
  EXPECT_EQ(port->getTimeoutRx(), GetParam().rx);
}

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitOpenTimeouts,
    ::testing::Values(OpenTimeoutCase{"Linux", {"SerSetTimeoutRx(1)"}, 0},
                      OpenTimeoutCase{
                          "Windows NT", {"SerSetTimeoutRx(1)", "SerSetTimeoutTx(1)"}, 0},
                      OpenTimeoutCase{"Mac OS", {"SerSetTimeoutRx(1)", "SerSetTimeoutTx(1)"}, 2000},
                      OpenTimeoutCase{"Windows CE", {"SerSetTimeoutRx(1)"}, 0}));

TEST_F(SerialKitPort, ConfigureFailureDuringOpenLeavesPortOpen) {
  auto port = closedPort("Linux");
  driver->script("SerConfigure", 5);
  EXPECT_EQ(messageOf([&] { port->open(); }), "Configure failed: 5");
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(port->getPortNum(), 0);
  EXPECT_EQ(driver->count("SerSetTimeoutRx"), 0u);
}

TEST_F(SerialKitPort, TimeoutFailureDuringOpenIsReported) {
  driver->script("SerSetTimeoutRx", -1);
  EXPECT_EQ(messageOf([&] { openPort("Linux"); }), "setTimeoutRx failed");
}

TEST_F(SerialKitPort, Windows95OpenSwitchesHardFlowOffInTheRecordItself) {
  auto port = openPort("Windows 95");
  EXPECT_FALSE(config->getHardFlow());
  auto linuxPort = openPort("Linux");
  EXPECT_TRUE(config->getHardFlow());
}

TEST_F(SerialKitPort, DefaultPortUsesPlatformDevName) {
  EXPECT_EQ(closedPort("Linux")->getPortName(), "/dev/ttyS0");
  EXPECT_EQ(closedPort("Windows NT")->getPortName(), "COM1");
  EXPECT_EQ(closedPort("Windows CE")->getPortName(), "");
  auto port = closedPort("Linux");
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(port->getPortNum(), -1);
  EXPECT_EQ(port->getName(), "Serial Port");
  EXPECT_EQ(port->getName(3), "Not implemented");
  EXPECT_TRUE(driver->calls().empty());
}

TEST_F(SerialKitPort, NullRecordIsRefused) {
  EXPECT_THROW(SerialPortLocal(std::shared_ptr<SerialConfig>()), std::invalid_argument);
  auto port = closedPort("Linux");
  EXPECT_THROW(port->setConfig(nullptr), std::invalid_argument);
  EXPECT_NE(port->getConfig(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// configure, close, reset, clean-up

TEST_F(SerialKitPort, ConfigureWithOtherRecordKeepsOwnRecord) {
  auto port = openPort("Linux");
  SerialConfig other(std::string("COM2"));
  other.setBitRate(SerialConfig::BR_115200);
  port->configure(other);
  EXPECT_EQ(driver->configured().back().getBitRate(), SerialConfig::BR_115200);
  EXPECT_EQ(port->getConfig(), config);
  EXPECT_EQ(port->getBitRate(), SerialConfig::BR_9600);
  driver->script("SerConfigure", 1006);
  EXPECT_EQ(messageOf([&] { port->configure(); }), "Configure failed: 1006");
}

TEST_F(SerialKitPort, SettingsForwardersCheckAndDoNotTouchTheLine) {
  auto port = openPort("Linux");
  driver->clearCalls();
  port->setBitRate(SerialConfig::BR_19200);
  port->setParity(SerialConfig::PY_ODD);
  port->setDataBits(SerialConfig::LN_7BITS);
  port->setStopBits(SerialConfig::ST_2BITS);
  port->setHandshake(SerialConfig::HS_XONXOFF);
  port->setPortName("/dev/ttyUSB0");
  EXPECT_TRUE(driver->calls().empty());
  EXPECT_EQ(config->getBitRate(), SerialConfig::BR_19200);
  EXPECT_EQ(port->getParity(), SerialConfig::PY_ODD);
  EXPECT_EQ(port->getDataBits(), SerialConfig::LN_7BITS);
  EXPECT_EQ(port->getStopBits(), SerialConfig::ST_2BITS);
  EXPECT_EQ(port->getHandshake(), SerialConfig::HS_XONXOFF);
  EXPECT_EQ(port->getPortName(), "/dev/ttyUSB0");
  EXPECT_THROW(port->setBitRate(12), std::invalid_argument);
  EXPECT_THROW(port->setHandshake(SerialConfig::HS_DSRDTR), std::invalid_argument);
  EXPECT_EQ(port->getBitRate(), SerialConfig::BR_19200);
}

TEST_F(SerialKitPort, CloseOfClosedPortIsHarmless) {
  auto port = closedPort("Linux");
  port->close();
  port->close();
  EXPECT_TRUE(driver->calls().empty());
}

TEST_F(SerialKitPort, CloseFailureLeavesPortOpen) {
  auto port = openPort("Linux");
  driver->script("SerClosePort", 3);
  EXPECT_EQ(messageOf([&] { port->close(); }), "ClosePort failed");
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(port->getPortNum(), 1);
  driver->script("SerClosePort", 0);
  port->close();
  EXPECT_FALSE(port->isOpen());
  EXPECT_EQ(port->getPortNum(), -1);
  port->close();
  EXPECT_EQ(driver->count("SerClosePort"), 2u);
}

TEST_F(SerialKitPort, ResetReopensWithoutTimeoutsOrSpecialTexts) {
  auto port = openPort("Linux");
  driver->clearCalls();
  driver->setOpenNumber(5);
  port->reset();
  EXPECT_TRUE(port->isOpen());
  EXPECT_EQ(port->getPortNum(), 4);
  EXPECT_EQ(driver->calls(),
            (std::vector<std::string>{"SerClosePort(1)", "SerOpenPort(-99)", "SerConfigure(5)"}));
  driver->script("SerOpenPort", 1002);
  EXPECT_EQ(messageOf([&] { port->reset(); }), "reset: SerOpenPort failed: 1002");
  EXPECT_FALSE(port->isOpen());
  driver->script("SerOpenPort", 0);
  driver->script("SerClosePort", 9);
  port->reset();
  EXPECT_EQ(messageOf([&] { port->reset(); }), "ClosePort failed");
}

TEST_F(SerialKitPort, DestructorClosesAndIgnoresFailure) {
  { auto port = openPort("Linux"); }
  EXPECT_EQ(driver->calls().back(), "SerClosePort(1)");
  {
    auto port = openPort("Linux");
    driver->script("SerClosePort", -1);
  }
  EXPECT_EQ(driver->calls().back(), "SerClosePort(1)");
}

// ---------------------------------------------------------------------------------------------
// writing

struct WriteCase {
  const char* label;
  std::function<void(SerialPortLocal&)> write;
  std::optional<int32_t> sentResult;  // scripted SerPutData result
  const char* message;                // "" = no error
  std::vector<Bytes> sent;            // what reached the driver
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.label; }

class SerialKitWrites : public SerialKitPort, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(SerialKitWrites, ChecksAndMessages) {
  const WriteCase& c = GetParam();
  auto port = openPort("Linux");
  if (c.sentResult) driver->script("SerPutData", *c.sentResult);
  EXPECT_EQ(messageOf([&] { c.write(*port); }), c.message);
  EXPECT_EQ(driver->sent(), c.sent);
}

const Bytes k4 = {1, 2, 3, 4};
const Bytes k5 = {1, 2, 3, 4, 5};

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitWrites,
    ::testing::Values(
        WriteCase{"byte", [](SerialPortLocal& p) { p.putByte(0x41); }, {}, "", {{0x41}}},
        WriteCase{"string", [](SerialPortLocal& p) { p.putString("Hi"); }, {}, "", {{'H', 'i'}}},
        WriteCase{"emptyString", [](SerialPortLocal& p) { p.putString(""); }, {}, "", {}},
        WriteCase{"shortString",
                  [](SerialPortLocal& p) { p.putString("Hello"); },
                  2,
                  "PutString: sent only 2 of 5 bytes",
                  {{'H', 'e', 'l', 'l', 'o'}}},
        WriteCase{"array", [](SerialPortLocal& p) { p.putData(k4); }, {}, "", {k4}},
        WriteCase{"emptyArray", [](SerialPortLocal& p) { p.putData(Bytes{}); }, {}, "", {}},
        WriteCase{"shortArray",
                  [](SerialPortLocal& p) { p.putData(k5); },
                  3,
                  "PutData1: Sent only 3 of 5 bytes",
                  {k5}},
        WriteCase{"failedArray",
                  [](SerialPortLocal& p) { p.putData(k5); },
                  -1,
                  "PutData1: Sent only -1 of 5 bytes",
                  {k5}},
        WriteCase{"count", [](SerialPortLocal& p) { p.putData(k4, 2); }, {}, "", {{1, 2}}},
        WriteCase{"countZero", [](SerialPortLocal& p) { p.putData(k4, 0); }, {}, "", {{}}},
        WriteCase{"countPastEnd",
                  [](SerialPortLocal& p) { p.putData(k4, 5); },
                  {},
                  "putData: count out of bounds",
                  {}},
        WriteCase{"countNegative",
                  [](SerialPortLocal& p) { p.putData(k4, -1); },
                  {},
                  "putData: negative count",
                  {}},
        WriteCase{"shortCount",
                  [](SerialPortLocal& p) { p.putData(k4, 3); },
                  1,
                  "PutData2: Sent only 1 of 3 bytes",
                  {{1, 2, 3}}},
        WriteCase{"offset",
                  [](SerialPortLocal& p) {
                    p.putData(Bytes{10, 20, 30}, 1, 2);
                  },
                  {},
                  "",
                  {{20, 30}}},
        WriteCase{"offsetPastEnd",
                  [](SerialPortLocal& p) { p.putData(k4, 2, 3); },
                  {},
                  "putData3: count out of bounds",
                  {}},
        WriteCase{"offsetHuge",
                  [](SerialPortLocal& p) { p.putData(k4, INT32_MAX, INT32_MAX); },
                  {},
                  "putData3: count out of bounds",
                  {}},
        WriteCase{"offsetNegative",
                  [](SerialPortLocal& p) { p.putData(k4, -1, 2); },
                  {},
                  "putData3: negative offset or count",
                  {}},
        WriteCase{"offsetCountNegative",
                  [](SerialPortLocal& p) { p.putData(k4, 1, -2); },
                  {},
                  "putData3: negative offset or count",
                  {}},
        WriteCase{"shortOffset",
                  [](SerialPortLocal& p) { p.putData(k5, 1, 4); },
                  2,
                  "Sent only 2 of 4 bytes",
                  {{2, 3, 4, 5}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SerialKitPort, WritesOnClosedPortPassMinusOne) {
  auto port = closedPort("Linux");
  EXPECT_EQ(messageOf([&] { port->putByte(1); }), "PutByte failed");
  EXPECT_EQ(messageOf([&] { port->putData(k4); }), "PutData1: Sent only -1 of 4 bytes");
  EXPECT_EQ(driver->calls(), (std::vector<std::string>{"SerPutByte(-1)", "SerPutData(-1)"}));
}

// ---------------------------------------------------------------------------------------------
// reading

TEST_F(SerialKitPort, GetByteNeedsOpenPortGetDataAsksDriver) {
  auto port = closedPort("Linux");
  EXPECT_EQ(messageOf([&] { port->getByte(); }), "getByte: Port not open");
  EXPECT_EQ(driver->count("SerGetByte"), 0u);
  Bytes buf(4);
  EXPECT_EQ(messageOf([&] { port->getData(buf); }), "getData: failed");
  EXPECT_EQ(driver->count("SerGetData"), 1u);
}

TEST_F(SerialKitPort, ReadsBytesAndArrays) {
  auto port = openPort("Linux");
  driver->receive({0xFF, 1, 2, 3});
  EXPECT_EQ(port->getByte(), 255);
  Bytes buf(64, 0xEE);
  EXPECT_EQ(port->getData(buf), 3);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4), (Bytes{1, 2, 3, 0xEE}));
  EXPECT_EQ(port->getData(buf), 0);
  EXPECT_EQ(port->getByte(), -1);
}

TEST_F(SerialKitPort, GetDataWithOffsetStoresFromOffset) {
  auto port = openPort("Linux");
  driver->receive({7, 8});
  Bytes buf = {0, 0, 0, 0, 0};
  EXPECT_EQ(port->getData(buf, 2, 3), 2);
  EXPECT_EQ(buf, (Bytes{0, 0, 7, 8, 0}));
  EXPECT_EQ(driver->calls().back(), "SerGetData(1,3)");
}

TEST_F(SerialKitPort, GetDataWithOffsetRefusesBadRangesBeforeReading) {
  auto port = openPort("Linux");
  driver->receive({7, 8, 9});
  driver->clearCalls();
  Bytes buf(4, 0);
  EXPECT_EQ(port->getData(std::span<uint8_t>(), 0, 3), 0);
  EXPECT_EQ(messageOf([&] { port->getData(buf, 2, 3); }),
            "getData: offset and length out of bounds");
  EXPECT_EQ(messageOf([&] { port->getData(buf, 5, 0); }),
            "getData: offset and length out of bounds");
  EXPECT_EQ(messageOf([&] { port->getData(buf, -1, 2); }), "getData: negative offset or length");
  EXPECT_EQ(messageOf([&] { port->getData(buf, 0, -2); }), "getData: negative offset or length");
  EXPECT_TRUE(driver->calls().empty());
  EXPECT_EQ(buf, Bytes(4, 0));
  EXPECT_EQ(port->getData(buf, 1, 3), 3);  // nothing was lost
  EXPECT_EQ(buf, (Bytes{0, 7, 8, 9}));
}

TEST_F(SerialKitPort, DriverReportingMoreThanAskedIsRefused) {
  auto port = openPort("Linux");
  driver->script("SerGetData", 10);
  Bytes buf(4, 0);
  EXPECT_EQ(messageOf([&] { port->getData(buf, 1, 2); }), "getData: failed");
  EXPECT_EQ(buf, Bytes(4, 0));
}

struct FlushCase {
  const char* op;
  std::function<int32_t(SerialPortLocal&)> call;
  const char* message;
};

void PrintTo(const FlushCase& c, std::ostream* os) {
  *os << c.op << (*c.message != 0 ? " fails" : " passes");
}

class SerialKitFlushes : public SerialKitPort, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(SerialKitFlushes, PassResultOrFail) {
  auto port = openPort("Linux");
  driver->script(GetParam().op, 7);
  EXPECT_EQ(GetParam().call(*port), 7);
  driver->script(GetParam().op, -1);
  EXPECT_EQ(messageOf([&] { GetParam().call(*port); }), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitFlushes,
    ::testing::Values(
        FlushCase{"SerRxFlush", [](SerialPortLocal& p) { return p.rxFlush(); }, "rxFlush failed"},
        FlushCase{"SerTxFlush", [](SerialPortLocal& p) { return p.txFlush(); }, "txFlush failed"},
        FlushCase{"SerTxDrain", [](SerialPortLocal& p) { return p.txDrain(); }, "txDrain failed"}));

// Where the library waits out the receive timeout (Linux), a silent line gives -1 after the
// timeout without asking the driver for the byte.
TEST_F(SerialKitPort, LinuxGetByteWaitsOutTheReceiveTimeout) {
  auto port = openPort("Linux");
  port->setTimeoutRx(150);
  driver->clearCalls();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port->getByte(), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_EQ(driver->count("SerGetByte"), 0u);
  EXPECT_GT(driver->count("SerRxReadyCount"), 0u);

  driver->receive({42});
  EXPECT_EQ(port->getByte(), 42);
}

TEST_F(SerialKitPort, LinuxGetDataWaitsForTheWholeArrayThenReadsWhatIsThere) {
  auto port = openPort("Linux");
  port->setTimeoutRx(100);
  driver->receive({1, 2});
  Bytes buf(4);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port->getData(buf), 2);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(SerialKitPort, NoWaitWithTimeoutZeroOrWhereTheDriverWaits) {
  for (const char* os : {"Linux", "Windows NT"}) {
    auto port = openPort(os);
    if (std::string(os) == "Windows NT") port->setTimeoutRx(5000);
    driver->clearCalls();
    EXPECT_EQ(port->getByte(), -1);
    EXPECT_EQ(driver->count("SerRxReadyCount"), 0u) << os;
    EXPECT_EQ(driver->count("SerGetByte"), 1u) << os;
  }
}

// ---------------------------------------------------------------------------------------------
// guards of the optional operations, per platform

struct GuardCase {
  const char* label;
  const char* os;
  bool open;
  std::function<void(SerialPortLocal&)> call;
  const char* message;
};

void PrintTo(const GuardCase& c, std::ostream* os) { *os << c.label; }

class SerialKitGuards : public SerialKitPort, public ::testing::WithParamInterface<GuardCase> {};

TEST_P(SerialKitGuards, OrderAndMessages) {
  const GuardCase& c = GetParam();
  auto port = c.open ? openPort(c.os) : closedPort(c.os);
  EXPECT_EQ(messageOf([&] { c.call(*port); }), c.message);
}

using P = SerialPortLocal&;
INSTANTIATE_TEST_SUITE_P(
    All, SerialKitGuards,
    ::testing::Values(GuardCase{"LinuxRxOverflow", "Linux", true, [](P p) { p.rxOverflow(); },
                                "rxOverflow not supported on Linux"},
                      GuardCase{"LinuxSigBreak", "Linux", true, [](P p) { p.sigBreak(); },
                                "sigBreak not supported on Linux"},
                      GuardCase{"LinuxSigFrameErr", "Linux", false, [](P p) { p.sigFrameErr(); },
                                "sigFrameErr not supported on Linux"},
                      GuardCase{"LinuxSetRTS", "Linux", true, [](P p) { p.setRTS(true); }, ""},
                      GuardCase{"LinuxTxBufCount", "Linux", true, [](P p) { p.txBufCount(); }, ""},
                      GuardCase{"LinuxSigCDClosed", "Linux", false, [](P p) { p.sigCD(); },
                                "sigCD: Port not open"},
                      GuardCase{"MacSetRTS", "Mac OS", true, [](P p) { p.setRTS(false); },
                                "setRts not supported on Mac OS"},
                      GuardCase{"MacSigRingClosed", "Mac OS", false, [](P p) { p.sigRing(); },
                                "sigRing not supported on Mac OS"},
                      GuardCase{"MacTxBufCount", "Mac OS", true, [](P p) { p.txBufCount(); },
                                "txBufCount not supported on Mac OS"},
                      GuardCase{"NtSigCDClosed", "Windows NT", false, [](P p) { p.sigCD(); },
                                "sigCD: Port not open"},
                      GuardCase{"NtSigDSRClosed", "Windows NT", false, [](P p) { p.sigDSR(); },
                                "sigDSR: Port not open"},
                      GuardCase{"NtRxReadyCountClosed", "Windows NT", false,
                                [](P p) { p.rxReadyCount(); }, "rxReadyCount: Port not open"},
                      GuardCase{"NtSetDTRClosed", "Windows NT", false, [](P p) { p.setDTR(true); },
                                "setDTR failed"},
                      GuardCase{"NtSetRTSClosed", "Windows NT", false, [](P p) { p.setRTS(true); },
                                "setRTS failed"},
                      GuardCase{"NtSetTimeoutRxClosed", "Windows NT", false,
                                [](P p) { p.setTimeoutRx(5); }, "setTimeoutRx failed"},
                      GuardCase{"NtSetTimeoutTxClosed", "Windows NT", false,
                                [](P p) { p.setTimeoutTx(5); }, "setTimeoutTx failed"},
                      GuardCase{"NtSendBreakClosed", "Windows NT", false,
                                [](P p) { p.sendBreak(10); }, "sendBreak failed"},
                      GuardCase{"NtSigParityErrClosed", "Windows NT", false,
                                [](P p) { p.sigParityErr(); }, "sigParityErr: Port not open"},
                      GuardCase{"CeRxReadyCount", "Windows CE", true, [](P p) { p.rxReadyCount(); },
                                "rxReadyCount not supported on Windows CE"},
                      GuardCase{"CeSetDTR", "Windows CE", true, [](P p) { p.setDTR(true); },
                                "setDTR not supported on Windows CE"},
                      GuardCase{"CeSigCTS", "Windows CE", true, [](P p) { p.sigCTS(); }, ""},
                      GuardCase{"CeSigOverrun", "Windows CE", true, [](P p) { p.sigOverrun(); },
                                "sigOverrun not supported on Windows CE"},
                      GuardCase{"IrixSetRTS", "Irix", true, [](P p) { p.setRTS(true); },
                                "setRts not supported on Irix"}),
    [](const auto& info) { return std::string(info.param.label); });

// Each query passes the driver's answer on: 1 is true, any other value false, -1 a failure
// except where the query treats it as "absent".
struct QueryCase {
  const char* op;
  std::function<bool(SerialPortLocal&)> call;
  const char* failure;  // "" = -1 counts as false
};

void PrintTo(const QueryCase& c, std::ostream* os) { *os << c.op; }

class SerialKitQueries : public SerialKitPort, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(SerialKitQueries, OnlyOneIsTrue) {
  auto port = openPort("Windows NT");
  const QueryCase& c = GetParam();
  driver->script(c.op, 1);
  EXPECT_TRUE(c.call(*port));
  driver->script(c.op, 2);
  EXPECT_FALSE(c.call(*port));
  driver->script(c.op, -1);
  if (std::string(c.failure).empty()) {
    EXPECT_FALSE(c.call(*port));
  } else {
    EXPECT_EQ(messageOf([&] { c.call(*port); }), c.failure);
  }
  EXPECT_EQ(driver->calls().back(), std::string(c.op) + "(1)");
}

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitQueries,
    ::testing::Values(
        QueryCase{"SerSigCTS", [](P p) { return p.sigCTS(); }, "sigCTS failed"},
        QueryCase{"SerSigDSR", [](P p) { return p.sigDSR(); }, "sigDSR failed"},
        QueryCase{"SerSigCD", [](P p) { return p.sigCD(); }, "sigCD failed"},
        QueryCase{"SerSigFrameErr", [](P p) { return p.sigFrameErr(); }, "sigFrameErr failed"},
        QueryCase{"SerSigOverrun", [](P p) { return p.sigOverrun(); }, "sigOverrun failed"},
        QueryCase{"SerSigBreak", [](P p) { return p.sigBreak(); }, "sigBreak failed"},
        QueryCase{"SerRxOverflow", [](P p) { return p.rxOverflow(); }, "rxOverflow failed"},
        QueryCase{"SerSigParityErr", [](P p) { return p.sigParityErr(); }, ""},
        QueryCase{"SerSigRing", [](P p) { return p.sigRing(); }, ""}));

TEST_F(SerialKitPort, CountsAndTimeoutsPassThrough) {
  auto port = openPort("Windows NT");
  driver->script("SerRxReadyCount", 12);
  driver->script("SerTxBufCount", 34);
  EXPECT_EQ(port->rxReadyCount(), 12);
  EXPECT_EQ(port->txBufCount(), 34);
  driver->script("SerTxBufCount", -1);
  EXPECT_EQ(messageOf([&] { port->txBufCount(); }), "txBufCount failed");
  port->setTimeoutTx(2147483647);
  EXPECT_EQ(port->getTimeoutTx(), 2147483647);
  port->setTimeoutRx(-5);  // no range test: the driver decides
  EXPECT_EQ(port->getTimeoutRx(), -5);
}

struct SupportCase {
  const char* os;
  const char* name;
  bool supported;
};

void PrintTo(const SupportCase& c, std::ostream* os) {
  *os << c.os << " " << c.name << (c.supported ? " supported" : " unsupported");
}

class SerialKitSupport : public SerialKitPort, public ::testing::WithParamInterface<SupportCase> {};

TEST_P(SerialKitSupport, IsSupported) {
  EXPECT_EQ(closedPort(GetParam().os)->isSupported(GetParam().name), GetParam().supported);
}

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitSupport,
    ::testing::Values(
        SupportCase{"Linux", "sigBreak", false}, SupportCase{"Linux", "sigRing", true},
        SupportCase{"Linux", "getTimeoutTx", true}, SupportCase{"Linux", "setTimeoutTx", false},
        SupportCase{"Linux", "setRTS", true}, SupportCase{"Linux", "setRts", true},
        SupportCase{"Linux", "SIGBREAK", true}, SupportCase{"Mac OS", "setRTS", false},
        SupportCase{"Mac OS", "sigDSR", false}, SupportCase{"Mac OS", "sigCTS", true},
        SupportCase{"Windows NT", "sigBreak", true}, SupportCase{"Windows CE", "sigCTS", false},
        SupportCase{"Windows CE", "txBufCount", false}, SupportCase{"Irix", "sigCTS", false},
        SupportCase{"IRIX", "sigCTS", true}, SupportCase{"HP-UX", "sigRing", false},
        SupportCase{"HP/UX", "sigRing", true}));

}  // namespace
}  // namespace SerialKit
