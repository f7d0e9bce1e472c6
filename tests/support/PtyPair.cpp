#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testing_support {

namespace {

int RemainingMs(PtyPair::Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - PtyPair::Clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1000));
}

}  // namespace

PtyPair::PtyPair() {
  int master = -1;
  int serial = -1;
  std::array<char, 128> name{};
  if (::openpty(&master, &serial, name.data(), nullptr, nullptr) != 0)
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  master_ = UniqueFd(master);
  serial_ = UniqueFd(serial);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(serial, F_SETFD, FD_CLOEXEC);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  path_ = name.data();
}

bool PtyPair::Write(const Bytes& bytes) const {
  std::size_t done = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (done < bytes.size()) {
    const ssize_t n = ::write(master(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (Clock::now() >= deadline) return false;
    pollfd p{master(), POLLOUT, 0};
    ::poll(&p, 1, RemainingMs(deadline));
  }
  return true;
}

termios PtyPair::SerialSettings() const {
  termios t{};
  ::tcgetattr(serial() >= 0 ? serial() : master(), &t);
  return t;
}

PtyPair::Bytes PtyPair::ReadFd(int fd, std::size_t count, Clock::duration timeout) {
  Bytes out;
  const auto deadline = Clock::now() + timeout;
  while (out.size() < count && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    // Short waits: a reader on a line that another thread replaces sees the new state soon.
    if (::poll(&p, 1, std::min(RemainingMs(deadline), 20)) <= 0) continue;
    std::array<std::uint8_t, 256> buf{};
    const ssize_t n = ::read(fd, buf.data(), std::min(buf.size(), count - out.size()));
    if (n > 0) {
      out.insert(out.end(), buf.data(), buf.data() + n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;  // a hung-up or closed master: nothing more will come
    }
  }
  return out;
}

bool PtyPair::QuietFd(int fd, Clock::duration d) {
  pollfd p{fd, POLLIN, 0};
  const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
  return ::poll(&p, 1, ms) == 0;
}

}  // namespace testing_support
