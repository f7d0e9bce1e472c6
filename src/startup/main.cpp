// vexanet-server: the main thread runs the window's event loop; the start-up sequence runs on a
// thread of its own so that its pauses never freeze the window. The process ends only by
// _Exit (window closed, SIGINT, SIGTERM), so no destructor races the threads still running.
#include <QApplication>
#include <QPixmapCache>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "gui/LocalGUI.h"
#include "startup/Console.h"
#include "startup/StopSignals.h"
#include "startup/Vexa.h"

int main(int /*argc*/, char** argv) {
  // Command-line arguments are ignored, also by the toolkit.
  static int qtArgc = 1;
  static char* qtArgv[] = {argv[0], nullptr};

  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr &&
      std::getenv("QT_QPA_PLATFORM") == nullptr) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    LocalGUI::SetHeadless(true);
    vexanet::ConsoleLine(
        "No display: running without a window; status texts follow as Status: lines");
  }
  vexanet::InstallStopSignals();

  QApplication app(qtArgc, qtArgv);
  // The window is small and its looks are few: a small pixmap cache is plenty, and it keeps the
  // style's cache of drawn parts from holding several megabytes for a server that runs for months.
  QPixmapCache::setCacheLimit(1024);
  std::thread startup([] {
    try {
      Vexa::main(0, nullptr);
    } catch (const std::exception& e) {
      vexanet::ConsoleLine(std::string("Start-up failed: ") + e.what());
      std::_Exit(1);
    }
  });
  startup.detach();
  QApplication::exec();
  std::fflush(stdout);
  std::_Exit(0);
}
