#include "startup/ServerLinks.h"

#include <memory>

#include "gui/LocalGUI.h"
#include "gui/StatusEcho.h"
#include "server/ClientSocket.h"
#include "server/LocalCAM.h"

namespace vexanet {

WindowLink::~WindowLink() {
  LocalGUI::Destroy(window_);
}

void WindowLink::ShowStatus(const std::string& text) {
  window_->ShowStatus(text);
}

void WindowLink::ShowIP(const std::optional<std::string>& address) {
  window_->ShowIP(address);
}

void WindowLink::EnableConnect(bool enabled) {
  window_->EnableConnect(enabled);
}

void WindowLink::SelectRelay(int32_t relay, int32_t item) {
  window_->SelectRelay(relay, item);
}

void WindowLink::SetConnectButton(bool enabled, int grey) {
  window_->SetConnectButton(enabled, grey);
}

void WindowLink::SetLocalName(const std::string& text) {
  window_->SetLocalName(text);
}

void WindowLink::Flush() {
  window_->Flush();
}

void CoreActions::SwitchRelay(int32_t relay, int32_t item) {
  core_.relays().Switch(relay, item != 0, relay::Source::Operator());
}

void CoreActions::LetClientConnect() {
  core_.CommandB5();
}

void CoreActions::CloseConnection() {
  core_.CommandB6();
}

void CoreActions::SendCommandBytes(std::span<const uint8_t> bytes) {
  core_.relays().SendRaw(bytes, relay::Source::Operator());
}

void CoreActions::SetHostAndPassword(const std::string& text) {
  core_.CommandB4(text);
  password_.set(text);
}

ServiceStatus::ServiceStatus(relay::RelayService& relays, service::ServiceManager& manager)
    : relays_(relays), manager_(manager) {
  relays_.AddObserver(*this);
}

ServiceStatus::~ServiceStatus() {
  relays_.RemoveObserver(*this);
}

void ServiceStatus::StatusText(const std::string& text) {
  manager_.Status(gui::MaskPassword(text));
}

bool PanelLink::ConnectAllowed() {
  return core_.ConnectEnabled() && core_.ss() != nullptr;
}

void PanelLink::LetClientConnect() {
  core_.CommandB5();
}

void PanelLink::CloseConnection() {
  core_.CommandB6();
}

std::optional<int64_t> PanelLink::ClientTimeLeft() {
  const std::shared_ptr<ClientSocket> session = core_.connectthread();
  if (!session) return std::nullopt;
  return session->TimeLeft();
}

bool PanelLink::PasswordMatches(const std::string& given) {
  return password_.Matches(given);
}

}  // namespace vexanet
