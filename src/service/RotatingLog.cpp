#include "service/RotatingLog.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace vexanet::service {

RotatingLog::RotatingLog(std::filesystem::path path, std::uintmax_t limit)
    : path_(std::move(path)), limit_(limit) {
  Reopen();
}

RotatingLog::~RotatingLog() {
  if (file_ != nullptr) std::fclose(file_);
}

void RotatingLog::Reopen() {
  if (file_ != nullptr) std::fclose(file_);
  // Binary: the lines already end as the program wrote them.
#if defined(_WIN32)
  file_ = ::_wfopen(path_.c_str(), L"ab");
#else
  file_ = std::fopen(path_.c_str(), "ab");
#endif
  if (file_ == nullptr) {
    problem_ = "cannot open " + path_.string() + ": " + std::strerror(errno);
    size_ = 0;
    return;
  }
  problem_.clear();
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path_, error);
  size_ = error ? 0 : size;
}

void RotatingLog::Rotate() {
  std::fclose(file_);
  file_ = nullptr;
  std::filesystem::path older = path_;
  older += ".1";
  std::error_code error;
  std::filesystem::rename(path_, older, error);
  Reopen();
  if (error && file_ != nullptr) {
    // Kept growing rather than lost: say so in the log itself, once per try.
    const std::string line = "Log: cannot rename " + path_.string() + " to " + older.string() +
                             ": " + error.message() + "\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
    size_ = 0;  // the next try comes after another limit's worth, not after every line
  }
}

void RotatingLog::Append(std::string_view text) {
  if (file_ == nullptr) Reopen();
  if (file_ == nullptr || text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), file_);
  std::fflush(file_);
  size_ += text.size();
  if (size_ >= limit_ && text.back() == '\n') Rotate();
}

}  // namespace vexanet::service
