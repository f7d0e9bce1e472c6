// Choosing and loading the native driver: the platform table, the registry, what happens when
// the platform is not supported or no driver answers to the chosen name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ostream>
#include <cstdio>

#include <memory>
#include <string>

#include "FakeDriver.h"
#include "ProgramCommand.h"
#include "SerialKit/NativeDriverRegistry.h"
#include "SerialKit/Platform.h"
#include "SerialKit/SerialPortLocal.h"

namespace SerialKit {
namespace {

struct ChoiceCase {
  const char* os;
  const char* arch;
  const char* version;
  const char* vendor;
  const char* library;  // "" = not supported
};

// Readable test names: "Windows NT x86 102 Microsoft Corp. -> nsdWinRni".
void PrintTo(const ChoiceCase& c, std::ostream* os) {
  *os << c.os << " " << c.arch << " " << c.version << " " << c.vendor << " -> "
      << (*c.library != 0 ? c.library : "unsupported");
}

class SerialKitDriverChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(SerialKitDriverChoice, Table) {
  const ChoiceCase& c = GetParam();
  EXPECT_EQ(chooseNativeLibrary({c.os, c.version, c.vendor, c.arch}), c.library);
}

INSTANTIATE_TEST_SUITE_P(
    All, SerialKitDriverChoice,
    ::testing::Values(ChoiceCase{"Windows 95", "x86", "1.1", "Other", "nsdWin"},
                      ChoiceCase{"Windows NT", "x86", "102", "Other", "nsdWinNm"},
                      ChoiceCase{"Windows NT", "x86", "1.0.2", "Other", "nsdWinNm"},
                      ChoiceCase{"Windows NT", "x86", "102", "Microsoft Corp.", "nsdWinRni"},
                      ChoiceCase{"Windows 95", "x86", "1.1", "Microsoft Corp.", "nsdWinRni"},
                      ChoiceCase{"Windows NT", "x86", "1.0.2", "Microsoft Corp.", "nsdWinRnia"},
                      ChoiceCase{"Windows 98", "x86", "1.1", "Other", "nsdWin"},
                      ChoiceCase{"Windows CE", "arm", "1.0.2", "Microsoft Corp.", "nsdWce"},
                      ChoiceCase{"OS/2", "x86", "1.1", "v", "nsdos2j"},
                      ChoiceCase{"Mac OS", "PowerPC", "1.1", "v", "nsdMac"},
                      ChoiceCase{"Linux", "x86", "1.1", "v", "nsdLux86"},
                      ChoiceCase{"Linux", "amd64", "1.1", "v", "nsdLinux"},
                      ChoiceCase{"Linux", "aarch64", "1.1", "v", "nsdLinux"},
                      ChoiceCase{"Linux", "arm", "1.1", "v", "nsdLinux"},
                      ChoiceCase{"Linux", "i386", "1.1", "v", ""},
                      ChoiceCase{"Linux", "AMD64", "1.1", "v", ""},
                      ChoiceCase{"linux", "amd64", "1.1", "v", ""},
                      ChoiceCase{"FreeBSD", "i386", "1.1", "v", "nsdBsdx86"},
                      ChoiceCase{"FreeBSD", "x86", "1.1", "v", "nsdBsdx86"},
                      ChoiceCase{"FreeBSD", "amd64", "1.1", "v", ""},
                      ChoiceCase{"Solaris", "x86", "1.1", "v", "nsdSolx86"},
                      ChoiceCase{"SunOS", "sparc", "1.1", "v", "nsdSolSparc"},
                      ChoiceCase{"HP-UX", "PA-RISC", "1.1", "v", "nsdHpxPaRisc"},
                      ChoiceCase{"HP/UX", "PA-RISC", "1.1", "v", ""},
                      ChoiceCase{"Irix", "mips", "1.1", "v", "nsdIrxMips"},
                      ChoiceCase{"IRIX", "mips", "1.1", "v", ""},
                      ChoiceCase{"AIX", "POWER_PC", "1.1", "v", "nsdAixPpc"},
                      ChoiceCase{"BeOS", "x86", "1.1", "v", ""}));

TEST(SerialKitPlatform, ArchitectureNames) {
  EXPECT_EQ(architectureName("x86_64"), "amd64");
  EXPECT_EQ(architectureName("aarch64"), "aarch64");
  EXPECT_EQ(architectureName("arm64"), "aarch64");
  // 32-bit ARM, whatever core the kernel names (a 32-bit Raspberry Pi system: armv6l, armv7l).
  EXPECT_EQ(architectureName("armv6l"), "arm");
  EXPECT_EQ(architectureName("armv7l"), "arm");
  EXPECT_EQ(architectureName("armv8l"), "arm");
  EXPECT_EQ(architectureName("i686"), "x86");
  EXPECT_EQ(architectureName("riscv64"), "riscv64");
}

TEST(SerialKitPlatform, ThisMachineGetsTheLinuxDriver) {
  const PlatformFacts facts = systemPlatform();
  if (facts.osName != "Linux") GTEST_SKIP() << "not Linux";
  EXPECT_EQ(chooseNativeLibrary(facts), "nsdLinux");
  EXPECT_EQ(facts.runtimeVendor, "SerialKit");
  EXPECT_FALSE(facts.runtimeVersion.empty());
}

TEST(SerialKitPlatform, ScopedOverridesNestAndRestore) {
  const std::string system = systemPlatform().osName;
  {
    ScopedPlatform outer(PlatformFacts{"Mac OS", "1", "v", "PowerPC"});
    EXPECT_EQ(currentPlatform().osName, "Mac OS");
    {
      ScopedPlatform inner("OS/2");
      EXPECT_EQ(currentPlatform().osName, "OS/2");
      EXPECT_EQ(currentPlatform().architecture, "PowerPC");
    }
    EXPECT_EQ(currentPlatform().osName, "Mac OS");
  }
  EXPECT_EQ(currentPlatform().osName, system);
}

TEST(SerialKitRegistry, LinuxDriverAnswersToBothNames) {
  if (systemPlatform().osName != "Linux") GTEST_SKIP() << "not Linux";
  std::string error;
  const auto a = NativeDriverRegistry::instance().load("nsdLinux", error);
  const auto b = NativeDriverRegistry::instance().load("nsdLux86", error);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);  // one driver instance: it keeps the table of open ports
}

class SerialKitProcessDriver : public ::testing::Test {
 protected:
  void SetUp() override { testing::resetProcessDriver(); }
  void TearDown() override { testing::resetProcessDriver(); }
};

TEST_F(SerialKitProcessDriver, RegisteredFakeIsLoadedByName) {
  auto fake = std::make_shared<test::FakeDriver>();
  NativeDriverRegistry::instance().add("nsdMac", [fake] { return fake; });
  ScopedPlatform mac(PlatformFacts{"Mac OS", "1.1", "v", "PowerPC"});
  EXPECT_EQ(processDriver(), fake);
  EXPECT_TRUE(NativeDriverRegistry::instance().remove("nsdMac"));
  // The choice is made once: a second call does not look again.
  EXPECT_EQ(processDriver(), fake);
  SerialPortLocal port;
  EXPECT_EQ(port.getLibVer(), 1234);
}

// OS/2: no build has a driver for it (the Windows build answers to "nsdWin").
TEST_F(SerialKitProcessDriver, MissingLibraryPrintsLineAndPortsFailCleanly) {
  ScopedPlatform os2(PlatformFacts{"OS/2", "1.1", "Other", "x86"});
  ::testing::internal::CaptureStdout();
  SerialPortLocal port;
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "no built-in native driver answers to nsdos2j: Check that native library nsdos2j is "
            "in proper directory\n");
  EXPECT_EQ(processDriver(), nullptr);

  EXPECT_EQ(port.getLibVer(), -1);
  EXPECT_EQ(port.getPortName(), "COM1");
  try {
    port.open();
    FAIL() << "opened without a driver";
  } catch (const SerialIOException& e) {
    EXPECT_STREQ(e.what(), "SerOpenPort failed: 1001");
  }
  EXPECT_FALSE(port.isOpen());
  EXPECT_THROW(port.putByte(1), SerialIOException);
  uint8_t buf[4];
  EXPECT_THROW(port.getData(buf), SerialIOException);
  EXPECT_THROW(port.setTimeoutRx(0), SerialIOException);
  EXPECT_THROW(port.configure(), SerialIOException);
  EXPECT_NO_THROW(port.close());

  // A record-made port cannot come to exist either.
  EXPECT_THROW(SerialPortLocal(std::make_shared<SerialConfig>(std::string("COM1"))),
               SerialIOException);
}

using SerialKitProcessDriverDeathTest = SerialKitProcessDriver;

TEST_F(SerialKitProcessDriverDeathTest, UnsupportedPlatformEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, testing_support::ThreadsafeDeathTestStyle());
  EXPECT_EXIT(
      {
        ScopedPlatform beos(PlatformFacts{"Linux", "1.1", "v", "sparc"});
        SerialPortLocal port;
      },
      ::testing::ExitedWithCode(1), "");
}

TEST_F(SerialKitProcessDriverDeathTest, UnsupportedPlatformPrintsItsLine) {
  GTEST_FLAG_SET(death_test_style, testing_support::ThreadsafeDeathTestStyle());
  // The line goes to standard output; the child copies it to standard error for the matcher.
  EXPECT_EXIT(
      {
        ScopedPlatform beos(PlatformFacts{"BeOS", "1.1", "v", "x86"});
        std::fflush(stdout);
        ::dup2(2, 1);
        processDriver();
      },
      ::testing::ExitedWithCode(1), "^Platform not supported\n$");
}

}  // namespace
}  // namespace SerialKit
