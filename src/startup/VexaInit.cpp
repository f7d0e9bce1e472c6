// The start-up sequence. Kept apart from the settings so that parts which only need the settings
// do not pull the whole server into their link.
#include "startup/Vexa.h"

int Vexa::main(int /*argc*/, char** /*argv*/) {
  Vexa vexa;
  vexa.init();
  return 0;
}

void Vexa::init() {
  // 1. configuration file into CFG; 2. derive the settings.
  LoadCFG();
  InterpretCFG();
}
