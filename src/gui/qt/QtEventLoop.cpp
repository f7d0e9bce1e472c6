// The main loop with a Qt window: the application on the main thread, the start-up sequence on a
// thread of its own. Without a display the window is made offscreen and the status texts follow
// on standard output.
#include <QApplication>
#include <QPixmapCache>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "gui/EventLoop.h"
#include "gui/LocalGUI.h"
#include "base/Console.h"

namespace vexanet::gui {

int RunWindowEventLoop(bool headlessAsked, const std::function<void(bool)>& startup) {
  // Command-line arguments are ignored, also by the toolkit.
  static int qtArgc = 1;
  static char programName[] = "vexanet-server";
  static char* qtArgv[] = {programName, nullptr};

  const bool noDisplay = std::getenv("DISPLAY") == nullptr &&
                         std::getenv("WAYLAND_DISPLAY") == nullptr &&
                         std::getenv("QT_QPA_PLATFORM") == nullptr;
  const bool headless = headlessAsked || noDisplay;
  if (headless) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ConsoleLine("No display: running without a window; status texts follow as Status: lines");
  }

  QApplication app(qtArgc, qtArgv);
  // The window is small and its looks are few: a small pixmap cache is plenty, and it keeps the
  // style's cache of drawn parts from holding several megabytes for a server that runs for months.
  QPixmapCache::setCacheLimit(1024);
  std::thread(startup, headless).detach();
  QApplication::exec();
  std::fflush(stdout);
  return 0;
}

}  // namespace vexanet::gui
