// Fuzz target: the configuration file. Arbitrary file contents are loaded and interpreted, and
// arbitrary requests are encoded and interpreted back.
//
// Properties checked:
//  - Load reads exactly the first 128 bytes (or the whole shorter file) and zeroes the rest;
//  - Interpret derives each setting from its own byte only, within the documented ranges, and
//    leaves the session time unchanged for codes outside the table;
//  - Encode either refuses a request outside the format's ranges (std::invalid_argument) or
//    produces five bytes from which Interpret derives exactly the request.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "base/ConfigFile.h"
#include "base/Hex.h"

namespace cfg = vexanet::cfg;

namespace {

constexpr int32_t kMinutes[] = {0, 1, 5, 10, 15, 30, 60};

// The character of the port name: byte 0 + 49 taken as a signed 8-bit code, widened to 16 bits.
char32_t PortChar(uint8_t b0) {
  const int code = (b0 + 49) % 256;
  return code < 128 ? static_cast<char32_t>(code) : static_cast<char32_t>(0xFF00 + code);
}

void CheckInterpret(const cfg::Buffer& buf, int32_t toBefore) {
  cfg::Settings s;
  s.to = toBefore;
  cfg::Interpret(buf, s);

  FUZZ_CHECK(s.comport.rfind("COM", 0) == 0, "port name " + fuzz::Show(s.comport));
  const std::u32string ch = vexanet::hex::DecodeUtf8(s.comport.substr(3));
  FUZZ_CHECK(ch.size() == 1 && ch[0] == PortChar(buf[0]),
             "port name " + fuzz::Show(s.comport) + " for byte " + std::to_string(buf[0]));
  FUZZ_CHECK(s.devtype == "Vexa", "device type " + s.devtype);
  const int32_t offset = buf[2] < 128 ? buf[2] : buf[2] - 256;
  FUZZ_CHECK(s.port == 3001 + offset && s.port >= 2873 && s.port <= 3128,
             "port " + std::to_string(s.port) + " for byte " + std::to_string(buf[2]));
  const int32_t expectedTo = buf[3] < 7 ? kMinutes[buf[3]] : toBefore;
  FUZZ_CHECK(s.to == expectedTo,
             "session time " + std::to_string(s.to) + " for code " + std::to_string(buf[3]));
  FUZZ_CHECK(s.autoaccept == (buf[4] == 0), "acceptance for byte " + std::to_string(buf[4]));
}

void CheckLoad(std::string_view contents) {
  // One file per process, rewritten for every input. It is unlinked at once and reached through
  // its descriptor's name, so nothing is left behind however the process ends.
  struct TempFile {
    int fd = -1;
    std::string path;
    TempFile() {
      // Memory-backed where the machine has it: rewriting a disk file for every input is slow.
      std::string name = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                         std::string("/vexanet-config-fuzz.XXXXXX");
      fd = ::mkstemp(name.data());
      if (fd < 0) std::abort();
      ::unlink(name.c_str());
      path = "/proc/self/fd/" + std::to_string(fd);
    }
    ~TempFile() { ::close(fd); }
  };
  static const TempFile file;
  FUZZ_CHECK(::ftruncate(file.fd, 0) == 0 && ::pwrite(file.fd, contents.data(), contents.size(),
                                                      0) == static_cast<ssize_t>(contents.size()),
             std::string("cannot write the file: ") + std::strerror(errno));
  const std::string& path = file.path;
  cfg::Buffer buf;
  buf.fill(0xAA);
  const cfg::LoadResult r = cfg::Load(path, buf);
  const size_t expected = std::min<size_t>(contents.size(), cfg::kFileSize);
  FUZZ_CHECK(r.state == cfg::LoadState::Loaded, "load state " + r.reason);
  FUZZ_CHECK(r.bytesRead == expected, "bytes read " + std::to_string(r.bytesRead));
  for (size_t i = 0; i < buf.size(); ++i) {
    const uint8_t want = i < expected ? static_cast<uint8_t>(contents[i]) : 0;
    FUZZ_CHECK(buf[i] == want, "byte " + std::to_string(i) + " of the loaded buffer");
  }
}

void CheckEncode(fuzz::Input& in) {
  cfg::Request r;
  r.com = static_cast<int>(in.Range(-3, 12));
  r.tcpPort = static_cast<int>(in.Range(2860, 3140));
  r.minutes = static_cast<int>(in.Range(-2, 62));
  r.manual = in.Bool();
  const bool valid =
      r.com >= 0 && r.com <= 9 && r.tcpPort >= 2873 && r.tcpPort <= 3128 &&
      std::find(std::begin(kMinutes), std::end(kMinutes), r.minutes) != std::end(kMinutes);
  std::vector<uint8_t> bytes;
  try {
    bytes = cfg::Encode(r);
  } catch (const std::invalid_argument& e) {
    FUZZ_CHECK(!valid, std::string("a storable request was refused: ") + e.what());
    FUZZ_CHECK(std::string(e.what()).size() > 0, "refusal without a message");
    return;
  }
  FUZZ_CHECK(valid, "request com " + std::to_string(r.com) + " port " + std::to_string(r.tcpPort) +
                        " minutes " + std::to_string(r.minutes) + " was encoded");
  FUZZ_CHECK(bytes.size() == 5, "encoded size " + std::to_string(bytes.size()));
  cfg::Buffer buf{};
  std::copy(bytes.begin(), bytes.end(), buf.begin());
  cfg::Settings s;
  cfg::Interpret(buf, s);
  FUZZ_CHECK(s.comport == "COM" + std::to_string(r.com), "port name " + s.comport);
  FUZZ_CHECK(s.port == r.tcpPort, "port " + std::to_string(s.port));
  FUZZ_CHECK(s.to == r.minutes, "session time " + std::to_string(s.to));
  FUZZ_CHECK(s.autoaccept == !r.manual, "acceptance");
  FUZZ_CHECK(s.devtype == "Vexa", "device type " + s.devtype);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const std::string_view contents(reinterpret_cast<const char*>(data), size);

  cfg::Buffer buf{};
  std::copy_n(data, std::min<size_t>(size, buf.size()), buf.begin());
  CheckInterpret(buf, 0);
  CheckInterpret(buf, -77);  // a value no code gives: codes outside the table keep it

  CheckLoad(contents);
  CheckEncode(in);
  return 0;
}
