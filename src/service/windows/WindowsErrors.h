// Windows error codes as people read them: "Windows error 5: Access is denied."
#pragma once

#include <string>

namespace vexanet::service {

std::string WindowsErrorText(unsigned long code);

}  // namespace vexanet::service
