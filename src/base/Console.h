// Diagnostic lines on standard output. Each line is written whole and flushed at once, so
// lines from different threads never mix and nothing is lost when the process ends abruptly.
//
// Much of what is printed comes from outside (a client's command line, a host name, a device
// path), so every line is made safe for a terminal and a log first: bytes that would control a
// terminal are written as \xNN escapes, while UTF-8 text and printable ASCII stay as they are.
#pragma once

#include <string>
#include <string_view>

namespace vexanet {

void ConsoleLine(std::string_view text);

// The text as ConsoleLine writes it: control characters (C0 including tab and line breaks, DEL,
// and the C1 controls U+0080..U+009F), and bytes that are not part of well-formed UTF-8, each as
// \xNN with two lower-case hex digits. Everything else is kept unchanged, the backslash included.
std::string ConsoleSafe(std::string_view text);

}  // namespace vexanet
