// The library's I/O error: everything that concerns a port or its driver. what() is the
// message exactly as documented for the operation that failed.
//
// Beyond its message an error may carry what the driver could tell about the cause (IOErrorCause):
// the device is missing, access to it was denied, or it vanished while open. Drivers report that
// on the calling thread, the way errno works: just before returning a failure they call
// noteIOError(); the port core clears the note before the driver call it wants explained and
// attaches the note to the error it raises. A driver that notes nothing leaves the cause unknown.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace SerialKit {

enum class IOErrorCause : int32_t {
  kUnknown = 0,   // the driver did not say
  kMissing,       // no such device (ENOENT; on Windows ERROR_FILE_NOT_FOUND)
  kAccessDenied,  // not allowed to open it (EACCES, EPERM; on Windows ERROR_ACCESS_DENIED)
  kDeviceGone,    // the device vanished while open (EIO, ENXIO, ENODEV, hang-up)
};

struct IOErrorDetail {
  IOErrorDetail() = default;
  IOErrorDetail(IOErrorCause c, int32_t os, std::string dev, std::string why = {})
      : cause(c), osError(os), device(std::move(dev)), reason(std::move(why)) {}

  IOErrorCause cause = IOErrorCause::kUnknown;
  int32_t osError = 0;  // errno, or GetLastError() on Windows; 0 when not known
  std::string device;   // the device path the driver used or tried; empty when not known
  // In a few words, what is wrong with the device when the cause alone does not say it
  // ("is a FIFO, not a terminal"); empty when the driver has nothing to add.
  std::string reason;
};

class SerialIOException : public std::runtime_error {
 public:
  explicit SerialIOException(const std::string& message) : std::runtime_error(message) {}
  SerialIOException(const std::string& message, IOErrorDetail detail)
      : std::runtime_error(message),
        detail_(std::make_shared<const IOErrorDetail>(std::move(detail))) {}

  // What the driver noted about the cause; a default detail when it noted nothing.
  const IOErrorDetail& detail() const noexcept {
    static const IOErrorDetail none;
    return detail_ ? *detail_ : none;
  }

 private:
  std::shared_ptr<const IOErrorDetail> detail_;  // shared: copying an exception must not throw
};

namespace ioerror_note {
// A function-local thread_local: an inline thread_local variable gets an initialisation function
// in every object that uses it, which the mingw-w64 linker reports as defined twice.
inline IOErrorDetail& current() {
  static thread_local IOErrorDetail detail;
  return detail;
}
}  // namespace ioerror_note

// The calling thread's note of the last driver operation it made.
inline void noteIOError(IOErrorDetail detail) {
  ioerror_note::current() = std::move(detail);
}
// Notes only the device path (a driver does this when it resolves a port name, so that the path
// is known for a successful open as well).
inline void noteIODevice(const std::string& device) {
  ioerror_note::current().device = device;
}
inline void clearIOErrorNote() {
  ioerror_note::current() = IOErrorDetail{};
}
// Returns the note and clears it.
inline IOErrorDetail takeIOErrorNote() {
  return std::exchange(ioerror_note::current(), IOErrorDetail{});
}

}  // namespace SerialKit
