// The flow-control task: when configure starts it, that it drives the driver's flow work on its
// own thread, and that configure, close and the port's clean-up stop it.
#include "SerialKit/FlowControlTask.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "FakeDriver.h"
#include "SerialKit/NativeDriverRegistry.h"
#include "SerialKit/Platform.h"
#include "SerialKit/SerialPortLocal.h"

namespace SerialKit {
namespace {

using test::FakeDriver;

// Waits (bounded) until the driver has seen at least n flow passes.
bool waitForFlowPasses(const FakeDriver& d, size_t n) {
  for (int i = 0; i < 2000; ++i) {
    if (d.count("SerFlowTask") >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

class SerialKitFlowTask : public ::testing::Test {
 protected:
  void SetUp() override { testing::setProcessDriver(driver); }
  void TearDown() override { testing::resetProcessDriver(); }

  std::unique_ptr<SerialPortLocal> openOn(const std::string& os) {
    ScopedPlatform platform(os);
    driver->setOpenNumber(3);
    config = std::make_shared<SerialConfig>(std::string("COM3"));
    config->setHandshake(SerialConfig::HS_CTSRTS);
    return std::make_unique<SerialPortLocal>(config);
  }

  std::shared_ptr<FakeDriver> driver = std::make_shared<FakeDriver>();
  std::shared_ptr<SerialConfig> config;
};

TEST_F(SerialKitFlowTask, StartsOnlyForWindows95HardFlowAndHardwareHandshake) {
  auto port = openOn("Windows 95");
  EXPECT_EQ(port->flowControlTask(), nullptr);  // open switched hard flow off
  EXPECT_FALSE(config->getHardFlow());

  config->setHardFlow(true);
  ::testing::internal::CaptureStdout();
  port->configure();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "FlowControlTask created\n");
  const FlowControlTask* task = port->flowControlTask();
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(task->portNum(), 2);
  ASSERT_TRUE(waitForFlowPasses(*driver, 3));
  EXPECT_TRUE(task->running());
  const auto calls = driver->calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "SerFlowTask(2)"), calls.end());

  SerialConfig other = *config;
  other.setHandshake(SerialConfig::HS_XONXOFF);
  port->configure(other);  // stops the running task; XON/XOFF starts none
  EXPECT_EQ(port->flowControlTask(), nullptr);
}

TEST_F(SerialKitFlowTask, OtherPlatformsAndHandshakesStartNone) {
  for (const char* os : {"Windows NT", "Linux", "Windows 98"}) {
    auto port = openOn(os);
    config->setHardFlow(true);
    port->configure();
    EXPECT_EQ(port->flowControlTask(), nullptr) << os;
  }
  auto port = openOn("Windows 95");
  config->setHardFlow(true);
  config->setHandshake(SerialConfig::HS_HARD_IN + SerialConfig::HS_HARD_OUT);
  port->configure();
  EXPECT_EQ(port->flowControlTask(), nullptr);
  config->setHandshake(SerialConfig::HS_DSRDTR);  // record made on Windows 95: allowed
  ::testing::internal::CaptureStdout();
  port->configure();
  ::testing::internal::GetCapturedStdout();
  EXPECT_NE(port->flowControlTask(), nullptr);
}

TEST_F(SerialKitFlowTask, CloseStopsTaskAndKeepsIt) {
  auto port = openOn("Windows 95");
  config->setHardFlow(true);
  ::testing::internal::CaptureStdout();
  port->configure();
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(waitForFlowPasses(*driver, 1));
  port->close();
  const FlowControlTask* task = port->flowControlTask();
  ASSERT_NE(task, nullptr);
  EXPECT_FALSE(task->running());
  const size_t passes = driver->count("SerFlowTask");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(driver->count("SerFlowTask"), passes);
  EXPECT_EQ(task->passes(), passes);
}

TEST_F(SerialKitFlowTask, ReconfigureReplacesTaskAndDestructorStopsIt) {
  auto port = openOn("Windows 95");
  config->setHardFlow(true);
  ::testing::internal::CaptureStdout();
  port->configure();
  port->configure();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "FlowControlTask created\nFlowControlTask created\n");
  ASSERT_NE(port->flowControlTask(), nullptr);
  ASSERT_TRUE(waitForFlowPasses(*driver, 1));
  port.reset();  // clean-up stops the thread and closes
  const size_t passes = driver->count("SerFlowTask");
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(driver->count("SerFlowTask"), passes);
  EXPECT_EQ(driver->calls().back().rfind("SerClosePort", 0), 0u);
}

TEST_F(SerialKitFlowTask, PriorityRequestedBeforeStartIsReported) {
  auto port = openOn("Windows 95");
  ::testing::internal::CaptureStdout();
  FlowControlTask task(*port);
  ::testing::internal::GetCapturedStdout();
  task.setFlowPriority(-3);  // lowering needs no privilege
  EXPECT_EQ(task.getFlowPriority(), -3);
  task.start();
  ASSERT_TRUE(waitForFlowPasses(*driver, 1));
  EXPECT_EQ(task.getFlowPriority(), -3);
  task.stop();
  task.stop();
  EXPECT_FALSE(task.running());
}

}  // namespace
}  // namespace SerialKit
