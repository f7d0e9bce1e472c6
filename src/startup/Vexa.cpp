#include "startup/Vexa.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "base/Console.h"
#include "base/Hex.h"

void Vexa::LoadCFG() {
  const auto result = vexanet::cfg::Load(filename, CFG);
  if (result.state == vexanet::cfg::LoadState::Unreadable) {
    OutLine("Cannot read configuration file " + filename + ": " + result.reason +
            "; using the defaults");
  }
}

void Vexa::InterpretCFG() {
  vexanet::cfg::Settings s;
  s.comport = comport;
  s.devtype = devtype;
  s.port = port;
  s.to = coreSettings.to.load();
  s.autoaccept = coreSettings.autoaccept;
  vexanet::cfg::Interpret(CFG, s);
  comport = s.comport;
  devtype = s.devtype;
  port = s.port;
  coreSettings.to.store(s.to);
  coreSettings.autoaccept = s.autoaccept;
}

std::string Vexa::BS2S(std::span<const uint8_t> bytes, int32_t n) {
  return vexanet::hex::BS2S(bytes, n);
}

std::vector<uint8_t> Vexa::S2BS(std::string_view text) {
  return vexanet::hex::S2BS(text);
}

int32_t Vexa::C2B(char32_t c) {
  return vexanet::hex::C2B(c);
}

void Vexa::DelayT(int32_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void Vexa::OutLine(std::string_view text) {
  vexanet::ConsoleLine(text);
}
