// main() for tests that need the window's toolkit: an offscreen QApplication on the main thread,
// which is then the GUI thread for every test.
#include <gtest/gtest.h>
#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
