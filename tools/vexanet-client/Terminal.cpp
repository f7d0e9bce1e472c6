#include "vexanet-client/Terminal.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>

#ifdef _WIN32
#include <io.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

#ifdef VEXANET_CLIENT_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace vexanet::client {

namespace {

#ifndef _WIN32
struct SavedTerminal {
  bool saved = false;
  termios settings{};
};
SavedTerminal& Saved() {
  static SavedTerminal s;
  return s;
}
#endif

class StreamInput final : public LineInput {
 public:
  explicit StreamInput(std::string prompt) : prompt_(std::move(prompt)) {}
  std::optional<std::string> ReadLine() override {
    if (!prompt_.empty()) std::cout << prompt_ << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
  }

 private:
  std::string prompt_;
};

#ifdef VEXANET_CLIENT_HAVE_LIBEDIT
class EditLineInput final : public LineInput {
 public:
  explicit EditLineInput(std::string prompt) : prompt_(std::move(prompt)) {
    rl_readline_name = "vexanet-client";
    using_history();
  }
  std::optional<std::string> ReadLine() override {
    char* text = readline(prompt_.c_str());
    if (text == nullptr) {
      std::cout << '\n' << std::flush;  // the shell's prompt on a line of its own
      return std::nullopt;
    }
    std::string line(text);
    std::free(text);
    if (!line.empty()) add_history(line.c_str());
    return line;
  }

 private:
  std::string prompt_;
};
#endif

}  // namespace

bool StdinIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdin)) != 0;
#else
  return ::isatty(STDIN_FILENO) == 1;
#endif
}

std::shared_ptr<LineInput> MakeLineInput(const std::string& prompt) {
  if (!StdinIsTerminal()) return std::make_shared<StreamInput>("");
#ifndef _WIN32
  SavedTerminal& s = Saved();
  s.saved = ::tcgetattr(STDIN_FILENO, &s.settings) == 0;
#endif
#ifdef VEXANET_CLIENT_HAVE_LIBEDIT
  return std::make_shared<EditLineInput>(prompt);
#else
  return std::make_shared<StreamInput>(prompt);
#endif
}

std::string LineEditingNote() {
#if defined(VEXANET_CLIENT_HAVE_LIBEDIT)
  return "line editing and history (arrow keys) through libedit";
#elif defined(_WIN32)
  return "the console's own line editing and history (arrow keys, F7)";
#else
  return "no line editing or history in this build (libedit was not found when it was built)";
#endif
}

void RestoreTerminal() {
#ifndef _WIN32
  const SavedTerminal& s = Saved();
  if (s.saved) ::tcsetattr(STDIN_FILENO, TCSANOW, &s.settings);
#endif
}

}  // namespace vexanet::client
