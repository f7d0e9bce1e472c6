#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/AtomicFile.h"

namespace vexanet {

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content,
                         std::string& error) {
  const std::filesystem::path temporary = file.string() + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = temporary.string() + ": " + std::strerror(errno);
    return false;
  }
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = temporary.string() + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    written += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    error = temporary.string() + ": " + std::strerror(errno);
    return false;
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    error = file.string() + ": " + std::strerror(errno);
    return false;
  }
  // The rename itself reaches the disk with the folder.
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace vexanet
