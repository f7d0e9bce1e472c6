#include "base/ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "base/Hex.h"

namespace vexanet::cfg {

namespace {

constexpr int32_t kSessionMinutes[] = {0, 1, 5, 10, 15, 30, 60};

// The few file calls that differ between POSIX systems and Windows.
#ifdef _WIN32
constexpr int kReadFlags = O_RDONLY | O_BINARY;

// A new file from a template ending in XXXXXX, opened for writing; -1 with errno on failure.
int MakeTempFile(std::string& tmpl) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = tmpl;
    if (_mktemp_s(name.data(), name.size() + 1) != 0) return -1;
    const int fd = ::_open(name.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                           _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST) {
      tmpl = name;
      return fd;
    }
  }
  return -1;
}
bool FinishFile(int fd) {
  return ::_commit(fd) == 0;
}
bool ReplaceFile(const std::string& from, const std::string& to) {
  if (::MoveFileExA(from.c_str(), to.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  errno = EACCES;
  return false;
}
#else
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;

int MakeTempFile(std::string& tmpl) {
  return ::mkstemp(tmpl.data());
}
bool FinishFile(int fd) {
  return ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
}
bool ReplaceFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}
#endif

std::string Errno(int e) {
  return std::strerror(e);
}

}  // namespace

void Interpret(const Buffer& cfg, Settings& s) {
  // Port name: byte 0 + 49 as a signed 8-bit character code, widened to 16 bits.
  const auto code = static_cast<int8_t>(static_cast<uint8_t>(cfg[0] + 49));
  const auto ch = static_cast<char16_t>(static_cast<int16_t>(code));
  s.comport = "COM" + hex::EncodeUtf8(ch);

  if (cfg[1] == 0x50) s.devtype = "Vexa";

  s.port += static_cast<int8_t>(cfg[2]);

  if (cfg[3] < std::size(kSessionMinutes)) s.to = kSessionMinutes[cfg[3]];

  s.autoaccept = cfg[4] == 0;
}

LoadResult Load(const std::string& path, Buffer& cfg) {
  cfg.fill(0);
  LoadResult result;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return result;  // missing: not an error
    result.state = LoadState::Unreadable;
    result.reason = Errno(errno);
    return result;
  }
  if (S_ISDIR(st.st_mode)) {
    result.state = LoadState::Unreadable;
    result.reason = "is a directory";
    return result;
  }
  if (!S_ISREG(st.st_mode)) {
    result.state = LoadState::Unreadable;
    result.reason = "not a regular file";
    return result;
  }
  const int fd = ::open(path.c_str(), kReadFlags);
  if (fd < 0) {
    result.state = LoadState::Unreadable;
    result.reason = Errno(errno);
    return result;
  }
  size_t got = 0;
  while (got < cfg.size()) {
    const auto n = ::read(fd, cfg.data() + got, static_cast<unsigned>(cfg.size() - got));
    if (n < 0) {
      if (errno == EINTR) continue;
      result.state = LoadState::Unreadable;
      result.reason = Errno(errno);
      ::close(fd);
      cfg.fill(0);
      return result;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);  // an error while closing is of no consequence for a file only read
  result.state = LoadState::Loaded;
  result.bytesRead = got;
  return result;
}

std::vector<uint8_t> Encode(const Request& r) {
  if (r.com < 0 || r.com > 9) {
    throw std::invalid_argument("COM port " + std::to_string(r.com) +
                                " cannot be stored: use 0 (no port) to 9");
  }
  if (r.tcpPort < 3001 - 128 || r.tcpPort > 3001 + 127) {
    throw std::invalid_argument("TCP port " + std::to_string(r.tcpPort) +
                                " cannot be stored: use 2873 to 3128");
  }
  int code = -1;
  for (size_t i = 0; i < std::size(kSessionMinutes); ++i) {
    if (kSessionMinutes[i] == r.minutes) code = static_cast<int>(i);
  }
  if (code < 0) {
    throw std::invalid_argument("session time " + std::to_string(r.minutes) +
                                " minutes cannot be stored: use 0, 1, 5, 10, 15, 30 or 60");
  }
  return {
      static_cast<uint8_t>((r.com - 1) & 0xFF),
      0x50,
      static_cast<uint8_t>(static_cast<int8_t>(r.tcpPort - 3001)),
      static_cast<uint8_t>(code),
      static_cast<uint8_t>(r.manual ? 1 : 0),
  };
}

void WriteAtomically(const std::string& path, const std::vector<uint8_t>& bytes) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::string name = ".";
  name += target.filename().string();
  name += ".XXXXXX";
  std::string tmpl = (dir / name).string();
  const int fd = MakeTempFile(tmpl);
  if (fd < 0)
    throw std::runtime_error("cannot create a file in " + dir.string() + ": " + Errno(errno));
  size_t done = 0;
  while (done < bytes.size()) {
    const auto n = ::write(fd, bytes.data() + done, static_cast<unsigned>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = errno;
      ::close(fd);
      ::unlink(tmpl.c_str());
      throw std::runtime_error("cannot write " + tmpl + ": " + Errno(e));
    }
    done += static_cast<size_t>(n);
  }
  bool ok = FinishFile(fd);
  int e = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (!ok) {
    ::unlink(tmpl.c_str());
    throw std::runtime_error("cannot complete " + tmpl + ": " + Errno(e));
  }
  if (!ReplaceFile(tmpl, path)) {
    const int e = errno;
    ::unlink(tmpl.c_str());
    throw std::runtime_error("cannot replace " + path + ": " + Errno(e));
  }
}

}  // namespace vexanet::cfg
