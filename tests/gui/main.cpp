// The window tests need a QApplication on the main thread (the GUI thread); without a display
// they use Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>

#include "gui/LocalGUI.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  // Closing a window would otherwise end the test program with status 0.
  LocalGUI::SetCloseHandler([] { ADD_FAILURE() << "a window was closed unexpectedly"; });
  return RUN_ALL_TESTS();
}
