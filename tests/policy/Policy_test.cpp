// The relay safety policies: their settings, the state file, and the policies over the relay
// service and the real board driver (interlocks, off when a client leaves, maximum on-time,
// the state file kept after every change).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "EnvTable.h"
#include "RelayTesting.h"
#include "TempDir.h"
#include "device/Vexa8.h"
#include "policy/PolicySettings.h"
#include "policy/SafetyPolicies.h"
#include "policy/StateFile.h"

namespace vexanet::policy {
namespace {

const auto Table = testing_support::EnvTable;

using namespace std::chrono_literals;
using testing_support::ForwardingHost;
using testing_support::RecordingObserver;
using testing_support::TempDir;
using relay::ClientEvent;
using relay::Source;
using Heard = std::vector<std::string>;

TEST(PolicySettingsParse, EveryFormAndTheLineThatSaysSo) {
  std::vector<std::string> errors;
  const PolicySettings s = PolicySettings::FromEnvironment(
      Table({{"VEXANET_START_STATE", "restore"},
             {"VEXANET_OFF_ON_CLOSE", "1, 3,8"},
             {"VEXANET_MAX_ON", "2:500ms,7:2m"},
             {"VEXANET_INTERLOCK", "1+2,5+6+7"}}),
      errors);
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_TRUE(s.Any());
  EXPECT_EQ(s.Describe(),
            "start state restore; off on close 1,3,8; max on 2:500 ms, 7:2 min; interlock 1+2; "
            "interlock 5+6+7");
  EXPECT_EQ(s.interlocks, (std::vector<std::vector<int32_t>>{{0, 1}, {4, 5, 6}}));

  const PolicySettings none = PolicySettings::FromEnvironment(
      Table({{"VEXANET_START_STATE", "off"}, {"VEXANET_OFF_ON_CLOSE", ""}}), errors);
  EXPECT_FALSE(none.Any());
  EXPECT_EQ(none.Describe(), "none");
  const PolicySettings all =
      PolicySettings::FromEnvironment(Table({{"VEXANET_OFF_ON_CLOSE", "all"}}), errors);
  EXPECT_EQ(all.offOnClose, (std::array<bool, 8>{true, true, true, true, true, true, true, true}));
  EXPECT_TRUE(errors.empty());
}

TEST(PolicySettingsParse, MalformedValuesAreErrorsNamingTheVariable) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"VEXANET_START_STATE", "on"},  {"VEXANET_START_STATE", "Restore"},
      {"VEXANET_OFF_ON_CLOSE", "0"},  {"VEXANET_OFF_ON_CLOSE", "1,,2"},
      {"VEXANET_OFF_ON_CLOSE", "9"},  {"VEXANET_MAX_ON", "2"},
      {"VEXANET_MAX_ON", "2:0ms"},    {"VEXANET_MAX_ON", "2:soon"},
      {"VEXANET_MAX_ON", "2:1s,2:2s"}, {"VEXANET_INTERLOCK", "1"},
      {"VEXANET_INTERLOCK", "1+1"},   {"VEXANET_INTERLOCK", "1+2,2+3"},
      {"VEXANET_INTERLOCK", "1+9"}};
  for (const auto& [name, value] : bad) {
    std::vector<std::string> errors;
    const PolicySettings s = PolicySettings::FromEnvironment(Table({{name, value}}), errors);
    ASSERT_EQ(errors.size(), 1u) << name << "=" << value;
    EXPECT_EQ(errors[0].rfind(name + ": ", 0), 0u) << errors[0];
    EXPECT_FALSE(s.Any()) << name << "=" << value << " half taken";
  }
}

TEST(StateFileTest, WrittenStatesReadBackAndAnythingElseIsDamaged) {
  TempDir dir("vexanet-policy");
  const auto file = dir.path() / kStateFileName;
  std::string why;
  EXPECT_FALSE(ReadStateFile(file, why));
  EXPECT_NE(why.find("does not exist"), std::string::npos);

  const std::array<bool, 8> states{true, false, true, false, false, false, false, true};
  std::string error;
  ASSERT_TRUE(WriteStateFile(file, states, error)) << error;
  EXPECT_EQ(ReadStateFile(file, why), states);

  for (const std::string& content :
       {std::string("vexanet relay states 1\n1010000\n"), std::string("vexanet relay states 1\n10100002\n"),
        std::string("vexanet relay states 2\n10100001\n"), std::string(""),
        std::string("vexanet relay states 1\n10100001\nmore\n"), std::string(1000, '1')}) {
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out << content;
    }
    EXPECT_FALSE(ReadStateFile(file, why)) << content;
    EXPECT_NE(why.find("is damaged"), std::string::npos) << why;
  }
}

// A writer killed at any moment leaves the old file or the new one, never a broken one.
TEST(StateFileTest, AWriterKilledAtAnyMomentLeavesAWholeFile) {
  TempDir dir("vexanet-policy");
  const auto file = dir.path() / kStateFileName;
  std::string error;
  ASSERT_TRUE(WriteStateFile(file, {}, error)) << error;
  std::mt19937 random(12345);
  for (int round = 0; round < 200; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::array<bool, 8> states{};
      for (unsigned n = 0;; ++n) {
        for (size_t i = 0; i < 8; ++i) states[i] = ((n >> i) & 1) != 0;
        std::string ignored;
        WriteStateFile(file, states, ignored);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::string why;
    ASSERT_TRUE(ReadStateFile(file, why)) << "round " << round << ": " << why;
  }
}

// The policies over the relay service and the real board driver.
class Policies : public ::testing::Test {
 protected:
  void Start(PolicySettings settings) {
    host_.service = &service_;
    service_.AddObserver(observer_);
    policies_ = std::make_unique<SafetyPolicies>(std::move(settings), service_,
                                                 dir_.path() / kStateFileName);
    policies_->Start();
  }
  void TearDown() override { policies_.reset(); }

  // Waits until the board got `count` bytes in all.
  std::vector<uint8_t> Bytes(size_t count, std::chrono::milliseconds within = 5000ms) {
    const auto until = std::chrono::steady_clock::now() + within;
    while (host_.bytes().size() < count && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(2ms);
    return host_.bytes();
  }

  TempDir dir_{"vexanet-policy"};
  ForwardingHost host_;
  Vexa8 board_{host_};
  relay::RelayService service_{board_, {}};
  RecordingObserver observer_;
  std::unique_ptr<SafetyPolicies> policies_;
};

TEST_F(Policies, InterlockSwitchesTheOthersOfTheGroupOffFirstWhateverWayIn) {
  PolicySettings s;
  s.interlocks = {{0, 1}, {4, 5, 6}};
  Start(s);
  const Source client = Source::Client("192.0.2.7:40000");
  service_.ClientLine("R1On", client);
  service_.ClientLine("R2On", client);
  EXPECT_EQ(host_.bytes(), (std::vector<uint8_t>{0x08, 0x00, 0x09}));
  EXPECT_EQ(observer_.relays(), (Heard{"relay 1 off->on by client/192.0.2.7:40000",
                                       "relay 1 on->off by policy",
                                       "relay 2 off->on by client/192.0.2.7:40000"}));
  // The operator and several at once: relays 5 and 7 asked on together end with 7 only.
  service_.Switch(4, true, Source::Operator());
  service_.SwitchSeveral({std::nullopt, std::nullopt, std::nullopt, std::nullopt, true, false, true},
                         Source{"web/127.0.0.1:5000"});
  const auto states = service_.States();
  EXPECT_FALSE(states[4]);
  EXPECT_TRUE(states[6]);
  EXPECT_FALSE(states[0] && states[1]);
  // Off switches and relays outside any group are left alone.
  service_.ClientLine("R2Off", client);
  service_.ClientLine("R4On", client);
  EXPECT_EQ(observer_.relays().back(), "relay 4 off->on by client/192.0.2.7:40000");
}

TEST_F(Policies, ListedRelaysGoOffWhenTheClientLeavesForAnyReasonBeforeTheNextRequest) {
  PolicySettings s;
  s.offOnClose[0] = s.offOnClose[2] = true;
  Start(s);
  for (const ClientEvent event : {ClientEvent::Closed, ClientEvent::TimedOut, ClientEvent::Refused}) {
    const Source client = Source::Client("192.0.2.7:40000");
    service_.ClientLine("R1On", client);
    service_.ClientLine("R2On", client);
    service_.ClientLine("R3On", client);
    service_.ClientChanged(event, "192.0.2.7:40000");
    // The next request finds them off, whether or not the policies' thread was first.
    service_.ClientLine("Get", Source::Client("192.0.2.8:40001"));
    EXPECT_EQ(service_.States(), (std::array<bool, 8>{false, true, false}))
        << relay::EventName(event);
    EXPECT_EQ(observer_.relays().back(), "relay 3 on->off by policy");
  }
  // Nothing listed is on: nothing is switched.
  const size_t before = host_.bytes().size();
  service_.ClientChanged(ClientEvent::Closed, "192.0.2.7:40000");
  service_.RunPending();
  EXPECT_EQ(host_.bytes().size(), before);
}

TEST_F(Policies, MaximumOnTimeSwitchesOffAfterItsTimeAndOnAgainRestartsIt) {
  PolicySettings s;
  s.maxOn[1] = 300ms;
  s.maxOn[2] = 100ms;
  Start(s);
  const auto t0 = std::chrono::steady_clock::now();
  service_.Switch(1, true, Source::Operator());
  service_.Switch(2, true, Source::Operator());
  // Relay 3 goes first; relay 2 only after its own time.
  ASSERT_EQ(Bytes(3), (std::vector<uint8_t>{0x09, 0x0A, 0x02}));
  EXPECT_TRUE(service_.States()[1]);
  ASSERT_EQ(Bytes(4), (std::vector<uint8_t>{0x09, 0x0A, 0x02, 0x01}));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
  EXPECT_EQ(observer_.relays().back(), "relay 2 on->off by policy");

  // On again restarts the time; off cancels it.
  service_.Switch(2, true, Source::Operator());
  std::this_thread::sleep_for(60ms);
  service_.Switch(2, true, Source::Operator());
  const auto restarted = std::chrono::steady_clock::now();
  ASSERT_EQ(Bytes(7).size(), 7u);
  EXPECT_GE(std::chrono::steady_clock::now() - restarted, 100ms);
  service_.Switch(1, true, Source::Operator());
  service_.Switch(1, false, Source::Operator());
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(host_.bytes().size(), 9u) << "a relay switched off had its time cancelled";
}

TEST_F(Policies, RestoreKeepsTheStateFileAfterEveryChange) {
  PolicySettings s;
  s.restore = true;
  Start(s);
  service_.Switch(0, true, Source::Operator());
  service_.Switch(2, true, Source::Operator());
  std::string why;
  EXPECT_EQ(ReadStateFile(dir_.path() / kStateFileName, why),
            (std::array<bool, 8>{true, false, true}));
  EXPECT_EQ(policies_->StartStates(), (std::array<bool, 8>{true, false, true}));
  // Start-up sends the recorded states instead of all off.
  service_.Init(policies_->StartStates());
  const std::vector<uint8_t> bytes = host_.bytes();
  ASSERT_EQ(bytes.size(), 10u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 2, bytes.end()),
            (std::vector<uint8_t>{0x08, 0x01, 0x0A, 0x03, 0x04, 0x05, 0x06, 0x07}));
}

// A state file written before an interlock was set: the group's first relay that is on stays on.
TEST_F(Policies, RestoreNeverPutsTwoInterlockedRelaysOn) {
  std::string error;
  ASSERT_TRUE(WriteStateFile(dir_.path() / kStateFileName,
                             {true, true, false, false, true, true, true, false}, error));
  PolicySettings s;
  s.restore = true;
  s.interlocks = {{0, 1}, {4, 5, 6}};
  Start(s);
  EXPECT_EQ(policies_->StartStates(),
            (std::array<bool, 8>{true, false, false, false, true, false, false, false}));
}

}  // namespace
}  // namespace vexanet::policy
