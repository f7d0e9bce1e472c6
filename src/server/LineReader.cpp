#include "server/LineReader.h"

bool LineReader::Feed(std::string_view bytes, std::vector<std::string>& lines) {
  if (overflow_) return false;
  for (const char c : bytes) {
    if (c == '\n' && afterCR_) {
      afterCR_ = false;
      continue;
    }
    afterCR_ = false;
    if (c == '\n' || c == '\r') {
      lines.push_back(std::move(partial_));
      partial_.clear();
      afterCR_ = c == '\r';
      continue;
    }
    if (partial_.size() >= maxLine_) {
      overflow_ = true;
      partial_.clear();
      partial_.shrink_to_fit();
      return false;
    }
    partial_.push_back(c);
  }
  return true;
}

std::optional<std::string> LineReader::Finish() {
  if (overflow_ || partial_.empty()) return std::nullopt;
  std::string last = std::move(partial_);
  partial_.clear();
  return last;
}
