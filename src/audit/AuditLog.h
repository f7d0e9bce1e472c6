// AuditLog: who switched what, as console lines (the journal for the service), one more observer
// of the relay service (VEXANET_AUDIT=1):
//   Audit: relay=3 off->on by=client/192.0.2.7:40000
//   Audit: session=connected client=192.0.2.7:40000
// A relay line for every change of a relay's state (a switch to the state it had is no change),
// whoever made it: client/ADDRESS:PORT, operator, web/ADDRESS:PORT, policy, start-up. A session
// line for every line-protocol client event: connected, authenticated, refused, closed, timeout.
#pragma once

#include <string>

#include "relay/RelayService.h"

namespace vexanet::audit {

class AuditLog : public relay::RelayObserver {
 public:
  // Starts listening; stops in the destructor. The service must outlive the log.
  explicit AuditLog(relay::RelayService& relays);
  ~AuditLog() override;
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;

  void RelayChanged(int32_t relay, bool was, bool now, const relay::Source& source) override;
  void Client(relay::ClientEvent event, const std::string& client) override;

  // The lines, for whoever writes them elsewhere too.
  static std::string RelayLine(int32_t relay, bool was, bool now, const relay::Source& source);
  static std::string SessionLine(relay::ClientEvent event, const std::string& client);

 private:
  relay::RelayService& relays_;
};

}  // namespace vexanet::audit
