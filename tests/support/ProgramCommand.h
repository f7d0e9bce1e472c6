// How a test starts one of the built programs (the server, vexanet-config, the board, the client).
//
// A native build starts the program itself. A cross build for another Linux machine (the arm64
// and armhf builds, cmake/toolchain-*-linux-*.cmake) runs its tests under an emulator, and a
// program a test starts has to go through the same emulator: this machine's kernel cannot run it,
// and the tests do not count on a binfmt registration that only some hosts have.
// tests/support/CMakeLists.txt passes the emulator as VEXANET_TEST_EMULATOR: one program, empty
// in a native build. (The Windows build needs none of this: under Wine a program starts another
// itself.)
#pragma once

#include <string>
#include <utility>
#include <vector>

#ifndef VEXANET_TEST_EMULATOR
#define VEXANET_TEST_EMULATOR ""
#endif

namespace testing_support {

// The emulator that starts the build's programs, or "" when they run natively.
inline std::string TestEmulator() {
  return VEXANET_TEST_EMULATOR;
}

// The argument vector that runs `exe` with `args`: argv[0] is the file to start (an absolute
// path, for posix_spawn).
inline std::vector<std::string> ProgramCommand(const std::string& exe,
                                               std::vector<std::string> args = {}) {
  std::vector<std::string> argv;
  if (!TestEmulator().empty()) argv.push_back(TestEmulator());
  argv.push_back(exe);
  for (auto& a : args) argv.push_back(std::move(a));
  return argv;
}

// The death-test style for a test that must not fork a process with threads: "threadsafe" runs
// the test program again for the dying child. Under an emulator that second start would not go
// through the emulator (GoogleTest starts argv[0] itself), so there the child is forked ("fast"),
// which is GoogleTest's default.
inline const char* ThreadsafeDeathTestStyle() {
  return TestEmulator().empty() ? "threadsafe" : "fast";
}

// The same as the start of a shell command line (for std::system); the paths hold no quotes.
inline std::string ProgramShellCommand(const std::string& exe) {
  return TestEmulator().empty() ? "'" + exe + "'" : "'" + TestEmulator() + "' '" + exe + "'";
}

}  // namespace testing_support
