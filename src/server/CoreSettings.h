// CoreSettings: the settings the server core and its sessions read while the program runs, some
// of which a client or the operator changes: the session time in minutes (a client's "TO="
// changes it), whether clients are let in without the operator, whether the board-number words
// are understood, and the password a client's "PWD" line must carry (the operator's Host/PWD
// field changes it).
//
// Start-up owns one (in the main object) and hands it to the server core; tests make their own.
//
// Threads: `to` is read and written by sessions (atomic); the password by start-up, the window's
// worker and sessions (under the password's own lock). autoaccept and net are written before the
// core is made and only read afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

class Password {
 public:
  // The password before anybody sets one.
  static constexpr std::string_view kDefault = "QWK";

  Password() = default;
  Password(const Password&) = delete;
  Password& operator=(const Password&) = delete;

  // The password; empty text while none is accepted.
  std::string get() const;
  // A new password (the operator's, or the initial one); ends a state of none accepted.
  void set(std::string text);
  // No password is accepted until set: a password setting that could not be used must not leave
  // the well-known default in force.
  void setNone();
  // A "PWD" line carrying this text is accepted.
  bool Matches(std::string_view given) const;

 private:
  mutable std::mutex m_;
  std::optional<std::string> value_{std::string(kDefault)};  // empty: none accepted
};

struct CoreSettings {
  std::atomic<int32_t> to{0};
  bool autoaccept = true;
  bool net = false;
  Password password;
};
