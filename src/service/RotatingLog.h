// A log file that cannot grow without end: once it has reached its limit at the end of a line,
// it is renamed to PATH.1 (replacing the one before) and a new file begins. So at most about
// twice the limit is kept on disk, the newest lines in PATH. Used where no journal keeps the
// console's lines (a Windows service).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace vexanet::service {

class RotatingLog {
 public:
  // Opens PATH for appending (made when absent). Open() says whether that worked; Problem()
  // says why not.
  RotatingLog(std::filesystem::path path, std::uintmax_t limit);
  ~RotatingLog();
  RotatingLog(const RotatingLog&) = delete;
  RotatingLog& operator=(const RotatingLog&) = delete;

  bool Open() const { return file_ != nullptr; }
  const std::string& Problem() const { return problem_; }
  const std::filesystem::path& Path() const { return path_; }

  // Writes text as it comes (a line may arrive in pieces) and flushes it.
  void Append(std::string_view text);

 private:
  void Reopen();
  void Rotate();

  std::filesystem::path path_;
  std::uintmax_t limit_;
  std::FILE* file_ = nullptr;
  std::uintmax_t size_ = 0;
  std::string problem_;
};

}  // namespace vexanet::service
