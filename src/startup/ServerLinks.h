// The links start-up makes between the server core and the operator's window, which know nothing
// of each other: the core drives the window through ServerWindow, the window reaches the core
// through OperatorActions.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "gui/OperatorActions.h"
#include "server/CoreSettings.h"
#include "server/ServerWindow.h"
#include "relay/RelayService.h"
#include "service/ServiceManager.h"
#include "web/WebPanel.h"

class LocalCAM;
class LocalGUI;

namespace vexanet {

// The window as the core sees it; owns the window and destroys it with itself.
class WindowLink : public ServerWindow {
 public:
  explicit WindowLink(LocalGUI* window) : window_(window) {}
  ~WindowLink() override;
  WindowLink(const WindowLink&) = delete;
  WindowLink& operator=(const WindowLink&) = delete;

  void ShowStatus(const std::string& text) override;
  void ShowIP(const std::optional<std::string>& address) override;
  void EnableConnect(bool enabled) override;
  void SelectRelay(int32_t relay, int32_t item) override;
  void SetConnectButton(bool enabled, int grey) override;
  void SetLocalName(const std::string& text) override;
  void Flush() override;

  LocalGUI* window() const { return window_; }

 private:
  LocalGUI* window_;
};

// The operator's actions carried out by the server core and the device.
class CoreActions : public OperatorActions {
 public:
  // password: the clients' password, which the operator's Host/PWD field sets.
  CoreActions(LocalCAM& core, Password& password) : core_(core), password_(password) {}

  void SwitchRelay(int32_t relay, int32_t item) override;
  void LetClientConnect() override;
  void CloseConnection() override;
  void SendCommandBytes(std::span<const uint8_t> bytes) override;
  void SetHostAndPassword(const std::string& text) override;

 private:
  LocalCAM& core_;
  Password& password_;
};

// The web panel's actions besides switching, carried out by the server core as the window's.
class PanelLink : public web::PanelActions {
 public:
  PanelLink(LocalCAM& core, Password& password) : core_(core), password_(password) {}

  bool ConnectAllowed() override;
  void LetClientConnect() override;
  void CloseConnection() override;
  std::optional<int64_t> ClientTimeLeft() override;
  bool PasswordMatches(const std::string& given) override;

 private:
  LocalCAM& core_;
  Password& password_;
};

// The latest status text, with the password masked, as the service manager's status.
class ServiceStatus : public relay::RelayObserver {
 public:
  ServiceStatus(relay::RelayService& relays, service::ServiceManager& manager);
  ~ServiceStatus() override;
  ServiceStatus(const ServiceStatus&) = delete;
  ServiceStatus& operator=(const ServiceStatus&) = delete;
  void StatusText(const std::string& text) override;

 private:
  relay::RelayService& relays_;
  service::ServiceManager& manager_;
};

}  // namespace vexanet
