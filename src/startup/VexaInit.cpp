// The start-up sequence. Kept apart from the settings so that parts which only need the settings
// do not pull the whole server into their link.
#include <memory>

#include "device/Device.h"
#include "gui/LocalGUI.h"
#include "server/LocalCAM.h"
#include "startup/ServerLinks.h"
#include "startup/Vexa.h"

Vexa::~Vexa() {
  // Take the server back from the window before the core goes.
  OperatorActions* actions = actions_.get();
  LocalGUI::scam.compare_exchange_strong(actions, nullptr);
  core_.reset();
}

int Vexa::main(int /*argc*/, char** /*argv*/) {
  // The main object lives as long as the process: the server core it creates is never torn down.
  static Vexa vexa;
  vexa.init();
  return 0;
}

void Vexa::init() {
  // 1. The configuration file into CFG; 2. the settings it decides.
  LoadCFG();
  InterpretCFG();
  // 3. The server core: serial line, relay board driver, window, listening socket.
  core_ = std::make_unique<LocalCAM>(comport, devtype, port, rate, dbits, sbits, parity,
                                     handshake, [](int32_t listenPort) {
                                       return std::make_unique<vexanet::WindowLink>(
                                           LocalGUI::Create(listenPort));
                                     });
  scam.store(core_.get());
  // 4. The window's own reference to the server core.
  actions_ = std::make_unique<vexanet::CoreActions>(*core_);
  LocalGUI::scam.store(actions_.get());
  // 5. The first session waits for a client.
  if (autoaccept && core_->ss() != nullptr) core_->CommandB5();
  // 6. All relays off.
  if (Device* device = cam.load()) device->DevInit();
  // 7, 8. The ready line.
  DelayT(2000);
  core_->ShowStat(comport + "  " + devtype + "  " + std::to_string(to.load()) + " minutes" +
                  "  Ready");
}
