// The main class: entry point of the server and keeper of its settings. Start-up builds them once
// (the configuration file, the environment) and hands each part what it needs: the server core
// gets the settings it reads and changes while it runs (`coreSettings`: session time, automatic
// acceptance, board-number words, password) and the access settings.
//
// Threads: everything here is written by start-up before the server core exists, except the
// fields of `coreSettings`, which the core's threads use as CoreSettings describes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/ConfigFile.h"
#include "base/Hex.h"
#include "base/Product.h"
#include "server/CoreSettings.h"
#include "startup/DeploymentSettings.h"

class LocalCAM;
class LocalGUI;
class OperatorActions;
namespace vexanet {
class PanelLink;
}
namespace vexanet::web {
class WebPanel;
}
namespace vexanet::policy {
class SafetyPolicies;
}
namespace vexanet::audit {
class AuditLog;
}
namespace vexanet::mqtt {
class MqttBridge;
}
namespace vexanet::service {
class HealthWatch;
class ServiceManager;
}
namespace vexanet {
class ServiceStatus;
}

class Vexa {
 public:
  // --- the product's texts and sizes, the configuration file's name and size -------------
  static inline const std::string prodlabel{vexanet::product::kLabel};
  static inline const std::string prodtitle{vexanet::product::kTitle};
  static constexpr int32_t appwidth = 420;
  static constexpr const std::array<char, 16>& hexchar = vexanet::hex::kDigits;
  static constexpr int32_t fontheight = vexanet::product::kFontHeight;
  static inline const std::string filename = vexanet::cfg::kFileName;
  static constexpr int32_t CFGFILESIZE = vexanet::cfg::kFileSize;

  // --- settings start-up derives ------------------------------------------------------
  vexanet::cfg::Buffer CFG{};
  std::string comport = "COM2";
  // The session time (to), automatic acceptance (autoaccept), the board-number words (net) and
  // the clients' password, handed to the server core.
  CoreSettings coreSettings;

  // What the environment decided (access, window choice), from main.
  vexanet::DeploymentSettings deployment;

  // --- settings handed to the server core ----------------------------------------------
  std::string parity = "None";
  std::string handshake = "None";
  int32_t rate = 9600;
  int32_t dbits = 8;
  int32_t sbits = 1;
  std::string devtype = "Vexa";
  int32_t port = 3001;

  Vexa() = default;
  ~Vexa();
  Vexa(const Vexa&) = delete;
  Vexa& operator=(const Vexa&) = delete;

  // Entry point body: creates one Vexa with the deployment settings main read and runs init.
  // Arguments are ignored.
  // The service manager hears when the server is ready and its status texts.
  static int main(int argc, char** argv, vexanet::DeploymentSettings deployment,
                  vexanet::service::ServiceManager& serviceManager);

  // The start-up sequence.
  void init();
  // Step 1 of start-up: reads the configuration file of the working directory into CFG.
  void LoadCFG();
  // Derives comport, devtype, port, to and autoaccept from CFG.
  void InterpretCFG();
  // Starts the web panel when the deployment names an address for it.
  void StartWebPanel();
  // Starts the MQTT bridge when the deployment names a broker.
  void StartMqttBridge();

  static std::string BS2S(std::span<const uint8_t> bytes, int32_t n);
  static std::vector<uint8_t> S2BS(std::string_view text);
  static int32_t C2B(char32_t c);

  // Sleeps the calling thread; takes no lock.
  static void DelayT(int32_t ms);
  // One line on standard output, flushed at once.
  static void OutLine(std::string_view text);

  // The server core created by init (owned here for the life of the process).
  LocalCAM* core() const { return core_.get(); }

 private:
  std::unique_ptr<LocalCAM> core_;
  std::unique_ptr<OperatorActions> actions_;
  LocalGUI* window_ = nullptr;  // the window, owned by the core (through its window link)
  std::unique_ptr<vexanet::PanelLink> panel_;
#if defined(VEXANET_HAVE_WEB)
  // Only where the panel is built: its destructor lives in the panel's own sources.
  std::unique_ptr<vexanet::web::WebPanel> web_;
#endif
#if defined(VEXANET_HAVE_MQTT)
  std::unique_ptr<vexanet::mqtt::MqttBridge> mqtt_;
#endif
  std::unique_ptr<vexanet::policy::SafetyPolicies> policies_;
  std::unique_ptr<vexanet::audit::AuditLog> audit_;
  vexanet::service::ServiceManager* serviceManager_ = nullptr;
  std::unique_ptr<vexanet::ServiceStatus> serviceStatus_;
  std::unique_ptr<vexanet::service::HealthWatch> health_;
};
