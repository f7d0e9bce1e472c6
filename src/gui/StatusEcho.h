// The console's copy of a status text ("Status: " and the text), with the clients' password
// masked: the console ends up in logs and journals that more people read than the window's
// status field, which keeps the text as it is (the operator sets the password there).
#pragma once

#include <string>

namespace vexanet::gui {

// "Client Command: PWD...", "Password = ... OK" and "New Password= ..." with the password as
// "****"; every other text as it is.
std::string MaskPassword(const std::string& text);
// "Status: " and the masked text.
std::string StatusEchoLine(const std::string& text);

}  // namespace vexanet::gui
