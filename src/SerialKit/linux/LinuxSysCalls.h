// LinuxSysCalls: the few system calls the termios driver makes, behind one small interface.
//
// The driver makes every system call through this seam so that tests can put a fake device
// beneath it and check what a pseudo-terminal cannot show (parity bits, modem lines, break,
// unsent-byte counts). Each call behaves like the system call of the same name: -1 with errno
// set on failure.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace SerialKit {

class LinuxSysCalls {
 public:
  virtual ~LinuxSysCalls() = default;

  virtual int openPath(const char* path, int flags) = 0;
  virtual int closeFd(int fd) = 0;
  virtual int statPath(const char* path, struct stat* st) = 0;
  virtual int fstatFd(int fd, struct stat* st) = 0;
  virtual int flockFd(int fd, int operation) = 0;
  // ioctl without an argument (TIOCEXCL, TIOCNXCL).
  virtual int ioctlNoArg(int fd, unsigned long request) = 0;
  // ioctl with an int argument (FIONREAD, TIOCOUTQ, TIOCMGET, TIOCMBIS, TIOCMBIC).
  virtual int ioctlInt(int fd, unsigned long request, int* arg) = 0;
  virtual int tcGetAttr(int fd, struct termios* t) = 0;
  virtual int tcSetAttr(int fd, int action, const struct termios* t) = 0;
  virtual int tcSendBreak(int fd, int duration) = 0;
  virtual int tcFlush(int fd, int queue) = 0;
  virtual int tcDrain(int fd) = 0;
  virtual ssize_t readFd(int fd, void* buf, size_t count) = 0;
  virtual ssize_t writeFd(int fd, const void* buf, size_t count) = 0;
  // poll; with no descriptors it is a pause of timeoutMs.
  virtual int pollFds(struct pollfd* fds, nfds_t count, int timeoutMs) = 0;
  // An environment variable's value; nothing when it is not set.
  virtual std::optional<std::string> getEnv(const char* name) = 0;
};

// The real system calls.
std::shared_ptr<LinuxSysCalls> realLinuxSysCalls();

}  // namespace SerialKit
