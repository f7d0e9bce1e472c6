// A session's host without a server core: it records the status texts, the command lines and
// the client events it is handed, counts the closes it is told of, and accepts the password it
// is given (or none).
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/SessionHost.h"

namespace testing_support {

class FakeSessionHost : public SessionHost {
 public:
  // password: the one a "PWD" line must carry; nullopt: none is accepted.
  explicit FakeSessionHost(std::optional<std::string> password = "QWK")
      : password_(std::move(password)) {}

  void ShowStat(const std::string& text) override {
    std::lock_guard lock(m_);
    statuses_.push_back(text);
  }
  void ClientCommand(const std::string& line, const std::string& client) override {
    std::lock_guard lock(m_);
    lines_.push_back(line);
    clients_.push_back(client);
  }
  void ClientChanged(vexanet::relay::ClientEvent event, const std::string& client) override {
    std::lock_guard lock(m_);
    events_.emplace_back(event, client);
  }
  std::string password() override { return password_.value_or(""); }
  std::atomic<int32_t>& to() override { return to_; }
  bool PasswordMatches(const std::string& given) override { return password_ == given; }
  void SessionClosed() override { closes_.fetch_add(1); }

  std::vector<std::string> statuses() const {
    std::lock_guard lock(m_);
    return statuses_;
  }
  int closes() const { return closes_.load(); }
  // The command lines handed on, in order, and the client each came from.
  std::vector<std::string> lines() const {
    std::lock_guard lock(m_);
    return lines_;
  }
  std::vector<std::string> lineClients() const {
    std::lock_guard lock(m_);
    return clients_;
  }
  std::vector<std::pair<vexanet::relay::ClientEvent, std::string>> events() const {
    std::lock_guard lock(m_);
    return events_;
  }

 private:
  std::atomic<int32_t> to_{0};
  const std::optional<std::string> password_;
  mutable std::mutex m_;
  std::vector<std::string> statuses_;
  std::vector<std::string> lines_;
  std::vector<std::string> clients_;
  std::vector<std::pair<vexanet::relay::ClientEvent, std::string>> events_;
  std::atomic<int> closes_{0};
};

}  // namespace testing_support
