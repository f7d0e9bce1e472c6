// The deployment settings main reads from the environment before any thread starts.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "EnvTable.h"
#include "startup/DeploymentSettings.h"

namespace vexanet {
namespace {

const auto Table = testing_support::EnvTable;

TEST(DeploymentSettings, NothingSetIsTheSpecifiedServer) {
  std::vector<std::string> problems;
  const DeploymentSettings s = DeploymentSettings::FromEnvironment(Table({}), problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_FALSE(s.headless);
  EXPECT_FALSE(s.access.listen.has_value());
  EXPECT_FALSE(s.access.allow.has_value());
}

TEST(DeploymentSettings, HeadlessTakesOneOrZeroAndNamesAnythingElse) {
  std::vector<std::string> problems;
  EXPECT_TRUE(DeploymentSettings::FromEnvironment(Table({{"VEXANET_HEADLESS", "1"}}), problems)
                  .headless);
  EXPECT_FALSE(DeploymentSettings::FromEnvironment(Table({{"VEXANET_HEADLESS", "0"}}), problems)
                   .headless);
  EXPECT_FALSE(DeploymentSettings::FromEnvironment(Table({{"VEXANET_HEADLESS", ""}}), problems)
                   .headless);
  EXPECT_TRUE(problems.empty());
  EXPECT_FALSE(DeploymentSettings::FromEnvironment(Table({{"VEXANET_HEADLESS", "yes"}}), problems)
                   .headless);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "VEXANET_HEADLESS: \"yes\" is neither 1 nor 0; ignored");
}

// The access part is read by the access library; its problems come back with the others.
TEST(DeploymentSettings, AccessSettingsAndTheirProblemsComeAlong) {
  std::vector<std::string> problems;
  const DeploymentSettings s = DeploymentSettings::FromEnvironment(
      Table({{"VEXANET_ALLOW", "10.0.0.0/8"}, {"VEXANET_LISTEN", "not-an-address"}}), problems);
  ASSERT_TRUE(s.access.allow.has_value());
  EXPECT_EQ(s.access.allow->size(), 1u);
  ASSERT_FALSE(problems.empty());
  for (const std::string& problem : problems)
    EXPECT_NE(problem.find("VEXANET_LISTEN"), std::string::npos) << problem;
}

}  // namespace
}  // namespace vexanet
