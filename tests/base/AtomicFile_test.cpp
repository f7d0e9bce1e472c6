// Replacing a small file atomically, on this system's calls (POSIX rename, or MoveFileExW on
// Windows, where these tests also run under Wine).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/AtomicFile.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(AtomicFile, WritesReplacesAndLeavesNoTemporaryBehind) {
  const fs::path dir = fs::temp_directory_path() / ("vexanet-atomic-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  ASSERT_TRUE(fs::create_directory(dir));
  const fs::path file = dir / "states";
  std::string error;
  ASSERT_TRUE(vexanet::WriteFileAtomically(file, "first\n", error)) << error;
  EXPECT_EQ(Read(file), "first\n");
  // Over an existing file (which a plain rename on Windows refuses).
  ASSERT_TRUE(vexanet::WriteFileAtomically(file, "second, longer\n", error)) << error;
  EXPECT_EQ(Read(file), "second, longer\n");
  ASSERT_TRUE(vexanet::WriteFileAtomically(file, "", error)) << error;
  EXPECT_EQ(Read(file), "");
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 1u) << "a temporary file was left behind";

  // A folder that does not exist: an error naming the file, nothing written.
  EXPECT_FALSE(vexanet::WriteFileAtomically(dir / "missing" / "states", "x", error));
  EXPECT_NE(error.find("states"), std::string::npos) << error;
  fs::remove_all(dir);
}

}  // namespace
