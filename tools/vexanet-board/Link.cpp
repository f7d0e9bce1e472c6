#include "vexanet-board/Link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vexanet::board {

namespace {

std::string Failure(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

}  // namespace

std::string MakeLink(const std::string& link, const std::string& target) {
  if (link.empty()) return "the link path is empty";
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return link + " exists and is not a symbolic link; not replacing it";
    // Replace the old link in one step: a new link beside it, renamed over it.
    const std::string tmp = link + ".new-" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0) {
      return Failure("cannot create the link", tmp, errno);
    }
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
      const int err = errno;
      ::unlink(tmp.c_str());
      return Failure("cannot replace the link", link, err);
    }
    return {};
  }
  if (errno != ENOENT) return Failure("cannot examine", link, errno);
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    return Failure("cannot create the link", link, errno);
  }
  return {};
}

bool RemoveLinkIfOurs(const std::string& link, const std::string& target) {
  std::vector<char> buf(target.size() + 2);
  const ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
  if (n < 0 || static_cast<std::size_t>(n) != target.size()) return false;
  if (std::string(buf.data(), static_cast<std::size_t>(n)) != target) return false;
  return ::unlink(link.c_str()) == 0;
}

}  // namespace vexanet::board
