// The broker's own client library (libmosquitto) behind MqttLink: MQTT 3.1.1, a clean session,
// the last will "offline" on the availability topic, user and password, TLS where the library
// has it. Its network loop runs on a thread of ours, which reconnects after 1 s, doubling to
// 60 s while the broker stays away, and from 1 s again once a connection was made.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "mqtt/MqttLink.h"
#include "mqtt/MqttSettings.h"

struct mosquitto;

namespace vexanet::mqtt {

class MosquittoClient : public MqttLink {
 public:
  // willTopic gets "offline" (retained) from the broker when the connection ends uncleanly.
  MosquittoClient(const MqttSettings& settings, const std::string& clientId,
                  const std::string& willTopic);
  ~MosquittoClient() override;
  MosquittoClient(const MosquittoClient&) = delete;
  MosquittoClient& operator=(const MosquittoClient&) = delete;

  // Set-up problems (TLS files, an unusable will) are found when made: empty when none.
  const std::string& Problem() const { return problem_; }

  void Start(MqttEvents& events) override;
  void Stop() override;
  void Publish(const std::string& topic, const std::string& payload, bool retain) override;
  void Subscribe(const std::string& pattern) override;

  static constexpr std::chrono::seconds kFirstDelay{1};
  static constexpr std::chrono::seconds kLongestDelay{60};

 private:
  void Run();
  // Waits for the delay or Stop; false when stopping.
  bool Pause(std::chrono::seconds delay);

  const MqttSettings settings_;
  mosquitto* handle_ = nullptr;
  std::string problem_;
  MqttEvents* events_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;  // stopping_
  std::condition_variable wake_;
  bool stopping_ = false;
  bool connectedThisRound_ = false;  // the network thread's own
  std::string refusal_;             // the network thread's own: why the broker said no
};

}  // namespace vexanet::mqtt
