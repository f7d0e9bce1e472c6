// Fuzz target: a real client session (ClientSocket) serving one loopback connection that sends
// the fuzzer's bytes, against a device that records the lines handed to it. The session's host
// starts no successor and shows no status.
//
// Input: byte 0 bit 0 appends a line longer than the 64 KiB limit after the stream; the rest is
// the stream (at most 4000 bytes, so the session reads it in one piece).
//
// Properties checked, against a model of the protocol run over a reference line splitter:
//  - the client is greeted with "OK" and gets exactly the replies the protocol gives ("Password/
//    Connection Accepted!", "Available Time: N Minutes" when the session time is above 0,
//    "Password/Connection Rejected!" and "CLOSE"), then the end of the stream;
//  - the session ends at an empty line, "Close", "KILL", a wrong password, the end of the stream
//    or an over-long line, and hands every line before that, and no other, to the device;
//  - a "TO=" line sets the session time only when the rest is a decimal 32-bit number.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "FakeSessionHost.h"
#include "FuzzSupport.h"
#include "server/ClientSocket.h"
#include "server/LineReader.h"
#include "server/ServerSocket.h"

namespace {

// Lines as the session reads them: LF, CR or CR LF end a line; text after the last end is a
// last line; a line longer than the limit ends the input.
std::vector<std::string> SplitLines(std::string_view stream, bool& tooLong) {
  std::vector<std::string> lines;
  std::string line;
  tooLong = false;
  for (size_t i = 0; i < stream.size(); ++i) {
    const char c = stream[i];
    if (c == '\n' && i > 0 && stream[i - 1] == '\r') continue;
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      continue;
    }
    if (line.size() == LineReader::kDefaultMaxLine) {
      tooLong = true;
      return lines;
    }
    line.push_back(c);
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::optional<int32_t> Minutes(std::string_view text) {
  if (text.empty() || text == "-") return std::nullopt;
  int64_t value = 0;
  for (size_t i = (text[0] == '-' ? 1 : 0); i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > 2147483648LL) return std::nullopt;
  }
  if (text[0] == '-') value = -value;
  if (value > 2147483647LL) return std::nullopt;
  return static_cast<int32_t>(value);
}

struct Expected {
  std::vector<std::string> replies{"OK"};
  std::vector<std::string> deviceLines;
  int32_t to = 0;
};

Expected Model(const std::vector<std::string>& lines) {
  Expected e;
  for (const std::string& line : lines) {
    if (line.empty() || line == "Close" || line == "KILL") return e;
    if (line.starts_with("TO=")) {
      if (auto m = Minutes(std::string_view(line).substr(3))) e.to = *m;
    }
    if (line.starts_with("PWD")) {
      if (line.substr(3) != "QWK") {
        e.replies.push_back("Password/Connection Rejected!");
        e.replies.push_back("CLOSE");
        return e;
      }
      e.replies.push_back("Password/Connection Accepted!");
      if (e.to > 0) e.replies.push_back("Available Time: " + std::to_string(e.to) + " Minutes");
    }
    e.deviceLines.push_back(line);
  }
  return e;
}

ServerSocket& Listener() {
  static ServerSocket* ss = [] {
    // Session ends are reported on standard output; the fuzzer's own output goes to stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    static ServerSocket socket;
    std::error_code ec;
    if (!socket.Open(0, ec)) fuzz::Fail(__FILE__, __LINE__, "listen", ec.message());
    return &socket;
  }();
  return *ss;
}

// Sends everything, half-closes, and reads until the server ends the connection.
std::string Converse(int port, const std::string& stream, bool& reset) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(fd >= 0, "socket");
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  FUZZ_CHECK(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0,
             std::string("connect: ") + std::strerror(errno));
  reset = false;
  size_t sent = 0;
  while (sent < stream.size()) {
    const ssize_t n = ::send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      FUZZ_CHECK(errno == ECONNRESET || errno == EPIPE,
                 std::string("send: ") + std::strerror(errno));
      reset = true;
      break;
    }
    sent += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  std::string received;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      FUZZ_CHECK(errno == ECONNRESET, std::string("recv: ") + std::strerror(errno));
      reset = true;
      break;
    }
    if (n == 0) break;
    received.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return received;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ServerSocket& ss = Listener();
  fuzz::Input in(data, size);
  const bool overLong = (in.Byte() & 1) != 0;
  std::string stream(in.Bytes(4000));
  if (overLong) stream.append(LineReader::kDefaultMaxLine + 1, 'x');

  bool tooLong = false;
  const std::vector<std::string> lines = SplitLines(stream, tooLong);
  const Expected expected = Model(lines);

  testing_support::FakeSessionHost host;  // accepts "QWK", hands lines to a recording device
  auto session = std::make_shared<ClientSocket>(&ss, host);
  session->start();
  bool reset = false;
  const std::string received = Converse(ss.Port(), stream, reset);
  session->Join();

  std::string want;
  for (const std::string& r : expected.replies) want += r + "\r\n";
  if (overLong) {
    // The server refuses the long line by closing with input unread: the connection may be
    // reset before every reply has been read.
    FUZZ_CHECK(want.starts_with(received), "replies " + fuzz::Show(received) + ", expected " +
                                               fuzz::Show(want) + " or a part of it");
  } else {
    FUZZ_CHECK(received == want && !reset,
               "replies " + fuzz::Show(received) + ", expected " + fuzz::Show(want));
  }
  const std::vector<std::string> deviceLines = host.lines();
  FUZZ_CHECK(deviceLines == expected.deviceLines, std::to_string(deviceLines.size()) +
                                                      " lines reached the device, expected " +
                                                      std::to_string(expected.deviceLines.size()));
  FUZZ_CHECK(host.to().load() == expected.to, "session time " + std::to_string(host.to().load()) +
                                                  ", expected " + std::to_string(expected.to));
  FUZZ_CHECK(!session->connected() && !session->serving(), "session still open");
  return 0;
}
