#include "SerialKit/PortNames.h"

namespace SerialKit {

int32_t comNumber(std::string_view name, bool ignoreCase) {
  if (name.size() < 4 || name.size() > 6) return 0;
  for (size_t i = 0; i < 3; ++i) {
    const char c = name[i];
    const char upper = (ignoreCase && c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (upper != "COM"[i]) return 0;
  }
  if (name[3] == '0') return 0;
  int32_t n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n <= kMaxComNumber ? n : 0;
}

std::string comOverrideVariable(int32_t n) {
  return "VEXANET_COM" + std::to_string(n);
}

}  // namespace SerialKit
