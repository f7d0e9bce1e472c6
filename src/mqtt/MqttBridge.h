// The MQTT bridge: the eight relays as retained topics on a broker, switched by set messages,
// with Home Assistant's discovery. One more observer and source ("mqtt") of the relay service.
//
// Set messages are not switched on the network thread: each sets the wanted state of its relay
// (a later message for the same relay replaces an earlier one that has not been switched yet),
// and a worker of the bridge switches the wanted relays through the relay service, one after
// the other (each with the service's turn and the relay's pause). So a burst of any size takes
// eight slots of memory, never slows the broker's connection, and ends in the last message's
// state for every relay.
//
// What the broker hears (topics in Topics.h) is published only while connected; on every
// (re)connect and whenever Home Assistant says "online", everything is published again.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "mqtt/MqttLink.h"
#include "mqtt/MqttSettings.h"
#include "mqtt/Topics.h"
#include "relay/RelayService.h"

namespace vexanet::mqtt {

class MqttBridge : public relay::RelayObserver, private MqttEvents {
 public:
  // The status text as the broker may see it (start-up masks the password in it).
  using StatusFilter = std::function<std::string(const std::string&)>;

  MqttBridge(MqttSettings settings, relay::RelayService& relays, std::unique_ptr<MqttLink> link,
             StatusFilter statusFilter);
  ~MqttBridge() override;
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // Watches the relays and starts connecting; says so on the console.
  void Start();

  static relay::Source Source() { return {"mqtt"}; }

  // RelayObserver
  void RelayChanged(int32_t relay, bool was, bool now, const relay::Source& source) override;
  void StatusText(const std::string& text) override;
  void SerialLine(bool up, const std::string& reason) override;

 private:
  // MqttEvents (the link's network thread)
  void Connected() override;
  void Down(const std::string& why) override;
  void Message(const std::string& topic, const std::string& payload) override;

  void PublishEverything();
  void PublishStates();  // with publishing_ held
  void Publish(const std::string& topic, const std::string& payload);
  void SwitchWanted();

  const MqttSettings settings_;
  const Topics topics_;
  relay::RelayService& relays_;
  const std::unique_ptr<MqttLink> link_;
  const StatusFilter statusFilter_;
  std::atomic<bool> connected_{false};
  // Held while a state is read and published, so that a snapshot taken on the network thread
  // (after a reconnect) never lands after a newer change: the retained state is the latest.
  std::mutex publishing_;
  bool downReported_ = false;  // the network thread's own: one line per lost/back change

  std::mutex mutex_;  // wanted_, stopping_
  std::condition_variable wake_;
  std::array<std::optional<bool>, 8> wanted_{};
  bool stopping_ = false;
  bool started_ = false;
  std::thread worker_;
};

}  // namespace vexanet::mqtt
