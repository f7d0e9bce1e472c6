#include "TempDir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace testing_support {

namespace fs = std::filesystem;

TempDir::TempDir(std::string_view prefix) {
  std::string templ = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(templ.data()) == nullptr)
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace testing_support
