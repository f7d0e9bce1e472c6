// Replacing a small file so that a crash or power cut at any moment leaves either the old or the
// new content, never a mix: the content goes to a temporary file beside it, which is flushed to
// the disk and then renamed over the file.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vexanet {

// True when the file now holds content; otherwise false with error set (the old file, if any,
// is left as it was).
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content,
                         std::string& error);

}  // namespace vexanet
