#include "mqtt/MosquittoClient.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

namespace vexanet::mqtt {

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kQos = 1;

// The library's own set-up, once per process (it keeps no state of ours).
void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string Reason(int rc, int savedErrno) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(savedErrno);
  if (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN) return "the connection was lost";
  return mosquitto_strerror(rc);
}

}  // namespace

MosquittoClient::MosquittoClient(const MqttSettings& settings, const std::string& clientId,
                                 const std::string& willTopic)
    : settings_(settings) {
  InitLibrary();
  handle_ = mosquitto_new(clientId.c_str(), true, this);
  if (handle_ == nullptr) {
    problem_ = std::string("cannot make the MQTT client: ") + std::strerror(errno);
    return;
  }
  mosquitto_int_option(handle_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // Publishing happens on other threads than the network loop.
  mosquitto_threaded_set(handle_, true);
  const std::string offline = "offline";
  int rc = mosquitto_will_set(handle_, willTopic.c_str(), static_cast<int>(offline.size()),
                              offline.data(), kQos, true);
  if (rc != MOSQ_ERR_SUCCESS) {
    problem_ = std::string("cannot set the last will: ") + mosquitto_strerror(rc);
    return;
  }
  if (!settings_.user.empty()) {
    rc = mosquitto_username_pw_set(handle_, settings_.user.c_str(),
                                   settings_.password ? settings_.password->c_str() : nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      problem_ = std::string("cannot set the user: ") + mosquitto_strerror(rc);
      return;
    }
  }
  if (settings_.tls) {
    const char* caFile = settings_.caFile.empty() ? nullptr : settings_.caFile.c_str();
    const char* caPath = settings_.caFile.empty() ? "/etc/ssl/certs" : nullptr;
    rc = mosquitto_tls_set(handle_, caFile, caPath, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      problem_ = rc == MOSQ_ERR_NOT_SUPPORTED
                     ? std::string("this build's MQTT library has no TLS (mqtts://)")
                     : std::string("cannot set up TLS: ") + mosquitto_strerror(rc);
      return;
    }
  }
  mosquitto_connect_callback_set(handle_, [](mosquitto*, void* self, int rc) {
    auto* client = static_cast<MosquittoClient*>(self);
    if (rc == 0) {
      client->connectedThisRound_ = true;
      client->events_->Connected();
    } else {
      client->refusal_ = std::string("the broker refused the connection: ") +
                         mosquitto_connack_string(rc);
    }
  });
  mosquitto_message_callback_set(handle_, [](mosquitto*, void* self,
                                             const mosquitto_message* message) {
    auto* client = static_cast<MosquittoClient*>(self);
    const auto* bytes = static_cast<const char*>(message->payload);
    const size_t length = bytes != nullptr ? static_cast<size_t>(message->payloadlen) : 0;
    client->events_->Message(message->topic != nullptr ? message->topic : "",
                             std::string(bytes != nullptr ? bytes : "", length));
  });
}

MosquittoClient::~MosquittoClient() {
  Stop();
  if (handle_ != nullptr) mosquitto_destroy(handle_);
}

void MosquittoClient::Start(MqttEvents& events) {
  if (handle_ == nullptr || !problem_.empty() || thread_.joinable()) return;
  events_ = &events;
  thread_ = std::thread([this] { Run(); });
}

void MosquittoClient::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool MosquittoClient::Pause(std::chrono::seconds delay) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, delay, [this] { return stopping_; });
}

void MosquittoClient::Run() {
  std::chrono::seconds delay = kFirstDelay;
  const auto stopping = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
  };
  while (!stopping()) {
    connectedThisRound_ = false;
    refusal_.clear();
    // Resolves the name (waits for it) and starts the connection; the loop completes it.
    int rc = mosquitto_connect_async(handle_, settings_.host.c_str(), settings_.port,
                                     kKeepAliveSeconds);
    int savedErrno = errno;
    while (rc == MOSQ_ERR_SUCCESS && !stopping()) {
      rc = mosquitto_loop(handle_, 200, 1);
      savedErrno = errno;
    }
    if (stopping()) break;
    events_->Down(!refusal_.empty() ? refusal_ : Reason(rc, savedErrno));
    if (connectedThisRound_) delay = kFirstDelay;
    if (!Pause(delay)) break;
    delay = std::min(delay * 2, kLongestDelay);
  }
  // A clean end: the broker keeps the last will to itself.
  mosquitto_disconnect(handle_);
  mosquitto_loop(handle_, 100, 1);
}

void MosquittoClient::Publish(const std::string& topic, const std::string& payload, bool retain) {
  if (handle_ == nullptr) return;
  mosquitto_publish(handle_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                    payload.data(), kQos, retain);
}

void MosquittoClient::Subscribe(const std::string& pattern) {
  if (handle_ == nullptr) return;
  mosquitto_subscribe(handle_, nullptr, pattern.c_str(), kQos);
}

}  // namespace vexanet::mqtt
