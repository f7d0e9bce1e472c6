#include "SerialKit/Version.h"

namespace SerialKit {

const char* LibraryVersion() noexcept { return "1.0.0"; }

}  // namespace SerialKit
