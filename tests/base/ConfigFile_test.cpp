#include "base/ConfigFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/wait.h>

#include "ProgramCommand.h"
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace cfg = vexanet::cfg;
namespace fs = std::filesystem;

namespace {

cfg::Settings FromBytes(const std::vector<uint8_t>& bytes) {
  cfg::Buffer buffer{};
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), buffer.size()), buffer.begin());
  cfg::Settings s;
  cfg::Interpret(buffer, s);
  return s;
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    // A folder of its own under the system's temporary folder, named after the test.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("vexanet-cfg-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    ASSERT_TRUE(fs::create_directory(dir_));
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::ofstream out(Path(name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  fs::path dir_;
};

}  // namespace

TEST(ConfigInterpret, AllZeroGivesTheDefaults) {
  const auto s = FromBytes({});
  EXPECT_EQ(s.comport, "COM1");
  EXPECT_EQ(s.devtype, "Vexa");
  EXPECT_EQ(s.port, 3001);
  EXPECT_EQ(s.to, 0);
  EXPECT_TRUE(s.autoaccept);
}

TEST(ConfigInterpret, ShortFileCountsMissingBytesAsZero) {
  const auto s = FromBytes({1, 0x50, 0xFF});
  EXPECT_EQ(s.comport, "COM2");
  EXPECT_EQ(s.devtype, "Vexa");
  EXPECT_EQ(s.port, 3000);
  EXPECT_EQ(s.to, 0);
  EXPECT_TRUE(s.autoaccept);
}

TEST(ConfigInterpret, PortNameCharacter) {
  EXPECT_EQ(FromBytes({8}).comport, "COM9");
  EXPECT_EQ(FromBytes({255}).comport, "COM0");
  EXPECT_EQ(FromBytes({9}).comport, "COM:");
  // 0x4F + 49 = 0x80: a negative character code widened to 16 bits, U+FF80.
  EXPECT_EQ(FromBytes({0x4F}).comport, "COM\xEF\xBE\x80");
  EXPECT_EQ(FromBytes({0xCE}).comport, "COM\xEF\xBF\xBF");  // U+FFFF
}

TEST(ConfigInterpret, SignedPortOffset) {
  EXPECT_EQ(FromBytes({0, 0, 0x80}).port, 2873);
  EXPECT_EQ(FromBytes({0, 0, 0x7F}).port, 3128);
  EXPECT_EQ(FromBytes({0, 0, 0xFF}).port, 3000);
  EXPECT_EQ(FromBytes({0, 0, 0x01}).port, 3002);
}

TEST(ConfigInterpret, SessionCodes) {
  const int minutes[] = {0, 1, 5, 10, 15, 30, 60};
  for (uint8_t code = 0; code < 7; ++code) {
    EXPECT_EQ(FromBytes({0, 0, 0, code}).to, minutes[code]) << int(code);
  }
  // Other codes keep the value the setting had.
  for (uint8_t code : {7, 8, 100, 255}) {
    cfg::Buffer b{};
    b[3] = code;
    cfg::Settings s;
    s.to = 42;
    cfg::Interpret(b, s);
    EXPECT_EQ(s.to, 42) << int(code);
  }
}

TEST(ConfigInterpret, AcceptanceByteAndDeviceType) {
  EXPECT_FALSE(FromBytes({0, 0, 0, 0, 1}).autoaccept);
  EXPECT_FALSE(FromBytes({0, 0, 0, 0, 2}).autoaccept);
  EXPECT_TRUE(FromBytes({0, 0, 0, 0, 0}).autoaccept);
  cfg::Buffer b{};
  b[1] = 0x51;
  cfg::Settings s;
  s.devtype = "Other";
  cfg::Interpret(b, s);
  EXPECT_EQ(s.devtype, "Other");
  b[1] = 0x50;
  cfg::Interpret(b, s);
  EXPECT_EQ(s.devtype, "Vexa");
}

TEST_F(TempDir, LoadMissingFileLeavesBufferZero) {
  cfg::Buffer b;
  b.fill(7);
  const auto r = cfg::Load(Path("none.bin"), b);
  EXPECT_EQ(r.state, cfg::LoadState::Missing);
  EXPECT_EQ(b, cfg::Buffer{});
}

TEST_F(TempDir, LoadReadsAtMost128Bytes) {
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  WriteFile("long.bin", bytes);
  cfg::Buffer b{};
  const auto r = cfg::Load(Path("long.bin"), b);
  EXPECT_EQ(r.state, cfg::LoadState::Loaded);
  EXPECT_EQ(r.bytesRead, 128u);
  EXPECT_TRUE(std::equal(b.begin(), b.end(), bytes.begin()));
}

TEST_F(TempDir, LoadShortFileZeroesTheRest) {
  WriteFile("short.bin", {3, 0x50});
  cfg::Buffer b;
  b.fill(9);
  const auto r = cfg::Load(Path("short.bin"), b);
  EXPECT_EQ(r.bytesRead, 2u);
  EXPECT_EQ(b[0], 3);
  EXPECT_EQ(b[1], 0x50);
  EXPECT_TRUE(std::all_of(b.begin() + 2, b.end(), [](uint8_t v) { return v == 0; }));
}

TEST_F(TempDir, UnreadableFilesAreReportedAndTreatedAsMissing) {
  cfg::Buffer b{};
  fs::create_directory(Path("dir.bin"));
  auto r = cfg::Load(Path("dir.bin"), b);
  EXPECT_EQ(r.state, cfg::LoadState::Unreadable);
  EXPECT_FALSE(r.reason.empty());
  EXPECT_EQ(b, cfg::Buffer{});

#ifndef _WIN32
  // A FIFO must not block the start-up.
  ASSERT_EQ(::mkfifo(Path("fifo.bin").c_str(), 0600), 0);
  r = cfg::Load(Path("fifo.bin"), b);
  EXPECT_EQ(r.state, cfg::LoadState::Unreadable);

  if (::geteuid() != 0) {  // root reads whatever the permissions say
    WriteFile("secret.bin", {1, 2, 3});
    ::chmod(Path("secret.bin").c_str(), 0);
    r = cfg::Load(Path("secret.bin"), b);
    EXPECT_EQ(r.state, cfg::LoadState::Unreadable);
    EXPECT_EQ(b, cfg::Buffer{});
  }
#endif
}

TEST(ConfigEncode, EncodesTheDocumentedExample) {
  cfg::Request r;
  r.com = 2;
  r.tcpPort = 3000;
  r.minutes = 5;
  r.manual = true;
  EXPECT_EQ(cfg::Encode(r), (std::vector<uint8_t>{0x01, 0x50, 0xFF, 0x02, 0x01}));
}

TEST(ConfigEncode, EveryStorableRequestReadsBackExactly) {
  for (int com = 0; com <= 9; ++com) {
    for (int port : {2873, 2999, 3001, 3128}) {
      for (int minutes : {0, 1, 5, 10, 15, 30, 60}) {
        for (bool manual : {false, true}) {
          const auto s = FromBytes(cfg::Encode({com, port, minutes, manual}));
          EXPECT_EQ(s.comport, "COM" + std::to_string(com));
          EXPECT_EQ(s.port, port);
          EXPECT_EQ(s.to, minutes);
          EXPECT_EQ(s.autoaccept, !manual);
        }
      }
    }
  }
}

TEST(ConfigEncode, RefusesWhatTheFormatCannotHold) {
  EXPECT_THROW(cfg::Encode({10, 3001, 0, false}), std::invalid_argument);
  EXPECT_THROW(cfg::Encode({-1, 3001, 0, false}), std::invalid_argument);
  EXPECT_THROW(cfg::Encode({1, 2872, 0, false}), std::invalid_argument);
  EXPECT_THROW(cfg::Encode({1, 3129, 0, false}), std::invalid_argument);
  EXPECT_THROW(cfg::Encode({1, 3001, 2, false}), std::invalid_argument);
  EXPECT_THROW(cfg::Encode({1, 3001, -1, false}), std::invalid_argument);
}

TEST_F(TempDir, WriteReplacesAnExistingFileWhole) {
  const std::string file = Path("VexaNetCFG.bin");
  cfg::WriteAtomically(file, {1, 2, 3, 4, 5});
  cfg::WriteAtomically(file, {9, 8});
  cfg::Buffer b{};
  const auto r = cfg::Load(file, b);
  EXPECT_EQ(r.bytesRead, 2u);
  EXPECT_EQ(b[0], 9);
  EXPECT_EQ(b[1], 8);
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1);  // no temporary file left behind
}

#ifndef _WIN32
namespace {
int RunTool(const std::string& args) {
  const int status =
      std::system((testing_support::ProgramShellCommand(VEXANET_CONFIG_TOOL) + " " + args +
                   " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

TEST_F(TempDir, ConfigToolWritesWhatTheServerReadsBack) {
  const std::string file = Path("VexaNetCFG.bin");
  ASSERT_EQ(RunTool("write " + file + " --com 3 --tcp-port 2900 --session 30"), 0);
  cfg::Buffer b{};
  ASSERT_EQ(cfg::Load(file, b).state, cfg::LoadState::Loaded);
  cfg::Settings s;
  cfg::Interpret(b, s);
  EXPECT_EQ(s.comport, "COM3");
  EXPECT_EQ(s.port, 2900);
  EXPECT_EQ(s.to, 30);
  EXPECT_TRUE(s.autoaccept);

  // A refused value leaves the existing file untouched and exits with status 2.
  EXPECT_EQ(RunTool("write " + file + " --tcp-port 4000"), 2);
  cfg::Buffer again{};
  cfg::Load(file, again);
  EXPECT_EQ(again, b);
  // No temporary file is left behind.
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1);
}
#endif
