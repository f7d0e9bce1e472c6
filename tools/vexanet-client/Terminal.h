// The console: whether standard input is a terminal, how typed lines are read, and putting the
// terminal back before the process ends in a hurry. The only platform-specific code of the client.
#pragma once

#include <memory>
#include <string>

#include "vexanet-client/Interactive.h"

namespace vexanet::client {

bool StdinIsTerminal();

// Reads typed lines: with line editing and history (libedit) where it was built in and standard
// input is a terminal, else plainly from standard input (showing `prompt` on a terminal only).
std::shared_ptr<LineInput> MakeLineInput(const std::string& prompt);

// How interactive lines are edited in this build, for --help.
std::string LineEditingNote();

// Puts the terminal's settings back as they were before the first typed line.
void RestoreTerminal();

}  // namespace vexanet::client
