// The settings record: defaults, constructors, setter checks and messages, shared byte arrays.
#include "SerialKit/SerialConfig.h"

#include <gtest/gtest.h>

#include <ostream>
#include <functional>
#include <stdexcept>
#include <string>

#include "SerialKit/Platform.h"

namespace SerialKit {
namespace {

std::string text(const std::shared_ptr<SerialConfig::Bytes>& bytes) {
  return std::string(bytes->begin(), bytes->end());
}

const std::string kZeroByte(1, '\0');

struct CtorCase {
  const char* label;
  std::function<SerialConfig()> make;
  int32_t port, txLen, rxLen;
  std::string portName, baseName;
};

void PrintTo(const CtorCase& c, std::ostream* os) { *os << c.label; }

class SerialKitConfigCtor : public ::testing::TestWithParam<CtorCase> {};

TEST_P(SerialKitConfigCtor, DefaultsAndNames) {
  const CtorCase& c = GetParam();
  const SerialConfig cfg = c.make();
  EXPECT_EQ(cfg.getBitRate(), SerialConfig::BR_9600);
  EXPECT_EQ(cfg.getParity(), SerialConfig::PY_NONE);
  EXPECT_EQ(cfg.getDataBits(), SerialConfig::LN_8BITS);
  EXPECT_EQ(cfg.getStopBits(), SerialConfig::ST_1BITS);
  EXPECT_EQ(cfg.getHandshake(), SerialConfig::HS_NONE);
  EXPECT_TRUE(cfg.getHardFlow());
  EXPECT_EQ(cfg.getPort(), c.port);
  EXPECT_EQ(cfg.getTxLen(), c.txLen);
  EXPECT_EQ(cfg.getRxLen(), c.rxLen);
  EXPECT_EQ(text(cfg.getPortName()), c.portName);
  EXPECT_EQ(text(cfg.getBaseName()), c.baseName);
}

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitConfigCtor,
    ::testing::Values(
        CtorCase{"none", [] { return SerialConfig(); }, 0, 2048, 4096, "COM1", "/dev/ttyS"},
        CtorCase{"number", [] { return SerialConfig(3); }, 3, 2048, 4096, kZeroByte, "/dev/ttyS"},
        CtorCase{"negativeNumber", [] { return SerialConfig(-5); }, -5, 2048, 4096, kZeroByte,
                 "/dev/ttyS"},
        CtorCase{"numberAndSizes", [] { return SerialConfig(2, 10, -1); }, 2, 10, -1, kZeroByte,
                 "/dev/ttyS"},
        CtorCase{"name", [] { return SerialConfig(std::string("COM2")); }, 0, 2048, 4096, "COM2",
                 kZeroByte}),
    [](const auto& info) { return std::string(info.param.label); });

// One row: setter, value, expected message ("" = accepted), getter.
struct SetterCase {
  const char* label;
  void (SerialConfig::*set)(int32_t);
  int32_t (SerialConfig::*get)() const noexcept;
  int32_t value;
  const char* message;
};

void PrintTo(const SetterCase& c, std::ostream* os) {
  *os << c.label << " " << c.value << (*c.message != 0 ? " refused" : " taken");
}

class SerialKitConfigSetter : public ::testing::TestWithParam<SetterCase> {};

TEST_P(SerialKitConfigSetter, AcceptsOrRefusesLeavingFieldUnchanged) {
  const SetterCase& c = GetParam();
  SerialConfig cfg;
  cfg.setPortNum(4);
  const int32_t before = (cfg.*c.get)();
  if (std::string(c.message).empty()) {
    (cfg.*c.set)(c.value);
    EXPECT_EQ((cfg.*c.get)(), c.value);
  } else {
    try {
      (cfg.*c.set)(c.value);
      FAIL() << "accepted " << c.value;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ((cfg.*c.get)(), before);
  }
}

using C = SerialConfig;
INSTANTIATE_TEST_SUITE_P(
    All, SerialKitConfigSetter,
    ::testing::Values(
        SetterCase{"port0", &C::setPortNum, &C::getPort, 0, ""},
        SetterCase{"portMinus1", &C::setPortNum, &C::getPort, -1, "Invalid Port Number: -1"},
        SetterCase{"portMinus5", &C::setPortNum, &C::getPort, -5, "Invalid Port Number: -5"},
        SetterCase{"rate0", &C::setBitRate, &C::getBitRate, 0, ""},
        SetterCase{"rate11", &C::setBitRate, &C::getBitRate, 11, ""},
        SetterCase{"rate12", &C::setBitRate, &C::getBitRate, 12, "Invalid Serial Port Bit Rate"},
        SetterCase{"rateMinus1", &C::setBitRate, &C::getBitRate, -1,
                   "Invalid Serial Port Bit Rate"},
        SetterCase{"parityEven", &C::setParity, &C::getParity, 2, ""},
        SetterCase{"parityMark", &C::setParity, &C::getParity, C::PY_MARK,
                   "Invalid Serial Port Parity"},
        SetterCase{"parityMinus1", &C::setParity, &C::getParity, -1, "Invalid Serial Port Parity"},
        SetterCase{"data5", &C::setDataBits, &C::getDataBits, 0, ""},
        SetterCase{"data4", &C::setDataBits, &C::getDataBits, 4, "Invalid Serial Port Data Bits"},
        SetterCase{"dataMinus1", &C::setDataBits, &C::getDataBits, -1,
                   "Invalid Serial Port Data Bits"},
        SetterCase{"stop2", &C::setStopBits, &C::getStopBits, 1, ""},
        SetterCase{"stop2code2", &C::setStopBits, &C::getStopBits, 2,
                   "Invalid Serial Port Stop Bits"},
        SetterCase{"stopMinus1", &C::setStopBits, &C::getStopBits, -1,
                   "Invalid Serial Port Stop Bits"},
        SetterCase{"hsXon", &C::setHandshake, &C::getHandshake, 1, ""},
        SetterCase{"hsCtsRts", &C::setHandshake, &C::getHandshake, 2, ""},
        SetterCase{"hs4", &C::setHandshake, &C::getHandshake, 4, "Invalid Serial Port Handshake"},
        SetterCase{"hs15", &C::setHandshake, &C::getHandshake, 15, "Invalid Serial Port Handshake"},
        SetterCase{"hs16", &C::setHandshake, &C::getHandshake, 16, ""},
        SetterCase{"hs17", &C::setHandshake, &C::getHandshake, 17, ""},
        SetterCase{"hs240", &C::setHandshake, &C::getHandshake, 240, ""},
        SetterCase{"hs241", &C::setHandshake, &C::getHandshake, 241,
                   "Invalid Serial Port Handshake"},
        SetterCase{"hsMinus1", &C::setHandshake, &C::getHandshake, -1,
                   "Invalid Serial Port Handshake"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(SerialKitConfig, UncheckedSettersStoreAnything) {
  SerialConfig cfg;
  cfg.setTxLen(0);
  cfg.setRxLen(-7);
  cfg.setHardFlow(false);
  EXPECT_EQ(cfg.getTxLen(), 0);
  EXPECT_EQ(cfg.getRxLen(), -7);
  EXPECT_FALSE(cfg.getHardFlow());
}

struct DsrCase {
  const char* os;
  bool allowed;
};

void PrintTo(const DsrCase& c, std::ostream* os) {
  *os << c.os << (c.allowed ? " allows" : " refuses");
}

class SerialKitDsrDtr : public ::testing::TestWithParam<DsrCase> {};

TEST_P(SerialKitDsrDtr, DependsOnOsNameExactly) {
  const auto cfg = SerialConfig::forOs("COM1", GetParam().os);
  if (GetParam().allowed) {
    cfg->setHandshake(SerialConfig::HS_DSRDTR);
    EXPECT_EQ(cfg->getHandshake(), SerialConfig::HS_DSRDTR);
  } else {
    try {
      cfg->setHandshake(SerialConfig::HS_DSRDTR);
      FAIL() << "accepted DSR/DTR on " << GetParam().os;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "DSRDTR handshaking not available on this platform");
    }
    EXPECT_EQ(cfg->getHandshake(), SerialConfig::HS_NONE);
  }
}

INSTANTIATE_TEST_SUITE_P(All, SerialKitDsrDtr,
                         ::testing::Values(DsrCase{"Windows 95", true}, DsrCase{"Windows NT", true},
                                           DsrCase{"Windows CE", true}, DsrCase{"Windows 98", true},
                                           DsrCase{"OS/2", true}, DsrCase{"Linux", false},
                                           DsrCase{"windows nt", false}, DsrCase{"Mac OS", false},
                                           DsrCase{"", false}));

TEST(SerialKitConfig, OsNameIsReadWhenTheRecordIsMade) {
  std::shared_ptr<SerialConfig> cfg;
  {
    ScopedPlatform nt("Windows NT");
    cfg = std::make_shared<SerialConfig>(std::string("COM1"));
  }
  ScopedPlatform onLinux("Linux");
  EXPECT_EQ(cfg->getOsName(), "Windows NT");
  EXPECT_NO_THROW(cfg->setHandshake(SerialConfig::HS_DSRDTR));
  SerialConfig later;
  EXPECT_EQ(later.getOsName(), "Linux");
  EXPECT_THROW(later.setHandshake(SerialConfig::HS_DSRDTR), std::invalid_argument);
}

TEST(SerialKitConfig, CopySharesArraysUntilReplaced) {
  SerialConfig original(std::string("COM1"));
  original.setBitRate(SerialConfig::BR_115200);
  original.setHandshake(SerialConfig::HS_HARD_IN + SerialConfig::HS_HARD_OUT);
  original.setHardFlow(false);
  const auto copy = original.copy();
  EXPECT_EQ(copy->getBitRate(), SerialConfig::BR_115200);
  EXPECT_EQ(copy->getHandshake(), 0x30);
  EXPECT_FALSE(copy->getHardFlow());
  EXPECT_EQ(copy->getPortName(), original.getPortName());
  EXPECT_EQ(copy->getBaseName(), original.getBaseName());
  EXPECT_EQ(&copy->getOsName(), &original.getOsName());

  (*original.getPortName())[3] = '7';  // writing into the stored array changes both
  EXPECT_EQ(text(copy->getPortName()), "COM7");

  copy->setPortName("COM9");  // replacing the copy's array leaves the original alone
  EXPECT_EQ(text(copy->getPortName()), "COM9");
  EXPECT_EQ(text(original.getPortName()), "COM7");

  copy->setBitRate(SerialConfig::BR_110);
  EXPECT_EQ(original.getBitRate(), SerialConfig::BR_115200);
}

}  // namespace
}  // namespace SerialKit
