// The symbolic link that gives the board's serial end a stable name (for VEXANET_COM1).
#pragma once

#include <string>

namespace vexanet::board {

// Makes `link` a symbolic link to `target`. An existing symbolic link at `link` is replaced
// atomically; anything else there (a regular file, a directory, a device) is left alone and the
// call fails. Returns an empty text on success, else a message that names the path and the cause.
std::string MakeLink(const std::string& link, const std::string& target);

// Removes `link` if it is still a symbolic link to `target` (another program may have replaced it
// meanwhile; that link is not ours to remove). Returns true when it removed the link.
bool RemoveLinkIfOurs(const std::string& link, const std::string& target);

}  // namespace vexanet::board
