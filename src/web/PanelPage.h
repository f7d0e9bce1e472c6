// The panel's one page: markup, style and script in one document, built into the program so
// that it needs nothing from outside.
#pragma once

#include <string_view>

namespace vexanet::web {

std::string_view PanelPage();

}  // namespace vexanet::web
