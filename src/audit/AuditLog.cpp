#include "audit/AuditLog.h"

#include "base/Console.h"

namespace vexanet::audit {
namespace {

const char* OnOff(bool on) {
  return on ? "on" : "off";
}

}  // namespace

AuditLog::AuditLog(relay::RelayService& relays) : relays_(relays) {
  relays_.AddObserver(*this);
}

AuditLog::~AuditLog() {
  relays_.RemoveObserver(*this);
}

std::string AuditLog::RelayLine(int32_t relay, bool was, bool now, const relay::Source& source) {
  return "Audit: relay=" + std::to_string(relay + 1) + " " + OnOff(was) + "->" + OnOff(now) +
         " by=" + source.name;
}

std::string AuditLog::SessionLine(relay::ClientEvent event, const std::string& client) {
  return std::string("Audit: session=") + relay::EventName(event) + " client=" + client;
}

void AuditLog::RelayChanged(int32_t relay, bool was, bool now, const relay::Source& source) {
  if (was != now) ConsoleLine(RelayLine(relay, was, now, source));
}

void AuditLog::Client(relay::ClientEvent event, const std::string& client) {
  ConsoleLine(SessionLine(event, client));
}

}  // namespace vexanet::audit
