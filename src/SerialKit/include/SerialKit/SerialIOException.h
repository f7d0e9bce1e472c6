// The library's I/O error: everything that concerns a port or its driver. what() is the
// message exactly as documented for the operation that failed.
#pragma once

#include <stdexcept>
#include <string>

namespace SerialKit {

class SerialIOException : public std::runtime_error {
 public:
  explicit SerialIOException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace SerialKit
