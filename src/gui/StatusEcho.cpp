#include "gui/StatusEcho.h"

#include <string_view>

namespace vexanet::gui {

std::string MaskPassword(const std::string& text) {
  constexpr std::string_view kCommand = "Client Command: PWD";
  constexpr std::string_view kAccepted = "Password = ";
  constexpr std::string_view kAcceptedEnd = " OK";
  constexpr std::string_view kNew = "New Password= ";
  const std::string_view t(text);
  if (t.starts_with(kCommand)) return std::string(kCommand) + "****";
  if (t.starts_with(kAccepted) && t.ends_with(kAcceptedEnd) &&
      t.size() >= kAccepted.size() + kAcceptedEnd.size())
    return std::string(kAccepted) + "****" + std::string(kAcceptedEnd);
  if (t.starts_with(kNew)) return std::string(kNew) + "****";
  return text;
}

std::string StatusEchoLine(const std::string& text) {
  return "Status: " + MaskPassword(text);
}

}  // namespace vexanet::gui
