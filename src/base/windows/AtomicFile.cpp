#include <windows.h>

#include "base/AtomicFile.h"

namespace vexanet {

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content,
                         std::string& error) {
  const std::filesystem::path temporary = file.wstring() + L".new";
  HANDLE h = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = temporary.string() + ": cannot create (Windows error " +
            std::to_string(::GetLastError()) + ")";
    return false;
  }
  DWORD written = 0;
  const bool ok = ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written,
                              nullptr) &&
                  written == content.size() && ::FlushFileBuffers(h);
  const DWORD why = ::GetLastError();
  ::CloseHandle(h);
  if (!ok) {
    error = temporary.string() + ": cannot write (Windows error " + std::to_string(why) + ")";
    return false;
  }
  if (!::MoveFileExW(temporary.c_str(), file.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = file.string() + ": cannot replace (Windows error " +
            std::to_string(::GetLastError()) + ")";
    return false;
  }
  return true;
}

}  // namespace vexanet
