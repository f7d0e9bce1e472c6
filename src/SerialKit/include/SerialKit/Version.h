#pragma once

namespace SerialKit {

// The library's version as text, "major.minor.patch".
const char* LibraryVersion() noexcept;

}  // namespace SerialKit
