// The start-up sequence. Kept apart from the settings so that parts which only need the settings
// do not pull the whole server into their link.
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "access/AccessPolicy.h"
#include "audit/AuditLog.h"
#include "service/HealthWatch.h"
#include "policy/SafetyPolicies.h"
#include "policy/StateFile.h"
#include "device/Device.h"
#include "gui/LocalGUI.h"
#include "gui/StatusEcho.h"
#include "server/LocalCAM.h"
#if defined(VEXANET_HAVE_MQTT)
#include "mqtt/MosquittoClient.h"
#include "mqtt/MqttBridge.h"
#endif
#include "server/ServerTimings.h"
#include "startup/ServerLinks.h"
#include "startup/Vexa.h"

void Vexa::StartWebPanel() {
#if defined(VEXANET_HAVE_WEB)
  if (!deployment.http) return;
  panel_ = std::make_unique<vexanet::PanelLink>(*core_, coreSettings.password);
  web_ = std::make_unique<vexanet::web::WebPanel>(*deployment.http, core_->relays(), *panel_,
                                                  core_->access());
  if (!web_->Start()) web_.reset();
#endif
}

void Vexa::StartMqttBridge() {
#if defined(VEXANET_HAVE_MQTT)
  if (!deployment.mqtt) return;
  auto client = std::make_unique<vexanet::mqtt::MosquittoClient>(
      *deployment.mqtt, deployment.mqtt->ClientId(),
      vexanet::mqtt::Topics(*deployment.mqtt).Availability());
  if (!client->Problem().empty()) {
    OutLine("MQTT bridge: " + client->Problem() + "; running without it");
    return;
  }
  // The broker's subscribers are more people than the operator: the password is masked.
  mqtt_ = std::make_unique<vexanet::mqtt::MqttBridge>(*deployment.mqtt, core_->relays(),
                                                      std::move(client),
                                                      vexanet::gui::MaskPassword);
  mqtt_->Start();
#endif
}

Vexa::~Vexa() {
  // Take the server back from the window before the core goes.
  if (window_ != nullptr) window_->scam.store(nullptr);
#if defined(VEXANET_HAVE_WEB)
  web_.reset();
#endif
#if defined(VEXANET_HAVE_MQTT)
  mqtt_.reset();
#endif
  health_.reset();
  serviceStatus_.reset();
  policies_.reset();
  audit_.reset();
  core_.reset();
}

int Vexa::main(int /*argc*/, char** /*argv*/, vexanet::DeploymentSettings deployment,
               vexanet::service::ServiceManager& serviceManager) {
  // The main object lives as long as the process: the server core it creates is never torn down.
  static Vexa vexa;
  vexa.deployment = std::move(deployment);
  vexa.serviceManager_ = &serviceManager;
  vexa.init();
  return 0;
}

void Vexa::init() {
  // 1. The configuration file into CFG; 2. the settings it decides.
  LoadCFG();
  InterpretCFG();
  // 3. The server core: serial line, relay board driver, window, listening socket, and who may
  // connect. The initial password first: the core's constructor puts it into the window.
  using vexanet::access::PasswordSetting;
  vexanet::access::AccessSettings accessSettings = deployment.access;
  if (accessSettings.password.kind == PasswordSetting::Kind::Text) {
    coreSettings.password.set(accessSettings.password.text);
  }
  if (accessSettings.password.kind == PasswordSetting::Kind::NoneAccepted)
    coreSettings.password.setNone();
  const ServerTimings timings;
  auto access =
      std::make_unique<vexanet::access::AccessPolicy>(std::move(accessSettings), timings.backOff);
  core_ = std::make_unique<LocalCAM>(
      coreSettings, comport, devtype, port, rate, dbits, sbits, parity, handshake,
      [this](int32_t listenPort) {
        window_ = LocalGUI::Create(listenPort, {.headless = deployment.headless, .onClose = {}});
        return std::make_unique<vexanet::WindowLink>(window_);
      },
      timings, std::move(access));
  // A client let in before the all-off of step 6, or the operator, switches after it.
  if (Device* device = core_->cam.load()) device->HoldSwitchesUntilInit();
  // The audit log and the safety policies watch every switch from here on, start-up's own
  // included.
  if (deployment.audit) audit_ = std::make_unique<vexanet::audit::AuditLog>(core_->relays());
  if (serviceManager_ != nullptr) {
    serviceStatus_ = std::make_unique<vexanet::ServiceStatus>(core_->relays(), *serviceManager_);
  }
  std::optional<std::array<bool, 8>> startStates;
  if (deployment.policies.Any()) {
    OutLine("Safety policies: " + deployment.policies.Describe());
    policies_ = std::make_unique<vexanet::policy::SafetyPolicies>(
        deployment.policies, core_->relays(), vexanet::policy::kStateFileName);
    startStates = policies_->StartStates();
    policies_->Start();
  }
  // 4. The window's own reference to the server core.
  actions_ = std::make_unique<vexanet::CoreActions>(*core_, coreSettings.password);
  if (window_ != nullptr) window_->scam.store(actions_.get());
  // 5. The first session waits for a client.
  if (coreSettings.autoaccept && core_->ss() != nullptr) core_->CommandB5();
  // The web panel, when the deployment asks for one: another operator view and source.
  StartWebPanel();
  // The MQTT bridge likewise; it connects on a thread of its own and never holds start-up up.
  StartMqttBridge();
  // 6. All relays off (or, restoring, as recorded).
  core_->relays().Init(startStates);
  // 7, 8. The ready line.
  DelayT(2000);
  core_->ShowStat(comport + "  " + devtype + "  " + std::to_string(coreSettings.to.load()) +
                  " minutes" + "  Ready");
  // Ready for the service manager too; from now on its watchdog hears that all parts work.
  if (serviceManager_ != nullptr) {
    serviceManager_->Ready();
    if (const auto interval = serviceManager_->WatchdogInterval()) {
      health_ = std::make_unique<vexanet::service::HealthWatch>(*serviceManager_, *interval,
                                                                core_->Activities());
    }
  }
}
