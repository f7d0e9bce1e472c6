// The product's name as the window and the console show it, and the size of the window's text.
#pragma once

#include <cstdint>
#include <string_view>

namespace vexanet::product {

// The label at the top of the window.
inline constexpr std::string_view kLabel = "VexaNet Server 1.0 - relay board controller";
// The window's title.
inline constexpr std::string_view kTitle = "VexaNet Server";
// The height of the window's text in pixels; the fixed layout is counted in it.
inline constexpr int32_t kFontHeight = 13;

}  // namespace vexanet::product
