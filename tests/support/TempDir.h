// A temporary folder, removed with its contents on destruction.
#pragma once

#include <filesystem>
#include <string_view>

namespace testing_support {

class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "vexanet-test");  // throws std::runtime_error
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace testing_support
