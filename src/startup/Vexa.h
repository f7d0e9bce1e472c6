// The main class: entry point of the server and keeper of its process-wide settings.
//
// Threads: the settings below are written before any other thread starts, except
//  - password: written by start-up and the window's worker, read by sessions (guarded by a small
//              lock);
//  - to:       written and read by sessions (atomic);
//  - scam/cam: set once during start-up, read from every thread (atomic pointers).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/ConfigFile.h"
#include "base/Hex.h"
#include "base/Product.h"

class LocalCAM;
class Device;
class OperatorActions;

class Vexa {
 public:
  // --- process-wide settings -----------------------------------------------------------
  static inline const std::string prodlabel{vexanet::product::kLabel};
  static inline const std::string prodtitle{vexanet::product::kTitle};
  static constexpr int32_t appwidth = 420;
  static constexpr const std::array<char, 16>& hexchar = vexanet::hex::kDigits;
  static inline std::atomic<LocalCAM*> scam{nullptr};
  static inline std::atomic<Device*> cam{nullptr};
  static constexpr int32_t fontheight = vexanet::product::kFontHeight;
  // The clients' password; empty text while none is accepted.
  static std::string password();
  // A new password (the operator's, or the initial one); ends a state of none accepted.
  static void setPassword(std::string text);
  // No password is accepted until setPassword: a password setting that could not be used must
  // not leave the well-known default in force.
  static void setNoPassword();
  // A "PWD" line carrying this text is accepted.
  static bool PasswordMatches(std::string_view given);
  static inline const std::string filename = vexanet::cfg::kFileName;
  static constexpr int32_t CFGFILESIZE = vexanet::cfg::kFileSize;
  static inline vexanet::cfg::Buffer CFG{};
  static inline std::string comport = "COM2";
  static inline std::atomic<int32_t> to{0};
  static inline bool autoaccept = true;
  static inline bool net = false;

  // --- settings handed to the server core ----------------------------------------------
  std::string parity = "None";
  std::string handshake = "None";
  int32_t rate = 9600;
  int32_t dbits = 8;
  int32_t sbits = 1;
  std::string devtype = "Vexa";
  int32_t port = 3001;

  Vexa() = default;
  ~Vexa();
  Vexa(const Vexa&) = delete;
  Vexa& operator=(const Vexa&) = delete;

  // Entry point body: creates one Vexa and runs init. Arguments are ignored.
  static int main(int argc, char** argv);
  // Called by the program's main() before any other thread starts (the environment is read only
  // then): the access settings from the environment, each problem with them as a console line,
  // and the initial password they give. init hands the settings to the server core.
  static void ReadAccessSettings();

  // The start-up sequence.
  void init();
  // Step 1 of start-up: reads the configuration file of the working directory into CFG.
  void LoadCFG();
  // Derives comport, devtype, port, to and autoaccept from CFG.
  void InterpretCFG();

  static std::string BS2S(std::span<const uint8_t> bytes, int32_t n);
  static std::vector<uint8_t> S2BS(std::string_view text);
  static int32_t C2B(char32_t c);

  // Sleeps the calling thread; takes no lock.
  static void DelayT(int32_t ms);
  // One line on standard output, flushed at once.
  static void OutLine(std::string_view text);

  // The server core created by init (owned here for the life of the process).
  LocalCAM* core() const { return core_.get(); }

 private:
  std::unique_ptr<LocalCAM> core_;
  std::unique_ptr<OperatorActions> actions_;
};
