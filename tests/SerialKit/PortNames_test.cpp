// The port names both drivers share.
#include "SerialKit/PortNames.h"

#include <gtest/gtest.h>

namespace {

TEST(PortNames, ComNumbersFromOneTo256AndNothingElse) {
  EXPECT_EQ(SerialKit::comNumber("COM1"), 1);
  EXPECT_EQ(SerialKit::comNumber("COM256"), 256);
  for (const char* name : {"COM0", "COM01", "COM257", "COM1000", "COM", "COM1a", "ttyS0", "",
                           "/dev/ttyS0", "com1"}) {
    EXPECT_EQ(SerialKit::comNumber(name), 0) << name;
  }
  EXPECT_EQ(SerialKit::comNumber("com7", /*ignoreCase=*/true), 7);
  EXPECT_EQ(SerialKit::comNumber("cOm12", /*ignoreCase=*/true), 12);
  EXPECT_EQ(SerialKit::comNumber("con1", /*ignoreCase=*/true), 0);
  EXPECT_EQ(SerialKit::comOverrideVariable(3), "VEXANET_COM3");
}

}  // namespace
