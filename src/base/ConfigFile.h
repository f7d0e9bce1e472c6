// The binary configuration file VexaNetCFG.bin: loading it into the 128-byte buffer, deriving
// the settings from its first five bytes, and writing a file that derives given settings.
//
// Byte 0: serial port number minus one ("COM1" when zero, 255 gives "COM0", no port)
// Byte 1: device type; 0x50 selects "Vexa"
// Byte 2: signed offset of the listening TCP port from 3001
// Byte 3: session time code 0..6 = 0, 1, 5, 10, 15, 30, 60 minutes; other codes keep the value
// Byte 4: 0 accepts clients automatically, anything else does not
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vexanet::cfg {

inline constexpr int32_t kFileSize = 128;
inline constexpr const char* kFileName = "VexaNetCFG.bin";
using Buffer = std::array<uint8_t, kFileSize>;

// The settings the configuration decides, with the values they have before it is read.
struct Settings {
  std::string comport = "COM2";
  std::string devtype = "Vexa";
  int32_t port = 3001;
  int32_t to = 0;
  bool autoaccept = true;
};

// Derives the five settings from the buffer, changing only what the bytes decide.
void Interpret(const Buffer& cfg, Settings& s);

enum class LoadState { Missing, Loaded, Unreadable };
struct LoadResult {
  LoadState state = LoadState::Missing;
  size_t bytesRead = 0;
  std::string reason;  // why an existing file could not be read
};

// Reads up to 128 bytes of the file into cfg (which is zeroed first). A missing file leaves
// cfg zero. A file that exists but cannot be read also leaves cfg zero and says why; it never
// blocks (a FIFO or device of that name is refused, not opened for reading).
LoadResult Load(const std::string& path, Buffer& cfg);

// What a file should make the server derive.
struct Request {
  int com = 1;          // 0 (no port) to 9
  int tcpPort = 3001;   // 2873 to 3128
  int minutes = 0;      // 0, 1, 5, 10, 15, 30 or 60
  bool manual = false;  // no automatic acceptance
};

// The five bytes that derive the request. Throws std::invalid_argument with a message naming the
// value and its allowed range when the format cannot hold it.
std::vector<uint8_t> Encode(const Request& r);

// Writes bytes to path through a temporary file in the same folder and a rename, so the file is
// either the old one or the new one. Throws std::runtime_error with the reason on failure.
void WriteAtomically(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace vexanet::cfg
