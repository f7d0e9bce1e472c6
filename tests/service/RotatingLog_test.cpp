// The service's log file: lines kept whole and in order, the file renamed at its limit so that
// the disk never holds much more than twice the limit.
#include "service/RotatingLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;
using vexanet::service::RotatingLog;

namespace {

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class RotatingLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("vexanet-log-" + std::string(info->name()) + "-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    ASSERT_TRUE(fs::create_directories(dir_));
    path_ = dir_ / "server.log";
    older_ = dir_ / "server.log.1";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  fs::path dir_, path_, older_;
};

TEST_F(RotatingLogTest, AppendsToWhatIsThereAndKeepsPiecesOfALineTogether) {
  { std::ofstream(path_, std::ios::binary) << "from before\n"; }
  RotatingLog log(path_, 1000);
  ASSERT_TRUE(log.Open()) << log.Problem();
  log.Append("Status: ");
  log.Append("Ready\n");
  EXPECT_EQ(Read(path_), "from before\nStatus: Ready\n");
  EXPECT_FALSE(fs::exists(older_));
}

TEST_F(RotatingLogTest, RenamesAtTheLimitOnlyAtALinesEndAndReplacesTheOlderFile) {
  RotatingLog log(path_, 20);
  log.Append("0123456789");
  log.Append("0123456789-");  // 21 bytes, but the line goes on
  EXPECT_FALSE(fs::exists(older_));
  log.Append("end\n");
  EXPECT_EQ(Read(older_), "01234567890123456789-end\n");
  EXPECT_EQ(Read(path_), "");
  log.Append("second file, long enough\n");
  log.Append("third\n");
  // The first file is gone: at most two are kept.
  EXPECT_EQ(Read(older_), "second file, long enough\n");
  EXPECT_EQ(Read(path_), "third\n");
}

TEST_F(RotatingLogTest, CountsWhatTheFileHeldAlready) {
  { std::ofstream(path_, std::ios::binary) << std::string(19, 'x') << "\n"; }
  RotatingLog log(path_, 25);
  log.Append("abcde\n");  // 26 bytes in all
  EXPECT_EQ(Read(older_), std::string(19, 'x') + "\nabcde\n");
}

TEST_F(RotatingLogTest, AFolderThatIsMissingIsReportedNotFatal) {
  RotatingLog log(dir_ / "missing" / "server.log", 100);
  EXPECT_FALSE(log.Open());
  EXPECT_NE(log.Problem().find("cannot open"), std::string::npos) << log.Problem();
  log.Append("lost\n");  // nothing to write to, and no crash
  fs::create_directories(dir_ / "missing");
  log.Append("found\n");  // the folder came back: the log opens again
  EXPECT_EQ(Read(dir_ / "missing" / "server.log"), "found\n");
}

}  // namespace
