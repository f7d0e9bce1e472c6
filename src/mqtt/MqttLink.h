// The bridge's connection to the broker, as the bridge uses it (MosquittoClient is the real one;
// tests use their own). The link runs its network loop on a thread of its own and tells the
// bridge what happens there through MqttEvents, on that thread.
#pragma once

#include <string>

namespace vexanet::mqtt {

class MqttEvents {
 public:
  virtual ~MqttEvents() = default;
  // The broker accepted the connection (the first time and after every reconnect). Subscriptions
  // are made again here: the session starts clean.
  virtual void Connected() = 0;
  // A connection could not be made, was refused or was lost; the link tries again after its
  // back-off. why is one line for the console.
  virtual void Down(const std::string& why) = 0;
  virtual void Message(const std::string& topic, const std::string& payload) = 0;
};

class MqttLink {
 public:
  virtual ~MqttLink() = default;
  // Starts connecting on the link's own thread; events go to events until Stop.
  virtual void Start(MqttEvents& events) = 0;
  // Ends the network thread (no last will: a clean disconnect). No events after it returns.
  virtual void Stop() = 0;
  // Never waits for the network: the message is queued for the network thread. QoS 1.
  virtual void Publish(const std::string& topic, const std::string& payload, bool retain) = 0;
  virtual void Subscribe(const std::string& pattern) = 0;
};

}  // namespace vexanet::mqtt
