#include "policy/StateFile.h"

#include <fstream>
#include <iterator>
#include <system_error>

#include "base/AtomicFile.h"

namespace vexanet::policy {
namespace {

constexpr std::string_view kHeader = "vexanet relay states 1\n";
constexpr size_t kSize = kHeader.size() + 9;  // eight digits and a newline

}  // namespace

std::optional<std::array<bool, 8>> ReadStateFile(const std::filesystem::path& file,
                                                 std::string& why) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    why = file.string() + " does not exist";
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    why = file.string() + " cannot be read";
    return std::nullopt;
  }
  std::string content;
  char buffer[64];
  while (content.size() <= kSize && in.read(buffer, sizeof buffer).gcount() > 0) {
    content.append(buffer, static_cast<size_t>(in.gcount()));
  }
  if (content.size() != kSize || content.compare(0, kHeader.size(), kHeader) != 0 ||
      content.back() != '\n') {
    why = file.string() + " is damaged";
    return std::nullopt;
  }
  std::array<bool, 8> states{};
  for (size_t i = 0; i < 8; ++i) {
    const char digit = content[kHeader.size() + i];
    if (digit != '0' && digit != '1') {
      why = file.string() + " is damaged";
      return std::nullopt;
    }
    states[i] = digit == '1';
  }
  return states;
}

bool WriteStateFile(const std::filesystem::path& file, const std::array<bool, 8>& states,
                    std::string& error) {
  std::string content(kHeader);
  for (const bool on : states) content += on ? '1' : '0';
  content += '\n';
  return WriteFileAtomically(file, content, error);
}

}  // namespace vexanet::policy
