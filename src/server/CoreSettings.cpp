#include "server/CoreSettings.h"

#include <utility>

std::string Password::get() const {
  std::lock_guard lock(m_);
  return value_.value_or("");
}

void Password::set(std::string text) {
  std::lock_guard lock(m_);
  value_ = std::move(text);
}

void Password::setNone() {
  std::lock_guard lock(m_);
  value_.reset();
}

bool Password::Matches(std::string_view given) const {
  std::lock_guard lock(m_);
  return value_.has_value() && *value_ == given;
}
