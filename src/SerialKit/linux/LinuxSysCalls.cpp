#include "LinuxSysCalls.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

namespace SerialKit {

namespace {

class RealSysCalls final : public LinuxSysCalls {
 public:
  int openPath(const char* path, int flags) override { return ::open(path, flags); }
  int closeFd(int fd) override { return ::close(fd); }
  int statPath(const char* path, struct stat* st) override { return ::stat(path, st); }
  int fstatFd(int fd, struct stat* st) override { return ::fstat(fd, st); }
  int flockFd(int fd, int operation) override { return ::flock(fd, operation); }
  int ioctlNoArg(int fd, unsigned long request) override { return ::ioctl(fd, request); }
  int ioctlInt(int fd, unsigned long request, int* arg) override {
    return ::ioctl(fd, request, arg);
  }
  int tcGetAttr(int fd, struct termios* t) override { return ::tcgetattr(fd, t); }
  int tcSetAttr(int fd, int action, const struct termios* t) override {
    return ::tcsetattr(fd, action, t);
  }
  int tcSendBreak(int fd, int duration) override { return ::tcsendbreak(fd, duration); }
  int tcFlush(int fd, int queue) override { return ::tcflush(fd, queue); }
  int tcDrain(int fd) override { return ::tcdrain(fd); }
  ssize_t readFd(int fd, void* buf, size_t count) override { return ::read(fd, buf, count); }
  ssize_t writeFd(int fd, const void* buf, size_t count) override {
    return ::write(fd, buf, count);
  }
  int pollFds(struct pollfd* fds, nfds_t count, int timeoutMs) override {
    return ::poll(fds, count, timeoutMs);
  }
  std::optional<std::string> getEnv(const char* name) override {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return std::string(v);
  }
};

}  // namespace

std::shared_ptr<LinuxSysCalls> realLinuxSysCalls() {
  static const std::shared_ptr<LinuxSysCalls> sys = std::make_shared<RealSysCalls>();
  return sys;
}

}  // namespace SerialKit
